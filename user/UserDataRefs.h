// The user aircraft's datarefs, bound once at start and never looked up
// again. The nine position, velocity and attitude handles live in the user
// aircraft's record (AircraftMotion::UserRefs); the rest are here.
#pragma once

#include "XPLMDataAccess.h"

namespace velmir {

// Indices into AircraftMotion::UserRefs.
enum UserRefIndex { LocalX, LocalY, LocalZ, LocalVx, LocalVy, LocalVz, Theta, Phi, Psi };

struct UserDataRefSet {
    // Shared-control overrides
    XPLMDataRef OverridePlanePath, OverrideFlightControl;
    // Identity
    XPLMDataRef TailNumber;
    // World position
    XPLMDataRef Longitude, Latitude, Elevation;
    // Rates and accelerations
    XPLMDataRef Q, R, P, LocalAx, LocalAy, LocalAz;
    // Flight controls
    XPLMDataRef YokeHeading, YokePitch, YokeRoll, LeftBrake, RightBrake;
    XPLMDataRef ElevatorTrim, AileronTrim, RudderTrim, SpoilerDeflection, TailhookRatio;
    // Engine configuration
    XPLMDataRef NumEngines, EngineType, MinPitch, MaxPitch;
    // Engine switches and modes (int[4])
    XPLMDataRef GeneratorOn, PrimerOn, FuelPumpOn, IgnitionOn, IgnitersOn;
    XPLMDataRef FuelFlowAfterMixture, InletHeat, FuelFlowBeforeMixture, PropMode,
        AfterburnerEnabled;
    // Engine levers (float[4])
    XPLMDataRef ThrottleRatio, MixtureRatio, PropRatio, CowlFlapRatio;
    // Engine indications (float[4])
    XPLMDataRef Egt, OilPressure, OilTemp, FuelPressure, ManifoldPressure, Cht, FuelFlow, PropSpeed,
        N1, N2, Epr, Itt, EngineSpeedRpm;
    // Fuel
    XPLMDataRef FuelTankSelector, FuelMass;
    // Transponder and lights
    XPLMDataRef TransponderCode, NavLights, BeaconLights, LandingLights, TaxiLight, StrobeLights,
        CockpitLights;
    // Flaps
    XPLMDataRef FlapRatio, FlapHandleRatio, FlapHandleDeploy, FlapDetents;
    // Switches
    XPLMDataRef BatteryOn, ParkingBrake, PitotHeat, GearHandle, Canopy, AvionicsPower,
        AlternateStaticAir;
    // Radios
    XPLMDataRef Nav1Obs, Nav2Obs;
    XPLMDataRef Com1, Com2, Nav1, Nav2, Adf1, Adf2, Com1Standby, Com2Standby, Nav1Standby,
        Nav2Standby, DmeSelector;
    // Autopilot
    XPLMDataRef AutopilotMode, AutopilotState, AutopilotHeading, AutopilotAltitude,
        AutopilotVerticalVelocity, AutopilotAirspeed;
    // Instruments
    XPLMDataRef HeadingIndicator, Barometer, RadioAltimeter, IndicatedAirspeed, IndicatedAltitude,
        VerticalSpeed, TurnRate, Slip;
    // A switch no lookup fills (the extra controls of the secondary-controls
    // report and variable 86): null for the whole run.
    XPLMDataRef ExtraSwitch;
};

extern UserDataRefSet UserDataRefs;

// Resets the user aircraft's record and the shared-control state, then
// looks up every dataref of the user aircraft, logging each missing name.
void BindUserDataRefs();

}  // namespace velmir
