// The cockpit variables a VariableMessage sets, by id: listed once here and
// used by the plugin (which writes them), the reference client (which names
// them) and the check that keeps the protocol guide in step.
#pragma once

#include <cstdint>

namespace velmir {

// clang-format off
#define VELMIR_VARIABLES(V)                                                               \
    V(YokeHeading, 4) V(YokePitch, 5) V(YokeRoll, 6)                                      \
    V(RudderTrim, 7) V(ElevatorTrim, 8) V(AileronTrim, 9)                                 \
    V(LeftBrake, 10) V(RightBrake, 11)                                                    \
    V(Generator1, 13) V(Generator2, 14) V(Generator3, 15) V(Generator4, 16)               \
    V(ParkingBrake, 22) V(PitotHeat, 23) V(GearHandle, 24) V(Transponder, 25)             \
    V(NavLights, 26) V(Beacon, 27) V(LandingLights, 28) V(TaxiLight, 29) V(Strobes, 30)   \
    V(Flaps, 36) V(FlapsAlternate, 37) V(FuelTankSelector, 39) V(FuelPump1, 47)           \
    V(Throttle1, 51) V(Throttle2, 52) V(Throttle3, 53) V(Throttle4, 54)                   \
    V(Mixture1, 55) V(Mixture2, 56) V(Mixture3, 57) V(Mixture4, 58)                       \
    V(Propeller1, 59) V(Propeller2, 60) V(Propeller3, 61) V(Propeller4, 62)               \
    V(AvionicsPower, 67) V(Nav1Course, 70) V(Nav2Course, 71)                              \
    V(Com1, 72) V(Com2, 73) V(Nav1, 74) V(Nav2, 75) V(Adf1, 76) V(Adf2, 77)               \
    V(Com1Standby, 78) V(Com2Standby, 79) V(Nav1Standby, 80) V(Nav2Standby, 81)           \
    V(ReservedSwitch, 86) V(AutopilotMode, 87) V(ToggleHeadingHold, 88)                   \
    V(AutopilotHeading, 89) V(ToggleAltitudeArm, 90) V(AutopilotAltitude, 91)             \
    V(ToggleAirspeedHold, 93) V(AutopilotAirspeed, 94) V(TogglePitchSync, 95)             \
    V(ToggleGlideslopeArm, 96) V(ToggleNavArm, 98) V(Altimeter, 101)
// clang-format on

#define VELMIR_VARIABLE_ENUM(name, id) name = id,
enum class VariableId : std::int16_t { VELMIR_VARIABLES(VELMIR_VARIABLE_ENUM) };
#undef VELMIR_VARIABLE_ENUM

struct VariableName {
    const char* Name;
    std::int16_t Id;
};
#define VELMIR_VARIABLE_NAME(name, id) {#name, id},
constexpr VariableName VariableNames[] = {VELMIR_VARIABLES(VELMIR_VARIABLE_NAME)};
#undef VELMIR_VARIABLE_NAME

}  // namespace velmir
