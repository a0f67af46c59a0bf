#include "traffic/Variable.h"

#include "XPLMDataAccess.h"
#include "link/Messages.h"
#include "traffic/AircraftTable.h"
#include "user/UserDataRefs.h"

namespace velmir {

namespace {

// Control ratios travel with 16384 standing for 1.0.
constexpr float RatioScale = 6.1035156e-05f;
// Sixteenths of a hectopascal to inches of mercury.
constexpr float BarometerScale = 0.0018456238f;

void SetElementi(XPLMDataRef ref, int index, int value) { XPLMSetDatavi(ref, &value, index, 1); }
void SetElementf(XPLMDataRef ref, int index, float value) { XPLMSetDatavf(ref, &value, index, 1); }

void ToggleAutopilot(int bit) {
    const int state = XPLMGetDatai(UserDataRefs.AutopilotState);
    XPLMSetDatai(UserDataRefs.AutopilotState, state ^ bit);
}

// The client's tank selector numbering to the simulator's.
int TankSelector(int value) {
    switch (value) {
    case 1: return 4;
    case 2: return 1;
    case 3: return 3;
    default: return 0;
    }
}

void SetUserVariable(int id, int value) {
    const UserDataRefSet& refs = UserDataRefs;
    const float asFloat = static_cast<float>(value);
    const float scaled = asFloat * RatioScale;
    switch (id) {
    // The yoke ratios travel with the opposite sign.
    case 4: XPLMSetDataf(refs.YokeHeading, -scaled); return;
    case 5: XPLMSetDataf(refs.YokePitch, -scaled); return;
    case 6: XPLMSetDataf(refs.YokeRoll, -scaled); return;
    case 7: XPLMSetDataf(refs.RudderTrim, scaled); return;
    case 8: XPLMSetDataf(refs.ElevatorTrim, scaled); return;
    case 9: XPLMSetDataf(refs.AileronTrim, scaled); return;
    case 10: XPLMSetDataf(refs.LeftBrake, scaled); return;
    case 11: XPLMSetDataf(refs.RightBrake, scaled); return;
    case 13:
    case 14:
    case 15:
    case 16: SetElementi(refs.GeneratorOn, id - 13, value); return;
    case 22: XPLMSetDataf(refs.ParkingBrake, value != 0 ? 1.0f : 0.0f); return;
    case 23: XPLMSetDatai(refs.PitotHeat, value); return;
    case 24: XPLMSetDatai(refs.GearHandle, value); return;
    case 25: XPLMSetDatai(refs.TransponderCode, value); return;
    case 26: XPLMSetDatai(refs.NavLights, value); return;
    case 27: XPLMSetDatai(refs.BeaconLights, value); return;
    case 28: XPLMSetDatai(refs.LandingLights, value); return;
    case 29: XPLMSetDatai(refs.TaxiLight, value); return;
    case 30: XPLMSetDatai(refs.StrobeLights, value); return;
    case 36:
    case 37: {
        // The client sends a detent number; the simulator wants a ratio.
        const int detents = XPLMGetDatai(refs.FlapDetents);
        const float ratio = detents > 0 ? asFloat / static_cast<float>(detents) : 0.0f;
        XPLMSetDataf(refs.FlapRatio, ratio);
        XPLMSetDataf(refs.FlapHandleRatio, ratio);
        XPLMSetDataf(refs.FlapHandleDeploy, ratio);
        return;
    }
    case 39: XPLMSetDatai(refs.FuelTankSelector, TankSelector(value)); return;
    case 47: SetElementi(refs.FuelPumpOn, 0, value); return;
    case 51:
    case 52:
    case 53:
    case 54: SetElementf(refs.ThrottleRatio, id - 51, scaled); return;
    case 55:
    case 56:
    case 57:
    case 58: SetElementf(refs.MixtureRatio, id - 55, scaled); return;
    case 59:
    case 60:
    case 61:
    case 62: SetElementf(refs.PropRatio, id - 59, scaled); return;
    case 67: XPLMSetDatai(refs.AvionicsPower, value); return;
    case 70: XPLMSetDataf(refs.Nav1Obs, asFloat); return;
    case 71: XPLMSetDataf(refs.Nav2Obs, asFloat); return;
    case 72: XPLMSetDatai(refs.Com1, value); return;
    case 73: XPLMSetDatai(refs.Com2, value); return;
    case 74: XPLMSetDatai(refs.Nav1, value); return;
    case 75: XPLMSetDatai(refs.Nav2, value); return;
    case 76: XPLMSetDatai(refs.Adf1, value); return;
    case 77: XPLMSetDatai(refs.Adf2, value); return;
    case 78: XPLMSetDatai(refs.Com1Standby, value); return;
    case 79: XPLMSetDatai(refs.Com2Standby, value); return;
    case 80: XPLMSetDatai(refs.Nav1Standby, value); return;
    case 81: XPLMSetDatai(refs.Nav2Standby, value); return;
    // The switch behind 86 has no dataref of its own (ExtraSwitch stays
    // unbound), so this write has no effect.
    case 86: XPLMSetDataf(refs.ExtraSwitch, value != 0 ? 1.0f : 0.0f); return;
    case 87: XPLMSetDatai(refs.AutopilotMode, value); return;
    // Autopilot buttons: each press inverts its bit, whatever the value.
    case 88: ToggleAutopilot(2); return;
    case 90: ToggleAutopilot(32); return;
    case 93: ToggleAutopilot(8); return;
    case 95: ToggleAutopilot(128); return;
    case 96: ToggleAutopilot(1024); return;
    case 98: ToggleAutopilot(256); return;
    case 89: XPLMSetDataf(refs.AutopilotHeading, asFloat); return;
    case 91: XPLMSetDataf(refs.AutopilotAltitude, asFloat); return;
    case 94: XPLMSetDataf(refs.AutopilotAirspeed, asFloat); return;
    case 101: XPLMSetDataf(refs.Barometer, asFloat * BarometerScale); return;
    default: return;
    }
}

// LightRefs are never bound (no dataref carries a remote aircraft's lights),
// so these writes go through null handles and have no effect for now.
void SetRemoteLight(AircraftRecord& record, int id, int value) {
    enum { Beacon, Landing, Nav, Strobe, Taxi };
    switch (id) {
    case 26: XPLMSetDatai(record.LightRefs[Nav], value); return;
    case 27: XPLMSetDatai(record.LightRefs[Beacon], value); return;
    case 28: XPLMSetDatai(record.LightRefs[Landing], value); return;
    case 29: XPLMSetDatai(record.LightRefs[Taxi], value); return;
    case 30: XPLMSetDatai(record.LightRefs[Strobe], value); return;
    default: return;
    }
}

}  // namespace

void HandleVariable(const std::uint8_t* datagram) {
    const std::uint8_t index = Get(datagram, VariableLayout::AircraftIndex);
    const int id = Get(datagram, VariableLayout::VariableId);
    const int value = Get(datagram, VariableLayout::VariableValue);
    if (index == 0) {
        SetUserVariable(id, value);
        return;
    }
    if (AircraftRecord* record = SlotForIndex(index)) SetRemoteLight(*record, id, value);
}

}  // namespace velmir
