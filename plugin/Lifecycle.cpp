#include "plugin/Lifecycle.h"

#include <cstring>

#include "XPLMScenery.h"
#include "core/Clock.h"
#include "core/DataRefs.h"
#include "link/Connection.h"
#include "plugin/Schedule.h"
#include "traffic/AircraftTable.h"
#include "traffic/Labels.h"
#include "traffic/TrafficTargets.h"
#include "user/Reports.h"
#include "user/SharedControl.h"
#include "user/UserDataRefs.h"

namespace velmir {

namespace {

constexpr std::size_t IdentityLimit = 64;
static_assert(sizeof("Cross-Platform Multiplayer Plugin. https://velmir.example") <= IdentityLimit,
              "the description must fit the simulator's 64-byte buffer");

void CopyIdentity(char* out, const char* text) {
    std::strncpy(out, text, IdentityLimit - 1);
    out[IdentityLimit - 1] = '\0';
}

void DestroyProbe(AircraftMotion& record) {
    if (record.Probe != nullptr) {
        XPLMDestroyProbe(record.Probe);
        record.Probe = nullptr;
    }
}

}  // namespace

int PluginStart(char* outName, char* outSignature, char* outDescription) {
    CopyIdentity(outName, PluginName);
    CopyIdentity(outSignature, PluginSignature);
    CopyIdentity(outDescription, PluginDescription);

    StartClock();
    BindUserDataRefs();
    for (AircraftRecord& record : AircraftTable) ResetRecord(record);
    // A stop and start in one process must not keep the last client's labels.
    ResetLabelSettings();

    LiveryIndexRef = BindDataRef("sim/aircraft/view/acf_livery_index");
    OverrideTcasRef = BindDataRef("sim/operation/override/override_TCAS");
    TrafficRefs.ModeSId = BindDataRef("sim/cockpit2/tcas/targets/modeS_id");
    TrafficRefs.FlightId = BindDataRef("sim/cockpit2/tcas/targets/flight_id");
    TrafficRefs.X = BindDataRef("sim/cockpit2/tcas/targets/position/x");
    TrafficRefs.Y = BindDataRef("sim/cockpit2/tcas/targets/position/y");
    TrafficRefs.Z = BindDataRef("sim/cockpit2/tcas/targets/position/z");
    TrafficRefs.Vx = BindDataRef("sim/cockpit2/tcas/targets/position/vx");
    TrafficRefs.Vy = BindDataRef("sim/cockpit2/tcas/targets/position/vy");
    TrafficRefs.Vz = BindDataRef("sim/cockpit2/tcas/targets/position/vz");
    TrafficRefs.Psi = BindDataRef("sim/cockpit2/tcas/targets/position/psi");
    TrafficRefs.The = BindDataRef("sim/cockpit2/tcas/targets/position/the");
    TrafficRefs.Phi = BindDataRef("sim/cockpit2/tcas/targets/position/phi");

    InstallLinkHooks();
    OpenSocket();

    RegisterCallbacks();

    // A missing view dataref only means no labels; it is not reported.
    ViewRefs.WorldMatrix = XPLMFindDataRef("sim/graphics/view/world_matrix");
    ViewRefs.ProjectionMatrix = XPLMFindDataRef("sim/graphics/view/projection_matrix_3d");
    ViewRefs.WindowWidth = XPLMFindDataRef("sim/graphics/view/window_width");
    ViewRefs.WindowHeight = XPLMFindDataRef("sim/graphics/view/window_height");
    return 1;
}

void PluginStop() {
    EndSharedControl();
    DestroyProbe(UserAircraft);
    for (AircraftRecord& record : AircraftTable) {
        ReleaseRecord(record);
        DestroyProbe(record);
    }
    CloseSocket();
    // Planes granted after the client had gone are still ours; a stopped
    // plugin must not keep the simulator's traffic.
    if (PlanesAcquired) ReleasePlanes();
    UnregisterCallbacks();
}

int PluginEnable() { return 1; }
void PluginDisable() {}
void PluginReceiveMessage(int, int, void*) {}

}  // namespace velmir
