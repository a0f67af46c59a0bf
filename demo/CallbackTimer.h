// How long the plugin itself spends in each frame: the wall time of its
// flight loops and draw callbacks, without the host's own work around them.
//
// The plugin module resolves the simulator API through the process's global
// symbol scope, where the executable comes first. An executable that links
// CallbackTimer.cpp and exports its registration functions (see
// demo/exports.list) therefore receives the plugin's registrations, wraps each
// callback in a timed trampoline and passes the trampoline on to the host.
#pragma once

namespace velmir::demo {

struct CallbackTime {
    double Seconds = 0;  // wall time inside the plugin's callbacks
    int Calls = 0;
};

// Time accumulated since the previous call, then reset.
CallbackTime TakeCallbackTime();

// Callbacks registered through the wrappers so far (0 means the plugin found
// another way in, and TakeCallbackTime measures nothing).
int WrappedCallbacks();

}  // namespace velmir::demo
