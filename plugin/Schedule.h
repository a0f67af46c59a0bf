// The schedule: which periodic callback does what, in which order, and how
// the link reaches the rest of the plugin (LinkHooks).
#pragma once

namespace velmir {

// 0.1 s: receive loop, position report, lapse of shared control.
float PositionReportLoop(float sinceLastCall, float sinceLastLoop, int counter, void* refcon);
// 1.0 s: state report, then the label values.
float StateReportLoop(float sinceLastCall, float sinceLastLoop, int counter, void* refcon);
// 4.0 s: model report.
float ModelReportLoop(float sinceLastCall, float sinceLastLoop, int counter, void* refcon);
// 2.0 s: keep-alive report, then the sweep of stale remote aircraft.
float KeepAliveLoop(float sinceLastCall, float sinceLastLoop, int counter, void* refcon);
// Every frame: plugin clock, the user aircraft under shared control, every
// active slot, traffic targets.
float MotionFrame(float sinceLastCall, float sinceLastLoop, int counter, void* refcon);

// The disconnect hook: ends shared control, releases all 40 slots and gives
// the simulator's AI aircraft back.
void ReleasePlanes();
// Fills LinkHooks: the connect and disconnect hooks and one handler per
// incoming message type.
void InstallLinkHooks();

// Registers the five flight loops and the label drawing; and undoes it.
void RegisterCallbacks();
void UnregisterCallbacks();

}  // namespace velmir
