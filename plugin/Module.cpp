// The five entry points the simulator's plugin manager looks up by name.
// Nothing else leaves the module.
#include "XPLMDefs.h"
#include "plugin/Lifecycle.h"

extern "C" {

PLUGIN_API int XPluginStart(char* outName, char* outSig, char* outDesc) {
    return velmir::PluginStart(outName, outSig, outDesc);
}
PLUGIN_API void XPluginStop(void) { velmir::PluginStop(); }
PLUGIN_API int XPluginEnable(void) { return velmir::PluginEnable(); }
PLUGIN_API void XPluginDisable(void) { velmir::PluginDisable(); }
PLUGIN_API void XPluginReceiveMessage(int inFromWho, int inMessage, void* inParam) {
    velmir::PluginReceiveMessage(inFromWho, inMessage, inParam);
}
}
