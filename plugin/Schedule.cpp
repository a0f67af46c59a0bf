#include "plugin/Schedule.h"

#include "XPLMDisplay.h"
#include "XPLMProcessing.h"
#include "core/Clock.h"
#include "link/Connection.h"
#include "link/KeepAlive.h"
#include "traffic/AircraftTable.h"
#include "traffic/Labels.h"
#include "traffic/ModelInjection.h"
#include "traffic/Motion.h"
#include "traffic/Variable.h"
#include "user/Reports.h"
#include "user/SharedControl.h"

namespace velmir {

namespace {

struct FlightLoop {
    XPLMFlightLoop_f Callback;
    float Interval;
};
// In registration order.
const FlightLoop FlightLoops[] = {
    {&ModelReportLoop, 4.0f}, {&PositionReportLoop, 0.1f}, {&StateReportLoop, 1.0f},
    {&KeepAliveLoop, 2.0f},   {&MotionFrame, -1.0f},
};

constexpr XPLMDrawingPhase LabelPhase = xplm_Phase_Window;

}  // namespace

float PositionReportLoop(float, float, int, void*) {
    // Datagrams first: a control message in this pass silences this pass's
    // report.
    ReceiveLoop();
    ReportPosition();
    // Also without a client: one that fell silent while driving still
    // loses control.
    LapseSharedControl();
    return 0.1f;
}

float StateReportLoop(float, float, int, void*) {
    ReportState();
    // Labels are refreshed whether or not a report went out.
    UpdateLabelValues();
    return 1.0f;
}

float ModelReportLoop(float, float, int, void*) {
    ReportModel();
    return 4.0f;
}

float KeepAliveLoop(float, float, int, void*) {
    ReportKeepAlive();
    SweepStaleAircraft();
    return 2.0f;
}

float MotionFrame(float, float, int, void*) {
    RefreshPluginClock();
    if (SharedControl) UpdateMotion(UserAircraft);
    MoveTraffic(PlanesAcquired);
    return -1.0f;
}

void ReleasePlanes() {
    EndSharedControl();
    for (AircraftRecord& record : AircraftTable) ReleaseRecord(record);
    ReleaseAiPlanes();
}

void InstallLinkHooks() {
    LinkHooks = LinkHookTable{};
    LinkHooks.Connect = &AcquirePlanes;
    LinkHooks.Disconnect = &ReleasePlanes;
    LinkHooks.Handlers[InfoMessage] = &ApplyLabelSettings;
    LinkHooks.Handlers[ModelMessage] = &ApplyModel;
    LinkHooks.Handlers[PositionMessage] = &HandlePosition;
    LinkHooks.Handlers[PlacementMessage] = &HandlePlacement;
    LinkHooks.Handlers[MotionMessage] = &HandleMotion;
    LinkHooks.Handlers[AircraftStateMessage] = &HandleInstruments;
    LinkHooks.Handlers[PistonEngineMessage] = &HandlePropeller;
    LinkHooks.Handlers[FuelMessage] = &HandleFuel;
    LinkHooks.Handlers[VariableMessage] = &HandleVariable;
    LinkHooks.Handlers[RemoveAircraftMessage] = &RemoveAircraft;
}

void RegisterCallbacks() {
    for (const FlightLoop& loop : FlightLoops)
        XPLMRegisterFlightLoopCallback(loop.Callback, loop.Interval, nullptr);
    XPLMRegisterDrawCallback(&DrawLabels, LabelPhase, 0, nullptr);
}

void UnregisterCallbacks() {
    for (const FlightLoop& loop : FlightLoops)
        XPLMUnregisterFlightLoopCallback(loop.Callback, nullptr);
    // A plugin that is reloaded must not leave its drawing behind.
    XPLMUnregisterDrawCallback(&DrawLabels, LabelPhase, 0, nullptr);
}

}  // namespace velmir
