// The user aircraft's dataref set and the contents of its reports, built
// without a socket. Offsets and expected values are the wire format's own
// numbers, written out here so that a wrong layout constant fails.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "host/Host.h"
#include "core/Clock.h"
#include "plugin/Schedule.h"
#include "traffic/AircraftTable.h"
#include "user/Reports.h"
#include "user/SharedControl.h"
#include "user/UserDataRefs.h"

namespace velmir {
namespace {

namespace h = host;

template <class T>
T Read(const std::uint8_t* bytes, int offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

template <class T>
void ExpectAt(const std::uint8_t* m, std::initializer_list<std::pair<int, T>> fields) {
    for (const auto& field : fields)
        EXPECT_EQ(Read<T>(m, field.first), field.second) << "byte " << field.first;
}

const char* const Radio = "sim/cockpit2/gauges/indicators/radio_altimeter_height_ft_pilot";

class UserReports : public ::testing::Test {
  protected:
    // One piston engine on the ground, every switch, light and engine flag
    // off: the host's default aircraft has many of them on.
    void SetUp() override {
        BindUserDataRefs();
        h::ClearLog();
        for (const char* name :
             {"sim/aircraft/prop/acf_en_type", "sim/cockpit/electrical/generator_on",
              "sim/cockpit2/engine/actuators/ignition_on",
              "sim/flightmodel2/engines/has_fuel_flow_after_mixture",
              "sim/flightmodel2/engines/has_fuel_flow_before_mixture",
              "sim/cockpit2/engine/actuators/prop_mode"})
            h::SetInts(name, {0, 0, 0, 0});
        for (const char* name :
             {"sim/cockpit/autopilot/autopilot_mode", "sim/cockpit/autopilot/autopilot_state",
              "sim/cockpit/electrical/nav_lights_on", "sim/cockpit/electrical/landing_lights_on",
              "sim/cockpit/electrical/strobe_lights_on"})
            h::SetInt(name, 0);
        h::SetInt("sim/aircraft/engine/acf_num_engines", 1);
        h::SetFloat(Radio, 0.0f);
    }
    h::Session session_;
    std::uint8_t m_[400] = {};
};

TEST_F(UserReports, PositionMessageFieldsAndControlScaling) {
    PluginClock = 12.5;
    h::SetDouble("sim/flightmodel/position/latitude", 47.25);
    h::SetDouble("sim/flightmodel/position/longitude", 8.5);
    h::SetDouble("sim/flightmodel/position/elevation", 1234.5);
    // Pitch, bank, heading, velocity, then the rates in the order Q, R, P.
    const char* floats[] = {"theta", "phi", "psi", "local_vx", "local_vy", "local_vz",
                            "Q",     "R",   "P",   "local_ax", "local_ay", "local_az"};
    for (int i = 0; i < 12; ++i)
        h::SetFloat(std::string("sim/flightmodel/position/") + floats[i], 1.5f + i);
    h::SetFloat("sim/joystick/yoke_heading_ratio", 1.0f);
    h::SetFloat("sim/joystick/yoke_pitch_ratio", -1.0f);
    h::SetFloat("sim/joystick/yoke_roll_ratio", 0.5f);
    h::SetFloat("sim/flightmodel/controls/l_brake_add", 0.0f);
    h::SetFloat("sim/flightmodel/controls/r_brake_add", 1.0f);
    FillPositionMessage(m_);
    EXPECT_EQ(m_[24], 0);
    ExpectAt<double>(m_, {{25, 12.5}, {33, 47.25}, {41, 8.5}, {49, 1234.5}});
    for (int i = 0; i < 12; ++i) EXPECT_EQ(Read<float>(m_, 57 + 4 * i), 1.5f + i) << floats[i];
    ExpectAt<std::int16_t>(m_,
                           {{105, 16384}, {107, -16384}, {109, 8192}, {111, -16384}, {113, 16384}});
    EXPECT_EQ(Read<float>(m_, 115), 0.0f);
    EXPECT_EQ(m_[119], 1);

    // Beyond the field's range only the low 16 bits travel; beyond the
    // 32-bit range the value is pinned first, so nothing is undefined.
    h::SetFloat("sim/flightmodel/controls/l_brake_add", 0.5f);
    h::SetFloat("sim/flightmodel/controls/r_brake_add", -1.0f);
    h::SetFloat("sim/joystick/yoke_heading_ratio", 3.0f);
    h::SetFloat("sim/joystick/yoke_pitch_ratio", 1e20f);
    h::SetFloat("sim/joystick/yoke_roll_ratio", std::numeric_limits<float>::quiet_NaN());
    FillPositionMessage(m_);
    ExpectAt<std::int16_t>(m_, {{105, -16384}, {107, -1}, {109, 0}, {111, 0}, {113, 16384}});
}

TEST_F(UserReports, OnGroundMeansBelowOneMetre) {
    const float oneMetreInFeet = 3.28083992f;
    ASSERT_EQ(oneMetreInFeet * 0.3048f, 1.0f);
    const std::pair<float, int> cases[] = {
        {oneMetreInFeet, 0}, {3.28f, 1}, {std::numeric_limits<float>::quiet_NaN(), 0}};
    for (const auto& c : cases) {
        h::SetFloat(Radio, c.first);
        FillPositionMessage(m_);
        EngineValues engines{};
        FillAircraftStateMessage(m_ + 200, engines);
        EXPECT_EQ(m_[119], c.second) << c.first;
        EXPECT_EQ(m_[200 + 25] & 0x10, c.second * 0x10) << c.first;
    }
}

TEST_F(UserReports, AircraftStateMessageFlagsAndEncodings) {
    h::SetInt("sim/cockpit/electrical/battery_on", 1);
    h::SetInt("sim/cockpit2/switches/avionics_power_on", 1);
    h::SetInt("sim/cockpit/switches/gear_handle_status", 1);
    h::SetFloat("sim/cockpit/misc/barometer_setting", 29.92f);
    h::SetFloat("sim/flightmodel/controls/flaprat", 0.5f);
    h::SetInt("sim/aircraft/controls/acf_flap_detents", 4);
    h::SetInt("sim/cockpit/switches/DME_radio_selector", 1);
    h::SetInt("sim/cockpit/radios/transponder_code", 0x12345);
    h::SetInt("sim/cockpit/electrical/beacon_lights_on", 1);
    h::SetInt("sim/cockpit/electrical/cockpit_lights", 7);
    EngineValues engines{};
    FillAircraftStateMessage(m_, engines);
    ExpectAt<std::uint8_t>(m_, {{25, 0x95}, {26, 0}, {27, 0}, {28, 2}, {33, 1}, {34, 1}, {35, 0}});
    EXPECT_EQ(Read<std::int16_t>(m_, 31), 16211);
    ExpectAt<std::uint16_t>(m_, {{36, 0x2345}, {38, 0x0022}});  // beacon and cockpit lights

    h::SetFloat("sim/flightmodel/controls/flaprat", 0.625f);
    h::SetInt("sim/cockpit/switches/DME_radio_selector", 2);
    h::SetInt("sim/cockpit/autopilot/autopilot_mode", 2);
    h::SetInt("sim/cockpit/autopilot/autopilot_state", 0x02 | 0x20 | 0x08 | 0x01);
    h::SetFloat("sim/cockpit2/controls/parking_brake_ratio", 0.75f);
    h::SetInt("sim/cockpit/switches/canopy_req", 1);
    h::SetInt("sim/cockpit/switches/pitot_heat_on", 1);
    h::SetFloat(Radio, 100.0f);
    h::SetDouble("sim/flightmodel/position/elevation", 400.0);
    FillAircraftStateMessage(m_, engines);
    ExpectAt<std::uint8_t>(m_, {{25, 0xAF}, {26, 0x3C}, {27, 0x0C}, {28, 3}});
    EXPECT_FLOAT_EQ(Read<float>(m_, 84), 30.48f);
    EXPECT_FLOAT_EQ(Read<float>(m_, 102), 400.0f - 30.48f);
}

// Each plain field from a value no other field has, so that a field read
// from the wrong dataref or written to the wrong place shows.
TEST_F(UserReports, EveryPlainStateFieldCarriesItsOwnDataref) {
    const std::pair<const char*, int> frequencies[] = {
        {"com1_freq_hz", 44},       {"com2_freq_hz", 48},       {"nav1_freq_hz", 52},
        {"nav2_freq_hz", 56},       {"adf1_freq_hz", 60},       {"adf2_freq_hz", 64},
        {"com1_stdby_freq_hz", 68}, {"com2_stdby_freq_hz", 72}, {"nav1_stdby_freq_hz", 76},
        {"nav2_stdby_freq_hz", 80}};
    for (int i = 0; i < 10; ++i)
        h::SetInt(std::string("sim/cockpit/radios/") + frequencies[i].first, 11000 + i);
    const struct {
        const char* name;
        int offset;
        float value;
        std::int16_t truncated;
    } shorts[] = {{"sim/cockpit/gyros/psi_vac_ind_degm", 29, 271.9f, 271},
                  {"sim/cockpit/radios/nav1_obs_degm", 40, 12.5f, 12},
                  {"sim/cockpit/radios/nav2_obs_degm", 42, -45.5f, -45},
                  {"sim/cockpit/autopilot/heading_mag", 94, 123.7f, 123},
                  {"sim/cockpit/autopilot/altitude", 96, 4500.2f, 4500},
                  {"sim/cockpit/autopilot/vertical_velocity", 98, -700.9f, -700},
                  {"sim/cockpit/autopilot/airspeed", 100, 95.6f, 95}};
    for (const auto& f : shorts) h::SetFloat(f.name, f.value);
    const std::pair<const char*, int> floats[] = {
        {"sim/flightmodel/position/indicated_airspeed", 106},
        {"sim/flightmodel/misc/h_ind", 110},
        {"sim/flightmodel/position/vh_ind_fpm", 114},
        {"sim/flightmodel/misc/turnrate_roll", 118},
        {"sim/flightmodel/misc/slip", 122}};
    for (int i = 0; i < 5; ++i) h::SetFloat(floats[i].first, 0.25f + i);

    EngineValues engines{};
    std::memset(m_, 0xAB, sizeof m_);
    FillAircraftStateMessage(m_, engines);
    EXPECT_EQ(m_[24], 0) << "the user aircraft's index";
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(Read<std::int32_t>(m_, frequencies[i].second), 11000 + i) << frequencies[i].first;
    for (const auto& f : shorts) EXPECT_EQ(Read<std::int16_t>(m_, f.offset), f.truncated) << f.name;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Read<float>(m_, floats[i].second), 0.25f + i) << floats[i].first;
}

TEST_F(UserReports, EngineMessagesReadTheirOwnElement) {
    h::SetInt("sim/aircraft/engine/acf_num_engines", 6);
    h::SetInts("sim/aircraft/prop/acf_en_type", {0, 0, 2, 0});
    h::SetFloats("sim/flightmodel/engine/ENGN_EGT_c", {0.0f, 700.0f, 0, 0});
    h::SetFloats("sim/flightmodel/engine/ENGN_oil_temp_c", {0.0f, 80.0f, 0, 0});
    h::SetFloats("sim/cockpit2/engine/actuators/throttle_ratio", {0.0f, 0.5f, 0, 0});
    h::SetFloats("sim/flightmodel/engine/ENGN_oil_press_psi", {0.0f, 45.7f, 0, 0});
    h::SetFloats("sim/flightmodel/engine/ENGN_FF_", {0.0f, 0.01f, 0, 0});
    h::SetFloats("sim/flightmodel/engine/POINT_tacrad", {0.0f, 100.0f, 0, 0});
    h::SetInts("sim/cockpit2/engine/actuators/ignition_on", {0, 3, 0, 0});
    h::SetInts("sim/cockpit/electrical/generator_on", {0, 1, 1, 0});
    h::SetInts("sim/cockpit2/engine/actuators/prop_mode", {1, 0, 1, 1});
    h::SetFloats("sim/flightmodel/engine/ENGN_N1_", {0, 0, 0.9f, 0});
    h::SetFloats("sim/flightmodel/engine/ENGN_N2_", {0, 0, 0.5f, 0});
    h::SetFloats("sim/flightmodel/engine/ENGN_ITT_c", {0, 0, 700.0f, 0});
    h::SetFloats("sim/cockpit2/engine/indicators/fuel_pressure_psi", {0, 0, 30.7f, 0});
    h::SetFloat("sim/cockpit2/switches/alternate_static_air_ratio", 1.0f);
    EngineValues engines{};
    FillAircraftStateMessage(m_, engines);
    EXPECT_EQ(m_[33], 6);  // the full count, though only four are reported
    ReadEngineValues(engines);
    EXPECT_EQ(ReportedEngineCount(engines), 4);

    FillPistonEngineMessage(m_, engines, 1);
    ExpectAt<std::uint8_t>(m_, {{25, 2}, {26, 0x2C}, {27, 0x05}, {36, 45}});
    ExpectAt<std::int16_t>(
        m_, {{28, 8192}, {34, 1751}, {37, 635}, {43, 16384}, {49, 79}, {51, 1}, {53, 954}});
    FillPistonEngineMessage(m_, engines, 0);
    ExpectAt<std::uint8_t>(m_, {{25, 1}, {26, 0}, {27, 0}});
    ExpectAt<std::int16_t>(m_, {{34, 491}, {37, 491}});

    FillTurbineEngineMessage(m_, engines, 2);
    ExpectAt<std::uint8_t>(m_, {{25, 3}, {26, 0x12}, {38, 30}});
    ExpectAt<std::int16_t>(m_, {{39, 14745}, {41, 8192}, {43, 14745}, {45, 8192}, {51, 1751}});

    const int selectors[][2] = {{0, 0}, {1, 2}, {2, 0}, {3, 3}, {4, 1}, {5, 0}};
    for (const auto& s : selectors) {
        h::SetInt("sim/cockpit2/fuel/fuel_tank_selector", s[0]);
        FillPistonEngineMessage(m_, engines, 0);
        FillTurbineEngineMessage(m_ + 100, engines, 2);
        EXPECT_EQ(m_[55], s[1]) << "selector " << s[0];
        EXPECT_EQ(m_[100 + 53], s[1]) << "selector " << s[0];
    }

    h::SetInt("sim/aircraft/engine/acf_num_engines", -1);
    FillAircraftStateMessage(m_, engines);
    EXPECT_EQ(ReportedEngineCount(engines), 0);

    // An engine beyond the four read leaves the message alone.
    std::memset(m_, 0xAB, sizeof m_);
    FillPistonEngineMessage(m_, engines, 4);
    FillTurbineEngineMessage(m_, engines, -1);
    EXPECT_EQ(m_[25], 0xAB);
}

TEST_F(UserReports, EngineArraysTheSimulatorDoesNotSupplyReadZero) {
    h::Reset();
    h::SetMissing("sim/flightmodel2/engines/has_fuel_flow_before_mixture");
    h::SetMissing("sim/flightmodel/engine/ENGN_EGT_c");
    BindUserDataRefs();
    EngineValues engines;
    std::memset(&engines, 0x55, sizeof engines);
    ReadEngineValues(engines);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(engines.FlowBeforeMixture[i], 0) << i;
        EXPECT_EQ(engines.Egt[i], 0.0f) << i;
    }
}

TEST_F(UserReports, SecondaryControlsAndFuelMessages) {
    h::SetFloat("sim/cockpit2/controls/elevator_trim", 0.25f);
    h::SetFloat("sim/cockpit2/controls/aileron_trim", -0.5f);
    h::SetFloat("sim/flightmodel/controls/tailhook_ratio", 1.0f);
    std::memset(m_, 0xAB, sizeof m_);
    FillSecondaryControlsMessage(m_);
    EXPECT_EQ(m_[25], 0xAB);  // never written
    ExpectAt<std::int16_t>(m_, {{26, 0}, {28, 4096}, {30, -8192}, {36, 16384}, {38, 0}, {40, 0}});

    // Bytes 25..33 carry tanks 2, 5, 8, 0, 6, 3, 1, 7, 4.
    h::SetFloats("sim/flightmodel/weight/m_fuel",
                 {300.0f, 7.0f, 100.0f, 6.0f, 9.0f, 100.2f, 5.0f, 8.0f, -1.0f});
    std::memset(m_, 0xAB, sizeof m_);
    FillFuelMessage(m_);
    const std::uint8_t expected[] = {100, 101, 0, 44, 5, 6, 7, 8, 9};
    for (int k = 0; k < 9; ++k) EXPECT_EQ(m_[25 + k], expected[k]) << "byte " << 25 + k;
    EXPECT_EQ(m_[34], 0) << "reserved";
}

TEST_F(UserReports, ModelMessageTailNumberLiveryAndPath) {
    LiveryIndexRef = XPLMFindDataRef("sim/aircraft/view/acf_livery_index");
    h::SetInt("sim/aircraft/view/acf_livery_index", 258);
    h::SetString("sim/aircraft/view/acf_tailnum", "N172VM");
    // 256 characters: one more than the field holds with its terminator.
    const std::string longPath = "/x-plane/" + std::string(243, 'p') + ".acf";
    ASSERT_EQ(longPath.size(), 256u);
    h::SetAircraftModel("Cessna.acf", longPath);
    std::memset(m_, 0xAB, sizeof m_);
    FillModelMessage(m_);
    ExpectAt<std::uint8_t>(m_, {{24, 0xAB}, {26, 1}, {27, 1}, {28, 2}, {29, 0}});
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m_ + 49), 7), std::string("N172VM\0", 7));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m_ + 89), 255), longPath.substr(0, 255));
    EXPECT_EQ(m_[344], 0);

    h::SetAircraftModel("Short.acf", "/a/b.acf");
    LiveryIndexRef = nullptr;
    FillModelMessage(m_);
    EXPECT_EQ(m_[28], 0);
    EXPECT_STREQ(reinterpret_cast<char*>(m_ + 89), "/a/b.acf");
    EXPECT_EQ(m_[89 + 9], 'p');  // left over from the longer path
}

}  // namespace
}  // namespace velmir
