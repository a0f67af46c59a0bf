// Heap bytes held by allocations made from inside one loaded module.
#pragma once

namespace velmir::soak {

// From now on, blocks allocated by code of the loaded module whose path
// ends in fileName count as the plugin's. False when no such module is loaded.
bool WatchModule(const char* fileName);
// False when this program's operator new is not in use (valgrind puts its
// own in its place): then the figures below mean nothing.
bool PluginHeapCounted();
long PluginHeapBytes();
long PluginHeapBlocks();

}  // namespace velmir::soak
