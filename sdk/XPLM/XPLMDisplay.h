#ifndef XPLMDisplay_h
#define XPLMDisplay_h
#include "XPLMDefs.h"
#ifdef __cplusplus
extern "C" {
#endif

typedef int XPLMDrawingPhase;
enum { xplm_Phase_Window = 50 };

typedef int (*XPLMDrawCallback_f)(XPLMDrawingPhase inPhase, int inIsBefore, void* inRefcon);

XPLM_API int XPLMRegisterDrawCallback(XPLMDrawCallback_f inCallback, XPLMDrawingPhase inPhase,
                                      int inWantsBefore, void* inRefcon);
XPLM_API int XPLMUnregisterDrawCallback(XPLMDrawCallback_f inCallback, XPLMDrawingPhase inPhase,
                                        int inWantsBefore, void* inRefcon);

#ifdef __cplusplus
}
#endif
#endif
