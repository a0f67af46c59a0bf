#include "user/UserDataRefs.h"

#include <cstddef>

#include "core/DataRefs.h"
#include "user/AircraftMotion.h"
#include "user/SharedControl.h"

namespace velmir {

// ExtraSwitch is deliberately left out of the lookups below: no simulator
// switch has been settled for it, so it stays null. Reads through it give 0
// and writes do nothing, which keeps the extra controls of the secondary
// report at 0 and makes variable 86 a no-op.
UserDataRefSet UserDataRefs;

namespace {

struct Binding {
    const char* Name;
    XPLMDataRef* Handle;
};

UserDataRefSet& R = UserDataRefs;
XPLMDataRef (&U)[9] = UserAircraft.UserRefs;

// Lookup order is the order of the "Failed to find" lines in the log.
const Binding Bindings[] = {
    {"sim/aircraft/view/acf_tailnum", &R.TailNumber},
    {"sim/operation/override/override_planepath", &R.OverridePlanePath},
    {"sim/operation/override/override_flightcontrol", &R.OverrideFlightControl},
    {"sim/flightmodel/position/longitude", &R.Longitude},
    {"sim/flightmodel/position/latitude", &R.Latitude},
    {"sim/flightmodel/position/elevation", &R.Elevation},
    {"sim/flightmodel/position/theta", &U[Theta]},
    {"sim/flightmodel/position/phi", &U[Phi]},
    {"sim/flightmodel/position/psi", &U[Psi]},
    {"sim/flightmodel/position/local_x", &U[LocalX]},
    {"sim/flightmodel/position/local_y", &U[LocalY]},
    {"sim/flightmodel/position/local_z", &U[LocalZ]},
    {"sim/flightmodel/position/local_vx", &U[LocalVx]},
    {"sim/flightmodel/position/local_vy", &U[LocalVy]},
    {"sim/flightmodel/position/local_vz", &U[LocalVz]},
    {"sim/flightmodel/position/Q", &R.Q},
    {"sim/flightmodel/position/R", &R.R},
    {"sim/flightmodel/position/P", &R.P},
    {"sim/flightmodel/position/local_ax", &R.LocalAx},
    {"sim/flightmodel/position/local_ay", &R.LocalAy},
    {"sim/flightmodel/position/local_az", &R.LocalAz},
    {"sim/joystick/yoke_heading_ratio", &R.YokeHeading},
    {"sim/joystick/yoke_pitch_ratio", &R.YokePitch},
    {"sim/joystick/yoke_roll_ratio", &R.YokeRoll},
    {"sim/flightmodel/controls/l_brake_add", &R.LeftBrake},
    {"sim/flightmodel/controls/r_brake_add", &R.RightBrake},
    {"sim/cockpit2/controls/elevator_trim", &R.ElevatorTrim},
    {"sim/cockpit2/controls/aileron_trim", &R.AileronTrim},
    {"sim/cockpit2/controls/rudder_trim", &R.RudderTrim},
    {"sim/flightmodel/controls/lsplrdef", &R.SpoilerDeflection},
    {"sim/flightmodel/controls/tailhook_ratio", &R.TailhookRatio},
    {"sim/aircraft/engine/acf_num_engines", &R.NumEngines},
    {"sim/aircraft/prop/acf_en_type", &R.EngineType},
    {"sim/aircraft/prop/acf_min_pitch", &R.MinPitch},
    {"sim/aircraft/prop/acf_max_pitch", &R.MaxPitch},
    {"sim/cockpit/electrical/generator_on", &R.GeneratorOn},
    {"sim/cockpit2/engine/actuators/primer_on", &R.PrimerOn},
    {"sim/cockpit2/fuel/fuel_tank_selector", &R.FuelTankSelector},
    {"sim/cockpit/engine/fuel_pump_on", &R.FuelPumpOn},
    {"sim/cockpit2/engine/actuators/ignition_on", &R.IgnitionOn},
    {"sim/cockpit/engine/igniters_on", &R.IgnitersOn},
    {"sim/cockpit2/engine/actuators/throttle_ratio", &R.ThrottleRatio},
    {"sim/cockpit2/engine/actuators/mixture_ratio", &R.MixtureRatio},
    {"sim/cockpit2/engine/actuators/prop_ratio", &R.PropRatio},
    {"sim/cockpit2/engine/actuators/cowl_flap_ratio", &R.CowlFlapRatio},
    {"sim/flightmodel2/engines/has_fuel_flow_after_mixture", &R.FuelFlowAfterMixture},
    {"sim/cockpit2/engine/indicators/engine_speed_rpm", &R.EngineSpeedRpm},
    {"sim/cockpit/switches/anti_ice_inlet_heat_per_engine", &R.InletHeat},
    {"sim/flightmodel2/engines/has_fuel_flow_before_mixture", &R.FuelFlowBeforeMixture},
    {"sim/cockpit2/engine/actuators/prop_mode", &R.PropMode},
    {"sim/flightmodel/engine/ENGN_EGT_c", &R.Egt},
    {"sim/flightmodel/engine/ENGN_oil_press_psi", &R.OilPressure},
    {"sim/flightmodel/engine/ENGN_oil_temp_c", &R.OilTemp},
    {"sim/cockpit2/engine/indicators/fuel_pressure_psi", &R.FuelPressure},
    {"sim/cockpit2/engine/indicators/MPR_in_hg", &R.ManifoldPressure},
    {"sim/cockpit2/switches/alternate_static_air_ratio", &R.AlternateStaticAir},
    {"sim/flightmodel/engine/ENGN_CHT_c", &R.Cht},
    {"sim/flightmodel/engine/ENGN_FF_", &R.FuelFlow},
    {"sim/flightmodel/engine/POINT_tacrad", &R.PropSpeed},
    {"sim/cockpit2/engine/actuators/afterburner_enabled", &R.AfterburnerEnabled},
    {"sim/flightmodel/engine/ENGN_N1_", &R.N1},
    {"sim/flightmodel/engine/ENGN_N2_", &R.N2},
    {"sim/flightmodel/engine/ENGN_EPR", &R.Epr},
    {"sim/flightmodel/engine/ENGN_ITT_c", &R.Itt},
    {"sim/cockpit/radios/transponder_code", &R.TransponderCode},
    {"sim/cockpit/electrical/nav_lights_on", &R.NavLights},
    {"sim/cockpit/electrical/beacon_lights_on", &R.BeaconLights},
    {"sim/cockpit/electrical/landing_lights_on", &R.LandingLights},
    {"sim/cockpit/electrical/taxi_light_on", &R.TaxiLight},
    {"sim/cockpit/electrical/strobe_lights_on", &R.StrobeLights},
    {"sim/cockpit/electrical/cockpit_lights", &R.CockpitLights},
    {"sim/flightmodel/controls/flaprat", &R.FlapRatio},
    {"sim/cockpit2/controls/flap_ratio", &R.FlapHandleRatio},
    {"sim/flightmodel2/controls/flap_handle_deploy_ratio", &R.FlapHandleDeploy},
    {"sim/aircraft/controls/acf_flap_detents", &R.FlapDetents},
    {"sim/cockpit/electrical/battery_on", &R.BatteryOn},
    {"sim/cockpit2/controls/parking_brake_ratio", &R.ParkingBrake},
    {"sim/cockpit/switches/pitot_heat_on", &R.PitotHeat},
    {"sim/cockpit/switches/gear_handle_status", &R.GearHandle},
    {"sim/cockpit/switches/canopy_req", &R.Canopy},
    {"sim/cockpit2/switches/avionics_power_on", &R.AvionicsPower},
    {"sim/cockpit/radios/nav1_obs_degm", &R.Nav1Obs},
    {"sim/cockpit/radios/nav2_obs_degm", &R.Nav2Obs},
    {"sim/cockpit/radios/com1_freq_hz", &R.Com1},
    {"sim/cockpit/radios/com2_freq_hz", &R.Com2},
    {"sim/cockpit/radios/nav1_freq_hz", &R.Nav1},
    {"sim/cockpit/radios/nav2_freq_hz", &R.Nav2},
    {"sim/cockpit/radios/adf1_freq_hz", &R.Adf1},
    {"sim/cockpit/radios/adf2_freq_hz", &R.Adf2},
    {"sim/cockpit/radios/com1_stdby_freq_hz", &R.Com1Standby},
    {"sim/cockpit/radios/com2_stdby_freq_hz", &R.Com2Standby},
    {"sim/cockpit/radios/nav1_stdby_freq_hz", &R.Nav1Standby},
    {"sim/cockpit/radios/nav2_stdby_freq_hz", &R.Nav2Standby},
    {"sim/cockpit/autopilot/autopilot_mode", &R.AutopilotMode},
    {"sim/cockpit/autopilot/autopilot_state", &R.AutopilotState},
    {"sim/cockpit/autopilot/heading_mag", &R.AutopilotHeading},
    {"sim/cockpit/autopilot/altitude", &R.AutopilotAltitude},
    {"sim/cockpit/autopilot/vertical_velocity", &R.AutopilotVerticalVelocity},
    {"sim/cockpit/autopilot/airspeed", &R.AutopilotAirspeed},
    {"sim/cockpit/gyros/psi_vac_ind_degm", &R.HeadingIndicator},
    {"sim/cockpit/misc/barometer_setting", &R.Barometer},
    {"sim/cockpit/switches/DME_radio_selector", &R.DmeSelector},
    {"sim/cockpit2/gauges/indicators/radio_altimeter_height_ft_pilot", &R.RadioAltimeter},
    {"sim/flightmodel/weight/m_fuel", &R.FuelMass},
    {"sim/flightmodel/position/indicated_airspeed", &R.IndicatedAirspeed},
    {"sim/flightmodel/misc/h_ind", &R.IndicatedAltitude},
    {"sim/flightmodel/position/vh_ind_fpm", &R.VerticalSpeed},
    {"sim/flightmodel/misc/turnrate_roll", &R.TurnRate},
    {"sim/flightmodel/misc/slip", &R.Slip},
};

// Every named member of the set but ExtraSwitch, plus the nine UserRefs.
constexpr std::size_t NamedHandles = sizeof(UserDataRefSet) / sizeof(XPLMDataRef) - 1;
static_assert(sizeof(Bindings) / sizeof(Bindings[0]) == NamedHandles + 9,
              "every handle of the user aircraft's set is looked up exactly once");

}  // namespace

void BindUserDataRefs() {
    ResetMotion(UserAircraft);
    SharedControl = false;
    SharedControlDeadline = 0.0;
    for (const Binding& binding : Bindings) *binding.Handle = BindDataRef(binding.Name);
}

}  // namespace velmir
