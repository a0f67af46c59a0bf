#ifndef XPLMUtilities_h
#define XPLMUtilities_h
#include "XPLMDefs.h"
#ifdef __cplusplus
extern "C" {
#endif

typedef int XPLMHostApplicationID;

XPLM_API void XPLMDebugString(const char* inString);
XPLM_API void XPLMGetVersions(int* outXPlaneVersion, int* outXPLMVersion,
                              XPLMHostApplicationID* outHostID);

#ifdef __cplusplus
}
#endif
#endif
