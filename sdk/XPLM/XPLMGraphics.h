#ifndef XPLMGraphics_h
#define XPLMGraphics_h
#include "XPLMDefs.h"
#ifdef __cplusplus
extern "C" {
#endif

typedef int XPLMFontID;
enum { xplmFont_Basic = 0 };

XPLM_API void XPLMWorldToLocal(double inLatitude, double inLongitude, double inAltitude,
                               double* outX, double* outY, double* outZ);
XPLM_API void XPLMDrawString(float* inColorRGB, int inXOffset, int inYOffset, const char* inChar,
                             int* inWordWrapWidth, XPLMFontID inFontID);
XPLM_API float XPLMMeasureString(XPLMFontID inFontID, const char* inChar, int inNumChars);

#ifdef __cplusplus
}
#endif
#endif
