#ifndef XPLMScenery_h
#define XPLMScenery_h
#include "XPLMDefs.h"
#ifdef __cplusplus
extern "C" {
#endif

typedef void* XPLMProbeRef;
typedef int XPLMProbeType;
enum { xplm_ProbeY = 0 };
typedef int XPLMProbeResult;
enum { xplm_ProbeHitTerrain = 0, xplm_ProbeError = 1, xplm_ProbeMissed = 2 };

typedef struct {
    int structSize;
    float locationX;
    float locationY;
    float locationZ;
    float normalX;
    float normalY;
    float normalZ;
    float velocityX;
    float velocityY;
    float velocityZ;
    int is_wet;
} XPLMProbeInfo_t;

typedef void* XPLMObjectRef;

typedef struct {
    int structSize;
    float x;
    float y;
    float z;
    float pitch;
    float heading;
    float roll;
} XPLMDrawInfo_t;

typedef void (*XPLMObjectLoaded_f)(XPLMObjectRef inObject, void* inRefcon);

XPLM_API XPLMProbeRef XPLMCreateProbe(XPLMProbeType inProbeType);
XPLM_API void XPLMDestroyProbe(XPLMProbeRef inProbe);
XPLM_API XPLMProbeResult XPLMProbeTerrainXYZ(XPLMProbeRef inProbe, float inX, float inY, float inZ,
                                             XPLMProbeInfo_t* outInfo);
XPLM_API void XPLMLoadObjectAsync(const char* inPath, XPLMObjectLoaded_f inCallback,
                                  void* inRefcon);
XPLM_API void XPLMUnloadObject(XPLMObjectRef inObject);

#ifdef __cplusplus
}
#endif
#endif
