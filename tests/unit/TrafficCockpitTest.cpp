// What the client sets and sees beside the aircraft: single cockpit
// variables, and the label overlay with its number formats. Message bytes
// are written at literal offsets.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "host/Host.h"
#include "core/Clock.h"
#include "traffic/AircraftTable.h"
#include "traffic/Labels.h"
#include "traffic/NumberFormat.h"
#include "traffic/Variable.h"
#include "unit/PluginHarness.h"

namespace velmir {
namespace {

using test::Wire;

void SendVariable(int index, int id, int value) {
    HandleVariable(Wire(12, 31, static_cast<std::uint8_t>(index))
                       .At(25, static_cast<std::int16_t>(id))
                       .At(27, std::int32_t{value})
                       .data());
}

// InfoMessage from the client: flags at byte 26, then blue, green, red, alpha.
void LabelSettings(std::uint8_t flags, std::uint8_t blue = 0, std::uint8_t green = 0,
                   std::uint8_t red = 0) {
    ApplyLabelSettings(Wire(2, 31)
                           .At(26, flags)
                           .At(27, blue)
                           .At(28, green)
                           .At(29, red)
                           .At(30, std::uint8_t{0xEE})
                           .data());
}

const std::vector<float> Identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

class TrafficCockpit : public test::InProcessTest {
  protected:
    void SetUp() override {
        test::InProcessTest::SetUp();
        LabelFlags = 0;  // as at load: a restart in this process keeps the last settings
        StartPlugin();
        host::RunFrame();
        // Both matrices the identity: (x, y + 3, z) lands at
        // ((x + 1) * 960, (y + 3 + 1) * 540), in front when z > 0.
        host::SetCameraAutoUpdate(false);
        host::SetFloats("sim/graphics/view/world_matrix", Identity);
        host::SetFloats("sim/graphics/view/projection_matrix_3d", Identity);
        host::SetInt("sim/graphics/view/window_width", 1920);
        host::SetInt("sim/graphics/view/window_height", 1080);
    }
    // An active slot resting at (x, y, z): the motion step leaves it there.
    static AircraftRecord& Resting(int slot, double x, double y, double z) {
        AircraftRecord& r = AircraftTable[slot - 1];
        r.Time = r.FilteredTime = 1.0;
        r.ReceivedAt = r.UpdatedAt = PluginClock;
        const double at[3] = {x, y, z};
        for (int i = 0; i < 3; ++i) {
            r.Position[i] = r.ShownPosition[i] = at[i];
            r.Velocity[i] = r.ShownVelocity[i] = r.Accel[i] = 0.0f;
        }
        std::strcpy(r.DisplayName, "ABC");
        std::strcpy(r.TailNumber, "N123");
        return r;
    }
    // What one DrawLabels call draws, and the label texts alone.
    static std::vector<host::TextDraw> Draw() {
        const std::uint8_t flags = LabelFlags;
        LabelFlags = 0;
        host::RunFrame();  // a fresh list of drawn texts
        LabelFlags = flags;
        EXPECT_EQ(DrawLabels(xplm_Phase_Window, 0, nullptr), 1);
        return host::TextDraws();
    }
    static std::vector<std::string> Labels() {
        std::vector<std::string> texts;
        const std::vector<host::TextDraw> draws = Draw();
        for (std::size_t i = 1; i < draws.size(); i += 2) texts.push_back(draws[i].text);
        return texts;
    }
};

TEST_F(TrafficCockpit, EachVariableWritesItsDatarefInItsForm) {
    const struct {
        int id, value;
        const char* dataref;
        int element;
        double expected;
    } cases[] = {
        {4, 8192, "sim/joystick/yoke_heading_ratio", 0, -0.5},
        {5, 8192, "sim/joystick/yoke_pitch_ratio", 0, -0.5},
        {8, 8192, "sim/cockpit2/controls/elevator_trim", 0, 0.5},
        {15, 1, "sim/cockpit/electrical/generator_on", 2, 1},
        {22, 7, "sim/cockpit2/controls/parking_brake_ratio", 0, 1.0},
        {25, 4321, "sim/cockpit/radios/transponder_code", 0, 4321},
        {47, 1, "sim/cockpit/engine/fuel_pump_on", 0, 1},
        {53, 8192, "sim/cockpit2/engine/actuators/throttle_ratio", 2, 0.5},
        {62, 16384, "sim/cockpit2/engine/actuators/prop_ratio", 3, 1.0},
        {81, 11030, "sim/cockpit/radios/nav2_stdby_freq_hz", 0, 11030},
        {101, 16211, "sim/cockpit/misc/barometer_setting", 0, 29.92},
    };
    host::SetInts("sim/cockpit/electrical/generator_on", {7, 7, 7, 7});
    host::SetInts("sim/cockpit/engine/fuel_pump_on", {0, 0, 0, 0});
    for (const auto& c : cases) {
        SendVariable(0, c.id, c.value);
        EXPECT_NEAR(host::GetDouble(c.dataref, c.element), c.expected, 0.005) << "id " << c.id;
    }
    EXPECT_EQ(host::GetInts("sim/cockpit/electrical/generator_on"), (std::vector<int>{7, 7, 1, 7}));

    const int tanks[] = {0, 4, 1, 3, 0};
    for (int value = 0; value <= 4; ++value) {
        SendVariable(0, 39, value);
        EXPECT_EQ(host::GetInt("sim/cockpit2/fuel/fuel_tank_selector"), tanks[value]) << value;
    }
    const char* flaps[] = {"sim/flightmodel/controls/flaprat", "sim/cockpit2/controls/flap_ratio",
                           "sim/flightmodel2/controls/flap_handle_deploy_ratio"};
    for (int detents : {4, 0}) {
        host::SetInt("sim/aircraft/controls/acf_flap_detents", detents);
        SendVariable(0, 36, 2);
        for (const char* flap : flaps)
            EXPECT_FLOAT_EQ(host::GetFloat(flap), detents ? 0.5f : 0.0f) << flap;
    }
    for (const auto& button :
         {std::pair{88, 2}, {90, 32}, {93, 8}, {95, 128}, {96, 1024}, {98, 256}}) {
        host::SetInt("sim/cockpit/autopilot/autopilot_state", 0x0F0F);
        SendVariable(0, button.first, 0);
        EXPECT_EQ(host::GetInt("sim/cockpit/autopilot/autopilot_state"), 0x0F0F ^ button.second)
            << button.first;
        SendVariable(0, button.first, 1);  // a second press undoes the first
        EXPECT_EQ(host::GetInt("sim/cockpit/autopilot/autopilot_state"), 0x0F0F) << button.first;
    }
}

TEST_F(TrafficCockpit, UnknownVariablesAndRemoteSlotsLeaveTheUserAircraftAlone) {
    auto sets = [] {
        int count = 0;
        for (const host::Call& call : host::Journal())
            count += call.function.rfind("XPLMSet", 0) == 0;
        return count;
    };
    const int before = sets();
    for (int id : {-5, 3, 12, 38, 85, 92, 102, 32767}) SendVariable(0, id, 1);
    SendVariable(41, 26, 1);
    SendVariable(5, 8, 16384);
    EXPECT_EQ(sets(), before);
    host::SetInt("sim/cockpit/electrical/nav_lights_on", 0);
    SendVariable(5, 26, 1);  // the slot's own, unbound, light handle
    EXPECT_EQ(host::GetInt("sim/cockpit/electrical/nav_lights_on"), 0);
    SendVariable(0, 26, 1);
    EXPECT_EQ(host::GetInt("sim/cockpit/electrical/nav_lights_on"), 1);
}

TEST_F(TrafficCockpit, LabelsAreCentredAboveTheAircraftInTheirFormats) {
    LabelSettings(3, 0, 128, 255);
    EXPECT_FLOAT_EQ(LabelColour[0], 1.0f);
    EXPECT_NEAR(LabelColour[1], 0.502f, 0.001f);
    EXPECT_FLOAT_EQ(LabelColour[2], 0.0f);
    Resting(4, 0.0, -3.0, 0.5);
    const std::vector<host::TextDraw> draws = Draw();
    ASSERT_EQ(draws.size(), 2u);
    // "ABC N123 " is 54 pixels wide, centred on (960, 540); the shadow first.
    EXPECT_EQ(draws[0].text, "ABC N123 ");
    EXPECT_EQ(std::vector<float>({draws[0].r, draws[0].g, draws[0].b}),
              std::vector<float>(3, 0.2f));
    EXPECT_EQ(std::pair(draws[0].x, draws[0].y), std::pair(934, 539));
    EXPECT_EQ(std::pair(draws[1].x, draws[1].y), std::pair(933, 540));
    EXPECT_EQ(draws[1].r, LabelColour[0]);
    EXPECT_FALSE(draws[1].wordWrap);

    const float distances[] = {0.5f, 12.34f, 345.6f, 1234.0f};
    for (int slot = 1; slot <= 4; ++slot)
        Resting(slot, 0.0, 0.0, 1.0).LabelDistance = distances[slot - 1];
    LabelSettings(4);
    EXPECT_EQ(Labels(), (std::vector<std::string>{"0.50nm ", "12.3nm ", "346nm ", "1.23e+03nm "}));
    AircraftRecord& r = AircraftTable[0];
    r.AltitudeFeet = 950.6f;
    r.LabelSpeed = 120.4f;
    r.DisplayName[0] = '\0';  // an empty part keeps its space
    LabelSettings(31);
    EXPECT_EQ(Labels().at(0), " N123 0.50nm 951ft 120kt ");
    LabelSettings(0xE8);  // bits 5 to 7 mean nothing
    EXPECT_EQ(Labels().at(0), "951ft ");

    std::memset(r.DisplayName, 'D', sizeof r.DisplayName);  // not even terminated
    std::memset(r.TailNumber, 'T', sizeof r.TailNumber - 1);
    r.AltitudeFeet = r.LabelSpeed = std::numeric_limits<float>::max();
    LabelSettings(31);
    const std::string longest = Labels().at(0);
    EXPECT_EQ(longest.size(), 127u) << "cut to the buffer";
    EXPECT_EQ(longest.substr(0, 21), std::string(20, 'D') + " ");
}

TEST_F(TrafficCockpit, OnlyAircraftInFrontAtARepresentablePlaceGetALabel) {
    LabelSettings(2);
    Resting(1, 0.0, 0.0, -1.0);  // behind
    Resting(2, 0.0, 0.0, 0.0);   // at the camera's depth
    Resting(3, 4.0, 0.0, 2.0);   // in front, off the window: still drawn
    Resting(4, 1e12, 0.0, 2.0);  // in front, but no int can say where
    Resting(5, std::nan(""), 0.0, 2.0);
    std::strcpy(AircraftTable[2].TailNumber, "RIGHT");
    const std::vector<host::TextDraw> draws = Draw();
    ASSERT_EQ(draws.size(), 2u);
    EXPECT_EQ(draws[1].text, "RIGHT ");
    EXPECT_EQ(draws[1].x, 4800 - 18);
    std::vector<float> flat = Identity;
    flat[15] = 0.0f;  // w comes out 0
    host::SetFloats("sim/graphics/view/projection_matrix_3d", flat);
    EXPECT_TRUE(Draw().empty());
}

TEST_F(TrafficCockpit, AMissingViewDatarefMeansNoLabels) {
    host::StopPlugin();
    host::SetMissing("sim/graphics/view/window_height");
    StartPlugin();
    LabelSettings(31);
    Resting(1, 0.0, 0.0, 1.0);
    EXPECT_TRUE(Draw().empty());
}

TEST_F(TrafficCockpit, LabelValuesAreHorizontalAndRefreshedOnlyWhileLabelsAreOn) {
    AircraftRecord& r = Resting(6, 3704.0 + 100.0, 5000.0, 200.0);
    const float velocity[3] = {3.0f, 100.0f, 4.0f};
    std::memcpy(r.ShownVelocity, velocity, sizeof velocity);
    host::SetDouble("sim/flightmodel/position/local_x", 100.0);
    host::SetDouble("sim/flightmodel/position/local_z", 200.0);
    UpdateLabelValues();
    EXPECT_EQ(r.LabelDistance, 0.0f);
    LabelSettings(4);
    Resting(7, 100.0, 0.0, 200.0);
    const int reads = host::PluginReads("sim/flightmodel/position/local_x");
    UpdateLabelValues();
    EXPECT_EQ(host::PluginReads("sim/flightmodel/position/local_x"), reads + 1) << "once a pass";
    EXPECT_NEAR(r.LabelDistance, 2.0f, 1e-4f);
    EXPECT_NEAR(r.LabelSpeed, 5.0f * 1.944f, 1e-4f);
}

TEST(TrafficNumberFormat, MatchesPrintfDigitForDigit) {
    std::vector<float> values = {0.0f,   -0.0f,  0.005f, 0.125f, 0.375f, 0.995f,
                                 2.5f,   -0.4f,  -2.5f,  9.995f, 9.996f, 99.96f,
                                 100.5f, 999.4f, 999.5f, 1e13f,  1e-40f, std::nanf("")};
    values.push_back(std::numeric_limits<float>::max());
    values.push_back(std::numeric_limits<float>::infinity());
    for (int k = 0; k < 8000; ++k) values.push_back(static_cast<float>(k) / 8.0f);  // exact ties
    std::mt19937 random(12);
    std::uniform_real_distribution<float> mantissa(1.0f, 10.0f);
    std::uniform_int_distribution<int> exponent(-6, 14);
    for (int k = 0; k < 200000; ++k)
        values.push_back(mantissa(random) * std::pow(10.0f, static_cast<float>(exponent(random))) *
                         (k % 7 ? 1 : -1));
    const std::pair<NumberFormat, const char*> formats[] = {{NumberFormat::Fixed0, "%.0lf"},
                                                            {NumberFormat::Fixed2, "%.2lf"},
                                                            {NumberFormat::General3, "%.3lg"}};
    int mismatches = 0;
    for (float value : values) {
        for (const auto& [format, printfFormat] : formats) {
            char expected[128], actual[128];
            std::snprintf(expected, sizeof expected, printfFormat, static_cast<double>(value));
            const int length =
                FormatNumber(actual, sizeof actual, format, static_cast<double>(value));
            if ((std::string(actual) != expected ||
                 length != static_cast<int>(std::strlen(expected))) &&
                ++mismatches < 10)
                ADD_FAILURE() << printfFormat << " of " << value << " gave " << actual;
        }
    }
    EXPECT_EQ(mismatches, 0);
    for (double tooLong : {1.5, 1e20}) {  // the fast path and printf's
        char small[4] = "abc";
        EXPECT_EQ(FormatNumber(small, sizeof small, NumberFormat::Fixed2, tooLong), -1);
        EXPECT_STREQ(small, "");
    }
}

}  // namespace
}  // namespace velmir
