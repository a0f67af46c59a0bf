// Start-up and shut-down order, the log, and what must not change anything.
#include <cstring>
#include <string>
#include <vector>

#include "core/Log.h"
#include "traffic/Labels.h"
#include "unit/PluginHarness.h"

namespace velmir {
namespace {

using Lifecycle = test::InProcessTest;

int IndexOf(const std::vector<host::Call>& journal, const std::string& fn,
            const std::string& arg = "") {
    for (std::size_t i = 0; i < journal.size(); ++i)
        if (journal[i].function == fn && (arg.empty() || journal[i].arg == arg))
            return static_cast<int>(i);
    return -1;
}

TEST_F(Lifecycle, StartRegistersLoopsAndDrawingInOrderAndIdentifiesItself) {
    StartPlugin();
    const auto status = host::Plugin();
    EXPECT_EQ(status.name, "Velmir");
    EXPECT_EQ(status.signature, "Brannockdale.Velmir");
    EXPECT_EQ(status.description.rfind("Cross-Platform Multiplayer Plugin. ", 0), 0u);
    EXPECT_LE(status.description.size(), 63u);

    const auto loops = host::FlightLoops();
    ASSERT_EQ(loops.size(), 5u);
    const float intervals[] = {4.0f, 0.1f, 1.0f, 2.0f, -1.0f};
    for (int i = 0; i < 5; ++i) {
        EXPECT_FLOAT_EQ(loops[i].registeredInterval, intervals[i]) << i;
        EXPECT_EQ(loops[i].refcon, nullptr);
    }
    const auto draws = host::DrawCallbacks();
    ASSERT_EQ(draws.size(), 1u);
    EXPECT_EQ(draws[0].phase, 50);
    EXPECT_EQ(draws[0].wantsBefore, 0);

    // Each loop keeps its own rate, and none looks a dataref up again.
    const int lookups = host::FindDataRefCalls();
    EXPECT_EQ(lookups, 109 + 2 + 11 + 4) << "user aircraft, link, targets, view";
    host::RunFor(4.05);
    EXPECT_EQ(host::FindDataRefCalls(), lookups);
    const auto after = host::FlightLoops();
    EXPECT_EQ(after[0].calls, 1);
    EXPECT_NEAR(after[1].calls, 40, 1);
    EXPECT_EQ(after[2].calls, 4);
    EXPECT_EQ(after[3].calls, 2);
    EXPECT_NEAR(after[4].calls, 243, 1);
    for (const auto& loop : after) EXPECT_FLOAT_EQ(loop.interval, loop.registeredInterval);

    const auto journal = host::Journal();
    const int lastUserLookup = IndexOf(journal, "XPLMFindDataRef", "sim/flightmodel/misc/slip");
    const int livery = IndexOf(journal, "XPLMFindDataRef", "sim/aircraft/view/acf_livery_index");
    const int tcas = IndexOf(journal, "XPLMFindDataRef", "sim/operation/override/override_TCAS");
    const int phi = IndexOf(journal, "XPLMFindDataRef", "sim/cockpit2/tcas/targets/position/phi");
    const int firstLoop = IndexOf(journal, "XPLMRegisterFlightLoopCallback");
    const int draw = IndexOf(journal, "XPLMRegisterDrawCallback");
    const int world = IndexOf(journal, "XPLMFindDataRef", "sim/graphics/view/world_matrix");
    EXPECT_LT(lastUserLookup, livery);
    EXPECT_LT(livery, tcas);
    EXPECT_LT(tcas, phi);
    EXPECT_LT(phi, firstLoop);
    EXPECT_LT(firstLoop, draw);
    EXPECT_LT(draw, world);
}

// The simulator's buffers for the identity hold 64 bytes: not one more may
// be written, not even a terminator.
TEST_F(Lifecycle, IdentityStaysWithinTheSimulatorsBuffers) {
    static char buffers[3][80];
    host::PluginEntryPoints entries = test::LinkedPlugin();
    entries.start = [](char* name, char* signature, char* description) {
        std::memset(buffers, 0x7E, sizeof buffers);
        const int started = PluginStart(buffers[0], buffers[1], buffers[2]);
        std::memcpy(name, buffers[0], 64);
        std::memcpy(signature, buffers[1], 64);
        std::memcpy(description, buffers[2], 64);
        return started;
    };
    host::AttachPlugin(entries);
    ASSERT_EQ(host::StartPlugin(), 1);
    for (const char* buffer : buffers)
        EXPECT_EQ(std::string(buffer + 64, 16), std::string(16, 0x7E)) << buffer;
}

TEST_F(Lifecycle, StopUndoesStartInOrderAndARestartShowsNothingOfTheLastRun) {
    StartPlugin();
    host::RunFor(0.5);
    // Labels on, in colour, as a client would ask: InfoMessage bytes 26 and 27..30.
    ApplyLabelSettings(test::Wire(2, 31)
                           .At(26, std::uint8_t{31})
                           .At(27, std::uint8_t{0x40})
                           .At(28, std::uint8_t{0x80})
                           .At(29, std::uint8_t{0xFF})
                           .data());
    ASSERT_EQ(LabelFlags, 31);
    host::ClearJournal();
    host::StopPlugin();
    const auto journal = host::Journal();
    const int planepath =
        IndexOf(journal, "XPLMSetDatavi", "sim/operation/override/override_planepath");
    const int flightcontrol =
        IndexOf(journal, "XPLMSetDatai", "sim/operation/override/override_flightcontrol");
    ASSERT_GE(planepath, 0);
    EXPECT_LT(planepath, flightcontrol);
    ASSERT_EQ(host::CountCalls("XPLMUnregisterFlightLoopCallback"), 5);
    EXPECT_LT(flightcontrol, IndexOf(journal, "XPLMUnregisterFlightLoopCallback"));
    EXPECT_TRUE(host::FlightLoops().empty());
    EXPECT_EQ(host::LiveProbes(), 0);
    EXPECT_EQ(host::Counts().releasePlanes, 0) << "no client, no planes to release";
    EXPECT_TRUE(host::Errors().empty());
    EXPECT_TRUE(host::DrawCallbacks().empty()) << "stop unregisters the label drawing";
    EXPECT_EQ(host::CountCalls("XPLMUnregisterDrawCallback"), 1);

    StartPlugin();
    EXPECT_EQ(LabelFlags, 0) << "the overlay is off until the client asks again";
    EXPECT_EQ(std::vector<float>(LabelColour, LabelColour + 3), std::vector<float>(3, 0.0f));
    EXPECT_EQ(host::DrawCallbacks().size(), 1u);
}

TEST_F(Lifecycle, MissingDatarefsAreNamedOnceAndStartGoesOn) {
    host::SetMissing("sim/cockpit2/tcas/targets/position/vz");
    host::SetMissing("sim/flightmodel2/engines/has_fuel_flow_before_mixture");
    host::SetMissing("sim/graphics/view/window_width");
    StartPlugin();
    EXPECT_EQ(host::CountLogLines("Failed to find data reference"), 2) << host::LogText();
    for (const char* name : {"sim/cockpit2/tcas/targets/position/vz",
                             "sim/flightmodel2/engines/has_fuel_flow_before_mixture"})
        EXPECT_EQ(host::CountLogLines("Velmir: Failed to find data reference '" +
                                      std::string(name) + "'."),
                  1);
    EXPECT_EQ(host::CountCalls("XPLMFindDataRef", "sim/cockpit2/tcas/targets/position/psi"), 1)
        << "lookups after a missing one still run";
    EXPECT_EQ(host::FlightLoops().size(), 5u);
}

TEST_F(Lifecycle, LogLinesAreCutAt255Characters) {
    StartPlugin();
    host::ClearLog();
    const std::string longText(300, 'x');
    LogMessage("Velmir: %s\n", longText.c_str());
    const std::string logged = host::LogText();
    ASSERT_EQ(logged.size(), 255u);
    EXPECT_EQ(logged.substr(0, 8), "Velmir: ");
    EXPECT_EQ(logged.back(), 'x') << "the line break was cut off with the rest";
}

TEST_F(Lifecycle, FormatStringRefusesTextThatDoesNotFit) {
    char buffer[8];
    EXPECT_EQ(FormatString(buffer, sizeof buffer, "%s", "1234567"), 7);
    EXPECT_STREQ(buffer, "1234567");
    EXPECT_EQ(FormatString(buffer, sizeof buffer, "%s", "12345678"), -1);
    EXPECT_STREQ(buffer, "");
}

TEST_F(Lifecycle, MessagesAndDisableEnableChangeNothing) {
    StartPlugin();
    host::RunFor(1.0);
    host::ClearJournal();
    host::ClearLog();
    host::SendPluginMessage(1, 0x100, nullptr);
    host::SendPluginMessage(0, 104, reinterpret_cast<void*>(0x1));
    PluginDisable();
    EXPECT_EQ(PluginEnable(), 1);
    EXPECT_TRUE(host::Journal().size() <= 2u) << "only the host's own markers";
    EXPECT_TRUE(host::LogText().empty());
    EXPECT_EQ(host::FlightLoops().size(), 5u);
}

}  // namespace
}  // namespace velmir
