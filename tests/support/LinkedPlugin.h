// The plugin's entry points as linked into this process, for tests,
// benchmarks and fuzz targets that drive the plugin's code in-process
// through the simulator host instead of loading lin.xpl.
#pragma once

#include "host/Host.h"
#include "plugin/Lifecycle.h"

namespace velmir::test {

inline host::PluginEntryPoints LinkedPlugin() {
    host::PluginEntryPoints entries;
    entries.start = &PluginStart;
    entries.stop = &PluginStop;
    entries.enable = &PluginEnable;
    entries.disable = &PluginDisable;
    entries.receiveMessage = &PluginReceiveMessage;
    return entries;
}

}  // namespace velmir::test
