// The simulated user aircraft: a flown track, engines and systems (the
// camera that follows it: Camera.cpp).
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "host/HostState.h"

namespace velmir::host::detail {

DataRef& R(const char* name) {
    static std::unordered_map<const char*, DataRef*> cache;
    DataRef*& ref = cache[name];
    if (!ref) ref = &RefOrThrow(name);
    return *ref;
}

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = 180.0 / kPi;
constexpr double kG = 9.80665;
constexpr double kFeet = 0.3048;
constexpr double kMagVar = 3.0;  // degrees east near the reference point

struct Vec {
    double x = 0, y = 0, z = 0;
};
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator*(Vec a, double k) { return {a.x * k, a.y * k, a.z * k}; }

double Wrap360(double deg) {
    deg = std::fmod(deg, 360.0);
    return deg < 0 ? deg + 360.0 : deg;
}

double WrapPm180(double deg) {
    deg = Wrap360(deg);
    return deg > 180.0 ? deg - 360.0 : deg;
}

// Built-in slots never move, so lookups are cached by the literal's address.

bool Parked() { return S().aircraft.parked && !S().track; }

// Position on the track in local coordinates.
Vec TrackPoint(double t) {
    State& s = S();
    const AircraftConfig& a = s.aircraft;
    if (s.track) {
        GeoPoint g = s.track(t);
        LocalPoint l = WorldToLocal(g.lat, g.lon, g.alt);
        return {l.x, l.y, l.z};
    }
    LocalPoint c = WorldToLocal(a.lat, a.lon, a.elevation);
    if (a.parked) return {c.x, TerrainHeight(c.x, c.z), c.z};
    // Clockwise circle starting north of the centre: bearing from the centre
    // grows with time, so the aircraft flies right turns.
    const double bearing = a.radius > 0 ? a.speed / a.radius * t : 0.0;
    return {c.x + a.radius * std::sin(bearing), a.elevation, c.z - a.radius * std::cos(bearing)};
}

struct Attitude {
    double psi, theta, phi;
};

struct Pose {
    Vec p, v, a;
    Attitude att;
};

// Attitude of a coordinated flight along the track at t (central differences).
Pose PoseAt(double t, double lastPsi) {
    const double h = 0.05;
    Vec pm = TrackPoint(t - h), p0 = TrackPoint(t), pp = TrackPoint(t + h);
    Pose pose;
    pose.p = p0;
    pose.v = (pp - pm) * (1.0 / (2 * h));
    pose.a = (pp - p0 * 2.0 + pm) * (1.0 / (h * h));
    const double vh2 = pose.v.x * pose.v.x + pose.v.z * pose.v.z;
    const double vh = std::sqrt(vh2);
    if (vh < 0.1) {
        pose.att = {lastPsi, 0, 0};
        return pose;
    }
    // Heading grows clockwise from north (-z) towards east (+x).
    const double psi = Wrap360(std::atan2(pose.v.x, -pose.v.z) * kDeg);
    const double turnRate = (pose.v.x * pose.a.z - pose.v.z * pose.a.x) / vh2;  // rad/s
    pose.att = {psi, std::atan2(pose.v.y, vh) * kDeg, std::atan(vh * turnRate / kG) * kDeg};
    return pose;
}

void WriteFlight(const Pose& pose, const Attitude& rates, double lat, double lon, double elev) {
    HostSetD(R("sim/flightmodel/position/latitude"), lat);
    HostSetD(R("sim/flightmodel/position/longitude"), lon);
    HostSetD(R("sim/flightmodel/position/elevation"), elev);
    HostSetD(R("sim/flightmodel/position/local_x"), pose.p.x);
    HostSetD(R("sim/flightmodel/position/local_y"), pose.p.y);
    HostSetD(R("sim/flightmodel/position/local_z"), pose.p.z);
    HostSetF(R("sim/flightmodel/position/psi"), float(pose.att.psi));
    HostSetF(R("sim/flightmodel/position/theta"), float(pose.att.theta));
    HostSetF(R("sim/flightmodel/position/phi"), float(pose.att.phi));
    HostSetF(R("sim/flightmodel/position/local_vx"), float(pose.v.x));
    HostSetF(R("sim/flightmodel/position/local_vy"), float(pose.v.y));
    HostSetF(R("sim/flightmodel/position/local_vz"), float(pose.v.z));
    HostSetF(R("sim/flightmodel/position/local_ax"), float(pose.a.x));
    HostSetF(R("sim/flightmodel/position/local_ay"), float(pose.a.y));
    HostSetF(R("sim/flightmodel/position/local_az"), float(pose.a.z));
    HostSetF(R("sim/flightmodel/position/Q"), float(rates.theta));
    HostSetF(R("sim/flightmodel/position/R"), float(rates.psi));
    HostSetF(R("sim/flightmodel/position/P"), float(rates.phi));
    const double speed = std::sqrt(pose.v.x * pose.v.x + pose.v.y * pose.v.y + pose.v.z * pose.v.z);
    HostSetF(R("sim/flightmodel/position/indicated_airspeed"), float(speed * 1.943844));
    HostSetF(R("sim/flightmodel/misc/h_ind"), float(elev / kFeet));
    HostSetF(R("sim/flightmodel/position/vh_ind_fpm"), float(pose.v.y / kFeet * 60.0));
    HostSetF(R("sim/flightmodel/misc/turnrate_roll"), float(rates.psi));
    HostSetF(R("sim/flightmodel/misc/slip"), 0.0f);
    HostSetF(R("sim/cockpit/gyros/psi_vac_ind_degm"), float(Wrap360(pose.att.psi - kMagVar)));
}

void WriteRadioAltitude(double x, double z, double elev) {
    double ground = TerrainHeight(x, z);
    double agl = std::isnan(ground) ? elev : elev - ground;
    HostSetF(R("sim/cockpit2/gauges/indicators/radio_altimeter_height_ft_pilot"),
             float(agl / kFeet));
}

void FlyTo(double t) {
    State& s = S();
    const double h = 0.05;
    const double lastPsi = R("sim/flightmodel/position/psi").f;
    Pose pose = PoseAt(t, lastPsi);
    Attitude rates{0, 0, 0};
    if (Parked()) {
        pose.v = pose.a = Vec{};
        pose.att = {s.aircraft.parkedHeading, 0, 0};
    } else {
        Pose before = PoseAt(t - h, pose.att.psi), after = PoseAt(t + h, pose.att.psi);
        rates = {WrapPm180(after.att.psi - before.att.psi) / (2 * h),
                 (after.att.theta - before.att.theta) / (2 * h),
                 (after.att.phi - before.att.phi) / (2 * h)};
    }
    GeoPoint g = LocalToWorld(pose.p.x, pose.p.y, pose.p.z);
    if (s.track) g = s.track(t);  // keep the caller's exact geographic values
    WriteFlight(pose, rates, g.lat, g.lon, g.alt);
    WriteRadioAltitude(pose.p.x, pose.p.z, g.alt);
}

// The plugin holds the plane: the simulator still derives the geographic
// position and the radio altitude from the local position it was given.
void FollowPlugin() {
    const double x = R("sim/flightmodel/position/local_x").d;
    const double y = R("sim/flightmodel/position/local_y").d;
    const double z = R("sim/flightmodel/position/local_z").d;
    GeoPoint g = LocalToWorld(x, y, z);
    HostSetD(R("sim/flightmodel/position/latitude"), g.lat);
    HostSetD(R("sim/flightmodel/position/longitude"), g.lon);
    HostSetD(R("sim/flightmodel/position/elevation"), g.alt);
    WriteRadioAltitude(x, z, g.alt);
}

struct EngineValues {
    float egt, oilPress, oilTemp, fuelPress, mpr, cht, ff, tacrad, n1, n2, epr, itt;
};

EngineValues EngineState(bool turbine, bool idle) {
    if (turbine)
        return idle ? EngineValues{480, 85, 60, 28, 0, 0, 0.012f, 110, 62, 55, 1.01f, 520}
                    : EngineValues{600, 100, 75, 30, 0, 0, 0.045f, 178, 92, 97, 1.05f, 680};
    return idle ? EngineValues{400, 50, 60, 24, 12, 120, 0.0015f, 83.8f, 0, 0, 0, 0}
                : EngineValues{700, 60, 82, 26, 24, 190, 0.0095f, 251.3f, 0, 0, 0, 0};
}

// Engine indications move a little, and the engines burn fuel.
void StepEngines(double dt) {
    State& s = S();
    const bool turbine = s.aircraft.engines == Engines::TwinTurboprop;
    const int count = turbine ? 2 : 1;
    const EngineValues e = EngineState(turbine, s.aircraft.parked);
    const double t = s.simTime;
    const float wiggle = float(std::sin(2 * kPi * t / 20.0));
    const float wiggle2 = float(std::sin(2 * kPi * t / 33.0 + 1.0));
    float burn = 0;
    for (int k = 0; k < count; ++k) {
        HostSetFA(R("sim/flightmodel/engine/ENGN_EGT_c"), k, e.egt + 5 * wiggle);
        HostSetFA(R("sim/flightmodel/engine/ENGN_oil_press_psi"), k, e.oilPress + wiggle2);
        HostSetFA(R("sim/flightmodel/engine/ENGN_oil_temp_c"), k, e.oilTemp + 0.5f * wiggle2);
        HostSetFA(R("sim/cockpit2/engine/indicators/fuel_pressure_psi"), k, e.fuelPress);
        HostSetFA(R("sim/cockpit2/engine/indicators/MPR_in_hg"), k,
                  e.mpr + (e.mpr > 0 ? 0.1f * wiggle : 0));
        HostSetFA(R("sim/flightmodel/engine/ENGN_CHT_c"), k, e.cht + (e.cht > 0 ? 2 * wiggle2 : 0));
        HostSetFA(R("sim/flightmodel/engine/ENGN_FF_"), k, e.ff * (1 + 0.02f * wiggle));
        HostSetFA(R("sim/flightmodel/engine/POINT_tacrad"), k, e.tacrad + wiggle);
        HostSetFA(R("sim/cockpit2/engine/indicators/engine_speed_rpm"), k,
                  float((e.tacrad + wiggle) * 60.0 / (2 * kPi)));
        HostSetFA(R("sim/flightmodel/engine/ENGN_N1_"), k, e.n1 > 0 ? e.n1 + 0.3f * wiggle : 0);
        HostSetFA(R("sim/flightmodel/engine/ENGN_N2_"), k, e.n2);
        HostSetFA(R("sim/flightmodel/engine/ENGN_EPR"), k, e.epr);
        HostSetFA(R("sim/flightmodel/engine/ENGN_ITT_c"), k, e.itt > 0 ? e.itt + 4 * wiggle : 0);
        burn += e.ff * float(dt);
    }
    DataRef& fuel = R("sim/flightmodel/weight/m_fuel");
    for (int k = 0; k < 2; ++k) fuel.vf[size_t(k)] = std::max(0.0f, fuel.vf[size_t(k)] - burn / 2);
}

void ApplyConfig() {
    State& s = S();
    const AircraftConfig& a = s.aircraft;
    const bool turbine = a.engines == Engines::TwinTurboprop;
    const int count = turbine ? 2 : 1;
    const bool idle = a.parked;

    if (!a.modelFile.empty() || !a.modelPath.empty()) {
        s.modelFile = a.modelFile;
        s.modelPath = a.modelPath;
    } else if (turbine) {
        s.modelFile = "King_Air_C90B.acf";
        s.modelPath = "Aircraft/Laminar Research/Beechcraft King Air C90B/King_Air_C90B.acf";
    } else {
        s.modelFile = "Cessna_172.acf";
        s.modelPath = "Aircraft/Laminar Research/Cessna 172/Cessna_172.acf";
    }
    DataRef& tail = R("sim/aircraft/view/acf_tailnum");
    std::fill(tail.vb.begin(), tail.vb.end(), 0);
    std::memcpy(tail.vb.data(), a.tailNumber.data(), std::min(a.tailNumber.size(), tail.vb.size()));
    HostSetI(R("sim/aircraft/view/acf_livery_index"), a.livery);

    HostSetI(R("sim/aircraft/engine/acf_num_engines"), count);
    const char* intArrays[] = {"sim/aircraft/prop/acf_en_type",
                               "sim/cockpit/electrical/generator_on",
                               "sim/cockpit2/engine/actuators/primer_on",
                               "sim/cockpit/engine/fuel_pump_on",
                               "sim/cockpit2/engine/actuators/ignition_on",
                               "sim/cockpit/engine/igniters_on",
                               "sim/flightmodel2/engines/has_fuel_flow_after_mixture",
                               "sim/cockpit/switches/anti_ice_inlet_heat_per_engine",
                               "sim/flightmodel2/engines/has_fuel_flow_before_mixture",
                               "sim/cockpit2/engine/actuators/prop_mode",
                               "sim/cockpit2/engine/actuators/afterburner_enabled"};
    for (const char* name : intArrays) std::fill(R(name).vi.begin(), R(name).vi.end(), 0);
    for (int k = 0; k < count; ++k) {
        HostSetIA(R("sim/aircraft/prop/acf_en_type"), k, turbine ? 2 : 0);
        HostSetIA(R("sim/cockpit/electrical/generator_on"), k, 1);
        HostSetIA(R("sim/cockpit/engine/fuel_pump_on"), k, turbine ? 1 : 0);
        HostSetIA(R("sim/cockpit2/engine/actuators/ignition_on"), k,
                  turbine ? 0 : 3);  // both magnetos
        HostSetIA(R("sim/flightmodel2/engines/has_fuel_flow_after_mixture"), k, 1);
        HostSetIA(R("sim/flightmodel2/engines/has_fuel_flow_before_mixture"), k, 1);
        HostSetIA(R("sim/cockpit2/engine/actuators/prop_mode"), k, 1);  // governor
        HostSetFA(R("sim/cockpit2/engine/actuators/throttle_ratio"), k, idle ? 0.05f : 0.75f);
        HostSetFA(R("sim/cockpit2/engine/actuators/mixture_ratio"), k, turbine ? 1.0f : 0.9f);
        HostSetFA(R("sim/cockpit2/engine/actuators/prop_ratio"), k, idle ? 1.0f : 0.85f);
        HostSetFA(R("sim/cockpit2/engine/actuators/cowl_flap_ratio"), k, idle ? 1.0f : 0.0f);
        HostSetFA(R("sim/aircraft/prop/acf_min_pitch"), k, 11.0f);
        HostSetFA(R("sim/aircraft/prop/acf_max_pitch"), k, turbine ? 85.0f : 28.0f);
    }
    for (int k = count; k < 4; ++k) {
        const char* floatArrays[] = {"sim/cockpit2/engine/actuators/throttle_ratio",
                                     "sim/cockpit2/engine/actuators/mixture_ratio",
                                     "sim/cockpit2/engine/actuators/prop_ratio",
                                     "sim/cockpit2/engine/actuators/cowl_flap_ratio",
                                     "sim/flightmodel/engine/ENGN_EGT_c",
                                     "sim/flightmodel/engine/ENGN_oil_press_psi",
                                     "sim/flightmodel/engine/ENGN_oil_temp_c",
                                     "sim/cockpit2/engine/indicators/fuel_pressure_psi",
                                     "sim/cockpit2/engine/indicators/MPR_in_hg",
                                     "sim/flightmodel/engine/ENGN_CHT_c",
                                     "sim/flightmodel/engine/ENGN_FF_",
                                     "sim/flightmodel/engine/POINT_tacrad",
                                     "sim/flightmodel/engine/ENGN_N1_",
                                     "sim/flightmodel/engine/ENGN_N2_",
                                     "sim/flightmodel/engine/ENGN_EPR",
                                     "sim/flightmodel/engine/ENGN_ITT_c"};
        for (const char* name : floatArrays) HostSetFA(R(name), k, 0.0f);
    }

    DataRef& fuel = R("sim/flightmodel/weight/m_fuel");
    std::fill(fuel.vf.begin(), fuel.vf.end(), 0.0f);
    fuel.vf[0] = fuel.vf[1] = turbine ? 400.0f : 80.0f;
    HostSetI(R("sim/cockpit2/fuel/fuel_tank_selector"), 4);  // both

    HostSetI(R("sim/cockpit/radios/transponder_code"), 7000);
    HostSetI(R("sim/cockpit/electrical/nav_lights_on"), 1);
    HostSetI(R("sim/cockpit/electrical/beacon_lights_on"), 1);
    HostSetI(R("sim/cockpit/electrical/landing_lights_on"), idle ? 0 : 1);
    HostSetI(R("sim/cockpit/electrical/taxi_light_on"), idle ? 1 : 0);
    HostSetI(R("sim/cockpit/electrical/strobe_lights_on"), idle ? 0 : 1);
    HostSetI(R("sim/cockpit/electrical/cockpit_lights"), 0);
    HostSetF(R("sim/flightmodel/controls/flaprat"), 0.0f);
    HostSetF(R("sim/cockpit2/controls/flap_ratio"), 0.0f);
    HostSetF(R("sim/flightmodel2/controls/flap_handle_deploy_ratio"), 0.0f);
    HostSetI(R("sim/aircraft/controls/acf_flap_detents"), 3);
    HostSetI(R("sim/cockpit/electrical/battery_on"), 1);
    HostSetI(R("sim/cockpit/switches/pitot_heat_on"), 0);
    HostSetI(R("sim/cockpit/switches/gear_handle_status"), 1);
    HostSetI(R("sim/cockpit/switches/canopy_req"), 0);
    HostSetI(R("sim/cockpit2/switches/avionics_power_on"), 1);
    HostSetF(R("sim/cockpit2/controls/parking_brake_ratio"), idle ? 1.0f : 0.0f);
    HostSetF(R("sim/cockpit2/switches/alternate_static_air_ratio"), 0.0f);

    HostSetI(R("sim/cockpit/radios/com1_freq_hz"), 12345);
    HostSetI(R("sim/cockpit/radios/com2_freq_hz"), 12190);
    HostSetI(R("sim/cockpit/radios/nav1_freq_hz"), 11030);
    HostSetI(R("sim/cockpit/radios/nav2_freq_hz"), 11410);
    HostSetI(R("sim/cockpit/radios/adf1_freq_hz"), 362);
    HostSetI(R("sim/cockpit/radios/adf2_freq_hz"), 415);
    HostSetI(R("sim/cockpit/radios/com1_stdby_freq_hz"), 12150);
    HostSetI(R("sim/cockpit/radios/com2_stdby_freq_hz"), 12800);
    HostSetI(R("sim/cockpit/radios/nav1_stdby_freq_hz"), 10850);
    HostSetI(R("sim/cockpit/radios/nav2_stdby_freq_hz"), 11370);
    HostSetI(R("sim/cockpit/switches/DME_radio_selector"), 1);
    HostSetF(R("sim/cockpit/radios/nav1_obs_degm"), 90.0f);
    HostSetF(R("sim/cockpit/radios/nav2_obs_degm"), 270.0f);

    HostSetI(R("sim/cockpit/autopilot/autopilot_mode"), idle ? 0 : 1);
    HostSetI(R("sim/cockpit/autopilot/autopilot_state"), idle ? 0 : 0x02);  // heading hold
    HostSetF(R("sim/cockpit/autopilot/heading_mag"),
             idle ? float(Wrap360(a.parkedHeading - kMagVar)) : 90.0f);
    HostSetF(R("sim/cockpit/autopilot/altitude"),
             float(std::round(a.elevation / kFeet / 100.0) * 100.0));
    HostSetF(R("sim/cockpit/autopilot/vertical_velocity"), 0.0f);
    HostSetF(R("sim/cockpit/autopilot/airspeed"), float(std::round(a.speed * 1.943844)));
    HostSetF(R("sim/cockpit/misc/barometer_setting"), 29.92f);

    HostSetF(R("sim/joystick/yoke_heading_ratio"), 0.0f);
    HostSetF(R("sim/joystick/yoke_pitch_ratio"), idle ? 0.0f : 0.02f);
    HostSetF(R("sim/joystick/yoke_roll_ratio"), idle ? 0.0f : 0.05f);
    HostSetF(R("sim/flightmodel/controls/l_brake_add"), 0.0f);
    HostSetF(R("sim/flightmodel/controls/r_brake_add"), 0.0f);
    HostSetF(R("sim/cockpit2/controls/elevator_trim"), idle ? 0.0f : 0.1f);
    HostSetF(R("sim/cockpit2/controls/aileron_trim"), 0.0f);
    HostSetF(R("sim/cockpit2/controls/rudder_trim"), 0.0f);
    HostSetF(R("sim/flightmodel/controls/lsplrdef"), 0.0f);
    HostSetF(R("sim/flightmodel/controls/tailhook_ratio"), 0.0f);

    HostSetF(R("sim/flightmodel/position/psi"), float(a.parkedHeading));
    s.trackTime = 0;
    FlyTo(0);
    StepEngines(0);
}

}  // namespace

void ResetAircraft() {
    State& s = S();
    s.aircraft = AircraftConfig{};
    s.track = nullptr;
    s.hostFlies = true;
    HostSetI(R("sim/graphics/view/window_width"), 1920);
    HostSetI(R("sim/graphics/view/window_height"), 1080);
    ApplyConfig();
    UpdateCamera();
}

void StepAircraft(double dt) {
    State& s = S();
    s.hostFlies = R("sim/operation/override/override_planepath").vi[0] != 1;
    if (s.hostFlies) {
        s.trackTime += dt;
        FlyTo(s.trackTime);
    } else {
        FollowPlugin();
    }
    StepEngines(dt);
}

}  // namespace velmir::host::detail

namespace velmir::host {
using namespace detail;

void ConfigureAircraft(const AircraftConfig& config) {
    State& s = S();
    s.aircraft = config;
    s.track = nullptr;
    ApplyConfig();
}

AircraftConfig CurrentAircraft() { return S().aircraft; }

void SetTrack(Track track) {
    State& s = S();
    s.track = std::move(track);
    s.trackTime = 0;
    FlyTo(0);
}

double TrackTime() { return S().trackTime; }
bool AircraftFlownByHost() { return S().hostFlies; }
void SetCameraAutoUpdate(bool on) { S().cameraAuto = on; }

}  // namespace velmir::host
