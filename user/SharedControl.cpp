#include "user/SharedControl.h"

#include "link/Messages.h"
#include "core/Clock.h"
#include "user/AircraftMotion.h"
#include "user/Encoding.h"
#include "user/UserDataRefs.h"

namespace velmir {

bool SharedControl = false;
double SharedControlDeadline = 0.0;
InstrumentFilterState InstrumentFilter;

namespace {

// Each step closes 1 % of the gap: smooth at frame rate, and a lost or late
// message never makes a needle jump.
constexpr float FilterKeep = 0.99f;
constexpr float FilterGain = 0.01f;

// The instrument channels' datarefs, in channel order.
XPLMDataRef UserDataRefSet::*const ChannelRefs[InstrumentChannelCount] = {
    &UserDataRefSet::IndicatedAirspeed, &UserDataRefSet::HeadingIndicator,
    &UserDataRefSet::IndicatedAltitude, &UserDataRefSet::VerticalSpeed,
    &UserDataRefSet::TurnRate,          &UserDataRefSet::Slip,
};

void WriteOverrides(int value) {
    int planePath = value;
    XPLMSetDatavi(UserDataRefs.OverridePlanePath, &planePath, 0, 1);
    XPLMSetDatai(UserDataRefs.OverrideFlightControl, value);
}

void ReadPropellers(float (&levers)[PropellerCount]) {
    // A short or missing array leaves the rest at 0 rather than stale.
    for (float& lever : levers) lever = 0.0f;
    XPLMGetDatavf(UserDataRefs.PropRatio, levers, 0, PropellerCount);
}

float Blend(float current, float target) {
    const float kept = current * FilterKeep;
    const float gained = target * FilterGain;
    return kept + gained;
}

}  // namespace

void TakeControl() {
    if (!SharedControl) {
        SharedControl = true;
        WriteOverrides(1);
        // Start every channel at the simulator's present value, so taking
        // control moves nothing by itself.
        for (int i = 0; i < InstrumentChannelCount; ++i)
            InstrumentFilter.Current[i] = XPLMGetDataf(UserDataRefs.*ChannelRefs[i]);
        ReadPropellers(InstrumentFilter.PropellerCurrent);
        for (int i = 0; i < InstrumentChannelCount; ++i)
            InstrumentFilter.Target[i] = InstrumentFilter.Current[i];
        ReadPropellers(InstrumentFilter.PropellerTarget);
    }
    SharedControlDeadline = PluginClock + SharedControlHoldSeconds;
}

void EndSharedControl() {
    SharedControl = false;
    SharedControlDeadline = 0.0;
    WriteOverrides(0);
    UserAircraft.Time = 0.0;
    UserAircraft.FilteredTime = 0.0;
    UserAircraft.ReceivedAt = 0.0;
    UserAircraft.UpdatedAt = 0.0;
}

void LapseSharedControl() {
    // Strictly after the deadline: at the deadline itself the client still
    // holds control. The record keeps its times, so a later sample must
    // still be newer than the last one to be applied.
    if (!SharedControl || !(PluginClock > SharedControlDeadline)) return;
    SharedControl = false;
    WriteOverrides(0);
}

void StepInstrumentFilter() {
    InstrumentFilterState& f = InstrumentFilter;
    for (int i = 0; i < InstrumentChannelCount; ++i) {
        f.Current[i] = Blend(f.Current[i], f.Target[i]);
        XPLMSetDataf(UserDataRefs.*ChannelRefs[i], f.Current[i]);
    }
    for (int i = 0; i < PropellerCount; ++i)
        f.PropellerCurrent[i] = Blend(f.PropellerCurrent[i], f.PropellerTarget[i]);
    XPLMSetDatavf(UserDataRefs.PropRatio, f.PropellerCurrent, 0, PropellerCount);
}

void HandleInstruments(const std::uint8_t* datagram) {
    if (Get(datagram, AircraftStateLayout::AircraftIndex) != 0) return;
    TakeControl();
    float* target = InstrumentFilter.Target;
    target[0] = Get(datagram, AircraftStateLayout::IndicatedAirspeed);
    target[1] = static_cast<float>(Get(datagram, AircraftStateLayout::HeadingIndicator));
    target[2] = Get(datagram, AircraftStateLayout::IndicatedAltitude);
    target[3] = Get(datagram, AircraftStateLayout::VerticalSpeed);
    target[4] = Get(datagram, AircraftStateLayout::TurnRate);
    target[5] = Get(datagram, AircraftStateLayout::Slip);
}

void HandlePropeller(const std::uint8_t* datagram) {
    if (Get(datagram, PistonEngineLayout::AircraftIndex) != 0) return;
    TakeControl();
    // When the client drives, the engine number byte names a lever from 0
    // and the rpm field carries that lever's target unscaled.
    const std::uint8_t lever = Get(datagram, PistonEngineLayout::EngineNumber);
    if (lever >= PropellerCount) return;
    InstrumentFilter.PropellerTarget[lever] =
        static_cast<float>(Get(datagram, PistonEngineLayout::EngineRpm));
}

void HandleFuel(const std::uint8_t* datagram) {
    // Fuel is set outright, with or without control, and never takes it.
    if (Get(datagram, FuelLayout::AircraftIndex) != 0) return;
    const std::uint8_t* masses = At(datagram, FuelLayout::TankMass);
    float tanks[FuelTankCount];
    for (int k = 0; k < FuelTankCount; ++k) tanks[FuelTankOrder[k]] = static_cast<float>(masses[k]);
    XPLMSetDatavf(UserDataRefs.FuelMass, tanks, 0, FuelTankCount);
}

}  // namespace velmir
