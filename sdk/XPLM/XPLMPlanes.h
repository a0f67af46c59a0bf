#ifndef XPLMPlanes_h
#define XPLMPlanes_h
#include "XPLMDefs.h"
#ifdef __cplusplus
extern "C" {
#endif

typedef void (*XPLMPlanesAvailable_f)(void* inRefcon);

XPLM_API int XPLMAcquirePlanes(char** inAircraft, XPLMPlanesAvailable_f inCallback, void* inRefcon);
XPLM_API void XPLMReleasePlanes(void);
XPLM_API void XPLMSetActiveAircraftCount(int inCount);
/* outFileName holds 256 bytes, outPath 512. */
XPLM_API void XPLMGetNthAircraftModel(int inIndex, char* outFileName, char* outPath);

#ifdef __cplusplus
}
#endif
#endif
