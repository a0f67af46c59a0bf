#include "traffic/Variable.h"

#include "XPLMDataAccess.h"
#include "link/Messages.h"
#include "link/Variables.h"
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
    using V = VariableId;
    const UserDataRefSet& refs = UserDataRefs;
    const float asFloat = static_cast<float>(value);
    const float scaled = asFloat * RatioScale;
    switch (static_cast<VariableId>(id)) {
    // The yoke ratios travel with the opposite sign.
    case V::YokeHeading: XPLMSetDataf(refs.YokeHeading, -scaled); return;
    case V::YokePitch: XPLMSetDataf(refs.YokePitch, -scaled); return;
    case V::YokeRoll: XPLMSetDataf(refs.YokeRoll, -scaled); return;
    case V::RudderTrim: XPLMSetDataf(refs.RudderTrim, scaled); return;
    case V::ElevatorTrim: XPLMSetDataf(refs.ElevatorTrim, scaled); return;
    case V::AileronTrim: XPLMSetDataf(refs.AileronTrim, scaled); return;
    case V::LeftBrake: XPLMSetDataf(refs.LeftBrake, scaled); return;
    case V::RightBrake: XPLMSetDataf(refs.RightBrake, scaled); return;
    case V::Generator1:
    case V::Generator2:
    case V::Generator3:
    case V::Generator4:
        SetElementi(refs.GeneratorOn, id - static_cast<int>(V::Generator1), value);
        return;
    case V::ParkingBrake: XPLMSetDataf(refs.ParkingBrake, value != 0 ? 1.0f : 0.0f); return;
    case V::PitotHeat: XPLMSetDatai(refs.PitotHeat, value); return;
    case V::GearHandle: XPLMSetDatai(refs.GearHandle, value); return;
    case V::Transponder: XPLMSetDatai(refs.TransponderCode, value); return;
    case V::NavLights: XPLMSetDatai(refs.NavLights, value); return;
    case V::Beacon: XPLMSetDatai(refs.BeaconLights, value); return;
    case V::LandingLights: XPLMSetDatai(refs.LandingLights, value); return;
    case V::TaxiLight: XPLMSetDatai(refs.TaxiLight, value); return;
    case V::Strobes: XPLMSetDatai(refs.StrobeLights, value); return;
    case V::Flaps:
    case V::FlapsAlternate: {
        // The client sends a detent number; the simulator wants a ratio.
        const int detents = XPLMGetDatai(refs.FlapDetents);
        const float ratio = detents > 0 ? asFloat / static_cast<float>(detents) : 0.0f;
        XPLMSetDataf(refs.FlapRatio, ratio);
        XPLMSetDataf(refs.FlapHandleRatio, ratio);
        XPLMSetDataf(refs.FlapHandleDeploy, ratio);
        return;
    }
    case V::FuelTankSelector: XPLMSetDatai(refs.FuelTankSelector, TankSelector(value)); return;
    case V::FuelPump1: SetElementi(refs.FuelPumpOn, 0, value); return;
    case V::Throttle1:
    case V::Throttle2:
    case V::Throttle3:
    case V::Throttle4:
        SetElementf(refs.ThrottleRatio, id - static_cast<int>(V::Throttle1), scaled);
        return;
    case V::Mixture1:
    case V::Mixture2:
    case V::Mixture3:
    case V::Mixture4:
        SetElementf(refs.MixtureRatio, id - static_cast<int>(V::Mixture1), scaled);
        return;
    case V::Propeller1:
    case V::Propeller2:
    case V::Propeller3:
    case V::Propeller4:
        SetElementf(refs.PropRatio, id - static_cast<int>(V::Propeller1), scaled);
        return;
    case V::AvionicsPower: XPLMSetDatai(refs.AvionicsPower, value); return;
    case V::Nav1Course: XPLMSetDataf(refs.Nav1Obs, asFloat); return;
    case V::Nav2Course: XPLMSetDataf(refs.Nav2Obs, asFloat); return;
    case V::Com1: XPLMSetDatai(refs.Com1, value); return;
    case V::Com2: XPLMSetDatai(refs.Com2, value); return;
    case V::Nav1: XPLMSetDatai(refs.Nav1, value); return;
    case V::Nav2: XPLMSetDatai(refs.Nav2, value); return;
    case V::Adf1: XPLMSetDatai(refs.Adf1, value); return;
    case V::Adf2: XPLMSetDatai(refs.Adf2, value); return;
    case V::Com1Standby: XPLMSetDatai(refs.Com1Standby, value); return;
    case V::Com2Standby: XPLMSetDatai(refs.Com2Standby, value); return;
    case V::Nav1Standby: XPLMSetDatai(refs.Nav1Standby, value); return;
    case V::Nav2Standby: XPLMSetDatai(refs.Nav2Standby, value); return;
    // The reserved switch has no dataref of its own (ExtraSwitch stays
    // unbound), so this write has no effect.
    case V::ReservedSwitch: XPLMSetDataf(refs.ExtraSwitch, value != 0 ? 1.0f : 0.0f); return;
    case V::AutopilotMode: XPLMSetDatai(refs.AutopilotMode, value); return;
    // Autopilot buttons: each press inverts its bit, whatever the value.
    case V::ToggleHeadingHold: ToggleAutopilot(2); return;
    case V::ToggleAltitudeArm: ToggleAutopilot(32); return;
    case V::ToggleAirspeedHold: ToggleAutopilot(8); return;
    case V::TogglePitchSync: ToggleAutopilot(128); return;
    case V::ToggleGlideslopeArm: ToggleAutopilot(1024); return;
    case V::ToggleNavArm: ToggleAutopilot(256); return;
    case V::AutopilotHeading: XPLMSetDataf(refs.AutopilotHeading, asFloat); return;
    case V::AutopilotAltitude: XPLMSetDataf(refs.AutopilotAltitude, asFloat); return;
    case V::AutopilotAirspeed: XPLMSetDataf(refs.AutopilotAirspeed, asFloat); return;
    case V::Altimeter: XPLMSetDataf(refs.Barometer, asFloat * BarometerScale); return;
    default: return;
    }
}

// LightRefs are never bound (no dataref carries a remote aircraft's lights),
// so these writes go through null handles and have no effect for now.
void SetRemoteLight(AircraftRecord& record, int id, int value) {
    using V = VariableId;
    enum { Beacon, Landing, Nav, Strobe, Taxi };
    switch (static_cast<VariableId>(id)) {
    case V::NavLights: XPLMSetDatai(record.LightRefs[Nav], value); return;
    case V::Beacon: XPLMSetDatai(record.LightRefs[Beacon], value); return;
    case V::LandingLights: XPLMSetDatai(record.LightRefs[Landing], value); return;
    case V::TaxiLight: XPLMSetDatai(record.LightRefs[Taxi], value); return;
    case V::Strobes: XPLMSetDatai(record.LightRefs[Strobe], value); return;
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
