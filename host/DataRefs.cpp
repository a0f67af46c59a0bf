// The typed dataref store and the host's own access to it (the SDK's
// data-access functions: DataRefsSdk.cpp).
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "host/HostState.h"

namespace velmir::host::detail {
namespace {

constexpr int kCapacity = 1024;

struct Def {
    const char* name;
    DataType type;
    int size;
};

constexpr DataType I = DataType::Int, F = DataType::Float, D = DataType::Double,
                   IA = DataType::IntArray, FA = DataType::FloatArray, B = DataType::Bytes;

// Every dataref the plugin looks up, with the type and size it is used with.
const Def kDefs[] = {
    // shared-control overrides
    {"sim/operation/override/override_planepath", IA, 20},
    {"sim/operation/override/override_flightcontrol", I, 1},
    // identity
    {"sim/aircraft/view/acf_tailnum", B, 40},
    {"sim/aircraft/view/acf_livery_index", I, 1},
    // position and motion
    {"sim/flightmodel/position/longitude", D, 1},
    {"sim/flightmodel/position/latitude", D, 1},
    {"sim/flightmodel/position/elevation", D, 1},
    {"sim/flightmodel/position/local_x", D, 1},
    {"sim/flightmodel/position/local_y", D, 1},
    {"sim/flightmodel/position/local_z", D, 1},
    {"sim/flightmodel/position/theta", F, 1},
    {"sim/flightmodel/position/phi", F, 1},
    {"sim/flightmodel/position/psi", F, 1},
    {"sim/flightmodel/position/local_vx", F, 1},
    {"sim/flightmodel/position/local_vy", F, 1},
    {"sim/flightmodel/position/local_vz", F, 1},
    {"sim/flightmodel/position/Q", F, 1},
    {"sim/flightmodel/position/R", F, 1},
    {"sim/flightmodel/position/P", F, 1},
    {"sim/flightmodel/position/local_ax", F, 1},
    {"sim/flightmodel/position/local_ay", F, 1},
    {"sim/flightmodel/position/local_az", F, 1},
    // flight controls
    {"sim/joystick/yoke_heading_ratio", F, 1},
    {"sim/joystick/yoke_pitch_ratio", F, 1},
    {"sim/joystick/yoke_roll_ratio", F, 1},
    {"sim/flightmodel/controls/l_brake_add", F, 1},
    {"sim/flightmodel/controls/r_brake_add", F, 1},
    {"sim/cockpit2/controls/elevator_trim", F, 1},
    {"sim/cockpit2/controls/aileron_trim", F, 1},
    {"sim/cockpit2/controls/rudder_trim", F, 1},
    {"sim/flightmodel/controls/lsplrdef", F, 1},
    {"sim/flightmodel/controls/tailhook_ratio", F, 1},
    // engines
    {"sim/aircraft/engine/acf_num_engines", I, 1},
    {"sim/aircraft/prop/acf_en_type", IA, 4},
    {"sim/aircraft/prop/acf_min_pitch", FA, 4},
    {"sim/aircraft/prop/acf_max_pitch", FA, 4},
    {"sim/cockpit2/engine/indicators/engine_speed_rpm", FA, 4},
    {"sim/cockpit/electrical/generator_on", IA, 4},
    {"sim/cockpit2/engine/actuators/primer_on", IA, 4},
    {"sim/cockpit/engine/fuel_pump_on", IA, 4},
    {"sim/cockpit2/engine/actuators/ignition_on", IA, 4},
    {"sim/cockpit/engine/igniters_on", IA, 4},
    {"sim/flightmodel2/engines/has_fuel_flow_after_mixture", IA, 4},
    {"sim/cockpit/switches/anti_ice_inlet_heat_per_engine", IA, 4},
    {"sim/flightmodel2/engines/has_fuel_flow_before_mixture", IA, 4},
    {"sim/cockpit2/engine/actuators/prop_mode", IA, 4},
    {"sim/cockpit2/engine/actuators/afterburner_enabled", IA, 4},
    {"sim/cockpit2/engine/actuators/throttle_ratio", FA, 4},
    {"sim/cockpit2/engine/actuators/mixture_ratio", FA, 4},
    {"sim/cockpit2/engine/actuators/prop_ratio", FA, 4},
    {"sim/cockpit2/engine/actuators/cowl_flap_ratio", FA, 4},
    {"sim/flightmodel/engine/ENGN_EGT_c", FA, 4},
    {"sim/flightmodel/engine/ENGN_oil_press_psi", FA, 4},
    {"sim/flightmodel/engine/ENGN_oil_temp_c", FA, 4},
    {"sim/cockpit2/engine/indicators/fuel_pressure_psi", FA, 4},
    {"sim/cockpit2/engine/indicators/MPR_in_hg", FA, 4},
    {"sim/flightmodel/engine/ENGN_CHT_c", FA, 4},
    {"sim/flightmodel/engine/ENGN_FF_", FA, 4},
    {"sim/flightmodel/engine/POINT_tacrad", FA, 4},
    {"sim/flightmodel/engine/ENGN_N1_", FA, 4},
    {"sim/flightmodel/engine/ENGN_N2_", FA, 4},
    {"sim/flightmodel/engine/ENGN_EPR", FA, 4},
    {"sim/flightmodel/engine/ENGN_ITT_c", FA, 4},
    // fuel
    {"sim/cockpit2/fuel/fuel_tank_selector", I, 1},
    {"sim/flightmodel/weight/m_fuel", FA, 9},
    // transponder and lights
    {"sim/cockpit/radios/transponder_code", I, 1},
    {"sim/cockpit/electrical/nav_lights_on", I, 1},
    {"sim/cockpit/electrical/beacon_lights_on", I, 1},
    {"sim/cockpit/electrical/landing_lights_on", I, 1},
    {"sim/cockpit/electrical/taxi_light_on", I, 1},
    {"sim/cockpit/electrical/strobe_lights_on", I, 1},
    {"sim/cockpit/electrical/cockpit_lights", I, 1},
    // flaps
    {"sim/flightmodel/controls/flaprat", F, 1},
    {"sim/cockpit2/controls/flap_ratio", F, 1},
    {"sim/flightmodel2/controls/flap_handle_deploy_ratio", F, 1},
    {"sim/aircraft/controls/acf_flap_detents", I, 1},
    // switches
    {"sim/cockpit/electrical/battery_on", I, 1},
    {"sim/cockpit/switches/pitot_heat_on", I, 1},
    {"sim/cockpit/switches/gear_handle_status", I, 1},
    {"sim/cockpit/switches/canopy_req", I, 1},
    {"sim/cockpit2/switches/avionics_power_on", I, 1},
    {"sim/cockpit2/controls/parking_brake_ratio", F, 1},
    {"sim/cockpit2/switches/alternate_static_air_ratio", F, 1},
    // radios
    {"sim/cockpit/radios/com1_freq_hz", I, 1},
    {"sim/cockpit/radios/com2_freq_hz", I, 1},
    {"sim/cockpit/radios/nav1_freq_hz", I, 1},
    {"sim/cockpit/radios/nav2_freq_hz", I, 1},
    {"sim/cockpit/radios/adf1_freq_hz", I, 1},
    {"sim/cockpit/radios/adf2_freq_hz", I, 1},
    {"sim/cockpit/radios/com1_stdby_freq_hz", I, 1},
    {"sim/cockpit/radios/com2_stdby_freq_hz", I, 1},
    {"sim/cockpit/radios/nav1_stdby_freq_hz", I, 1},
    {"sim/cockpit/radios/nav2_stdby_freq_hz", I, 1},
    {"sim/cockpit/switches/DME_radio_selector", I, 1},
    {"sim/cockpit/radios/nav1_obs_degm", F, 1},
    {"sim/cockpit/radios/nav2_obs_degm", F, 1},
    // autopilot
    {"sim/cockpit/autopilot/autopilot_mode", I, 1},
    {"sim/cockpit/autopilot/autopilot_state", I, 1},
    {"sim/cockpit/autopilot/heading_mag", F, 1},
    {"sim/cockpit/autopilot/altitude", F, 1},
    {"sim/cockpit/autopilot/vertical_velocity", F, 1},
    {"sim/cockpit/autopilot/airspeed", F, 1},
    // instruments
    {"sim/cockpit/gyros/psi_vac_ind_degm", F, 1},
    {"sim/cockpit/misc/barometer_setting", F, 1},
    {"sim/cockpit2/gauges/indicators/radio_altimeter_height_ft_pilot", F, 1},
    {"sim/flightmodel/position/indicated_airspeed", F, 1},
    {"sim/flightmodel/misc/h_ind", F, 1},
    {"sim/flightmodel/position/vh_ind_fpm", F, 1},
    {"sim/flightmodel/misc/turnrate_roll", F, 1},
    {"sim/flightmodel/misc/slip", F, 1},
    // traffic targets: 64 targets, index 0 is the user's own aircraft
    {"sim/operation/override/override_TCAS", I, 1},
    {"sim/cockpit2/tcas/targets/modeS_id", IA, 64},
    {"sim/cockpit2/tcas/targets/flight_id", B, 512},
    {"sim/cockpit2/tcas/targets/position/x", FA, 64},
    {"sim/cockpit2/tcas/targets/position/y", FA, 64},
    {"sim/cockpit2/tcas/targets/position/z", FA, 64},
    {"sim/cockpit2/tcas/targets/position/vx", FA, 64},
    {"sim/cockpit2/tcas/targets/position/vy", FA, 64},
    {"sim/cockpit2/tcas/targets/position/vz", FA, 64},
    {"sim/cockpit2/tcas/targets/position/psi", FA, 64},
    {"sim/cockpit2/tcas/targets/position/the", FA, 64},
    {"sim/cockpit2/tcas/targets/position/phi", FA, 64},
    // view
    {"sim/graphics/view/world_matrix", FA, 16},
    {"sim/graphics/view/projection_matrix_3d", FA, 16},
    {"sim/graphics/view/window_width", I, 1},
    {"sim/graphics/view/window_height", I, 1},
};

void Define(DataRef& r, const std::string& name, DataType type, int size) {
    r.name = name;
    r.type = type;
    r.size =
        (type == DataType::Int || type == DataType::Float || type == DataType::Double) ? 1 : size;
    r.vi.assign(type == DataType::IntArray ? size_t(r.size) : 0, 0);
    r.vf.assign(type == DataType::FloatArray ? size_t(r.size) : 0, 0.0f);
    r.vb.assign(type == DataType::Bytes ? size_t(r.size) : 0, 0);
}

void Clear(DataRef& r) {
    r.missing = false;
    r.i = 0;
    r.f = 0;
    r.d = 0;
    std::fill(r.vi.begin(), r.vi.end(), 0);
    std::fill(r.vf.begin(), r.vf.end(), 0.0f);
    std::fill(r.vb.begin(), r.vb.end(), 0);
    r.reads = r.writes = 0;
}

void CheckIndex(const DataRef& r, int index) {
    if (index < 0 || index >= r.size)
        throw std::out_of_range("index " + std::to_string(index) + " outside '" + r.name + "'");
}

[[noreturn]] void WrongType(const DataRef& r, const char* wanted) {
    throw std::logic_error("'" + r.name + "' is " + TypeName(r.type) + ", not " + wanted);
}

}  // namespace

const char* TypeName(DataType t) {
    switch (t) {
    case DataType::Int: return "int";
    case DataType::Float: return "float";
    case DataType::Double: return "double";
    case DataType::IntArray: return "int array";
    case DataType::FloatArray: return "float array";
    case DataType::Bytes: return "bytes";
    }
    return "?";
}

void InitDataRefs() {
    State& s = S();
    s.refs.reset(new DataRef[kCapacity]);
    s.refCount = 0;
    for (const Def& d : kDefs) {
        Define(s.refs[s.refCount], d.name, d.type, d.size);
        s.refIndex[d.name] = s.refCount;
        ++s.refCount;
    }
    s.builtinRefCount = s.refCount;
}

void ResetDataRefs() {
    State& s = S();
    for (int k = s.builtinRefCount; k < s.refCount; ++k) {
        s.refIndex.erase(s.refs[k].name);
        Define(s.refs[k], "", DataType::Int, 1);
    }
    s.refCount = s.builtinRefCount;
    for (int k = 0; k < s.refCount; ++k) Clear(s.refs[k]);
}

DataRef* Ref(const std::string& name) {
    State& s = S();
    auto it = s.refIndex.find(name);
    return it == s.refIndex.end() ? nullptr : &s.refs[it->second];
}

DataRef& RefOrThrow(const std::string& name) {
    DataRef* r = Ref(name);
    if (!r) throw std::out_of_range("unknown dataref '" + name + "'");
    return *r;
}

void HostSetD(DataRef& r, double v) { r.d = v; }
void HostSetF(DataRef& r, float v) { r.f = v; }
void HostSetI(DataRef& r, int v) { r.i = v; }
void HostSetFA(DataRef& r, int index, float v) {
    if (index >= 0 && index < int(r.vf.size())) r.vf[size_t(index)] = v;
}
void HostSetIA(DataRef& r, int index, int v) {
    if (index >= 0 && index < int(r.vi.size())) r.vi[size_t(index)] = v;
}

}  // namespace velmir::host::detail

// ================================================================ test API

namespace velmir::host {
using namespace detail;

bool HasDataRef(const std::string& name) { return Ref(name) != nullptr; }
DataType TypeOf(const std::string& name) { return RefOrThrow(name).type; }
int SizeOf(const std::string& name) { return RefOrThrow(name).size; }

void AddDataRef(const std::string& name, DataType type, int size) {
    State& s = S();
    if (Ref(name)) throw std::logic_error("dataref '" + name + "' exists");
    if (s.refCount >= kCapacity) throw std::length_error("too many datarefs");
    if (size < 1) throw std::invalid_argument("size must be >= 1");
    DataRef& r = s.refs[s.refCount];
    Define(r, name, type, size);
    Clear(r);
    s.refIndex[name] = s.refCount++;
}

void SetMissing(const std::string& name) { RefOrThrow(name).missing = true; }

int GetInt(const std::string& name, int index) {
    DataRef& r = RefOrThrow(name);
    if (r.type == DataType::Int) return r.i;
    if (r.type != DataType::IntArray) WrongType(r, "int");
    CheckIndex(r, index);
    return r.vi[size_t(index)];
}

float GetFloat(const std::string& name, int index) {
    DataRef& r = RefOrThrow(name);
    if (r.type == DataType::Float) return r.f;
    if (r.type != DataType::FloatArray) WrongType(r, "float");
    CheckIndex(r, index);
    return r.vf[size_t(index)];
}

double GetDouble(const std::string& name, int index) {
    DataRef& r = RefOrThrow(name);
    switch (r.type) {
    case DataType::Double: return r.d;
    case DataType::Int: return r.i;
    case DataType::Float: return r.f;
    case DataType::IntArray: CheckIndex(r, index); return r.vi[size_t(index)];
    case DataType::FloatArray: CheckIndex(r, index); return r.vf[size_t(index)];
    case DataType::Bytes: break;
    }
    WrongType(r, "numeric");
}

std::vector<int> GetInts(const std::string& name) {
    DataRef& r = RefOrThrow(name);
    if (r.type != DataType::IntArray) WrongType(r, "int array");
    return r.vi;
}

std::vector<float> GetFloats(const std::string& name) {
    DataRef& r = RefOrThrow(name);
    if (r.type != DataType::FloatArray) WrongType(r, "float array");
    return r.vf;
}

std::vector<uint8_t> GetBytes(const std::string& name) {
    DataRef& r = RefOrThrow(name);
    if (r.type != DataType::Bytes) WrongType(r, "bytes");
    return r.vb;
}

std::string GetString(const std::string& name) {
    std::vector<uint8_t> b = GetBytes(name);
    auto end = std::find(b.begin(), b.end(), uint8_t(0));
    return std::string(b.begin(), end);
}

void SetInt(const std::string& name, int value, int index) {
    DataRef& r = RefOrThrow(name);
    if (r.type == DataType::Int) {
        r.i = value;
        return;
    }
    if (r.type != DataType::IntArray) WrongType(r, "int");
    CheckIndex(r, index);
    r.vi[size_t(index)] = value;
}

void SetFloat(const std::string& name, float value, int index) {
    DataRef& r = RefOrThrow(name);
    if (r.type == DataType::Float) {
        r.f = value;
        return;
    }
    if (r.type != DataType::FloatArray) WrongType(r, "float");
    CheckIndex(r, index);
    r.vf[size_t(index)] = value;
}

void SetDouble(const std::string& name, double value, int index) {
    DataRef& r = RefOrThrow(name);
    switch (r.type) {
    case DataType::Double: r.d = value; return;
    case DataType::Int: r.i = int(value); return;
    case DataType::Float: r.f = float(value); return;
    case DataType::IntArray:
        CheckIndex(r, index);
        r.vi[size_t(index)] = int(value);
        return;
    case DataType::FloatArray:
        CheckIndex(r, index);
        r.vf[size_t(index)] = float(value);
        return;
    case DataType::Bytes: break;
    }
    WrongType(r, "numeric");
}

void SetInts(const std::string& name, const std::vector<int>& values, int offset) {
    DataRef& r = RefOrThrow(name);
    if (r.type != DataType::IntArray) WrongType(r, "int array");
    if (offset < 0 || offset + int(values.size()) > r.size)
        throw std::out_of_range("values outside '" + name + "'");
    std::copy(values.begin(), values.end(), r.vi.begin() + offset);
}

void SetFloats(const std::string& name, const std::vector<float>& values, int offset) {
    DataRef& r = RefOrThrow(name);
    if (r.type != DataType::FloatArray) WrongType(r, "float array");
    if (offset < 0 || offset + int(values.size()) > r.size)
        throw std::out_of_range("values outside '" + name + "'");
    std::copy(values.begin(), values.end(), r.vf.begin() + offset);
}

void SetBytes(const std::string& name, const void* data, int size, int offset) {
    DataRef& r = RefOrThrow(name);
    if (r.type != DataType::Bytes) WrongType(r, "bytes");
    if (offset < 0 || size < 0 || offset + size > r.size)
        throw std::out_of_range("bytes outside '" + name + "'");
    if (size > 0) std::memcpy(r.vb.data() + offset, data, size_t(size));
}

void SetString(const std::string& name, const std::string& text) {
    DataRef& r = RefOrThrow(name);
    if (r.type != DataType::Bytes) WrongType(r, "bytes");
    std::fill(r.vb.begin(), r.vb.end(), 0);
    std::memcpy(r.vb.data(), text.data(), std::min(text.size(), r.vb.size()));
}

int PluginReads(const std::string& name) { return RefOrThrow(name).reads; }
int PluginWrites(const std::string& name) { return RefOrThrow(name).writes; }
std::vector<std::string> FailedLookups() { return S().failedLookups; }

void SetWriteLog(bool on) { S().writeLogOn = on; }
std::vector<DataWrite> WriteLog() { return S().writeLog; }
void ClearWriteLog() { S().writeLog.clear(); }

}  // namespace velmir::host
