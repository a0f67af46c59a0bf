/* Our own declarations of the simulator's plugin API (XPLM 3.x/4.x, 64-bit).
 * Names, types and signatures match the simulator's published C API so that
 * the same binary loads into the real simulator. */
#ifndef XPLMDefs_h
#define XPLMDefs_h

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(XPLM_HOST_BUILD)
#define XPLM_API __declspec(dllexport)
#else
#define XPLM_API __declspec(dllimport)
#endif
#define PLUGIN_API __declspec(dllexport)
#else
#define XPLM_API __attribute__((visibility("default")))
#define PLUGIN_API __attribute__((visibility("default")))
#endif

typedef int XPLMPluginID;

#ifdef __cplusplus
}
#endif
#endif
