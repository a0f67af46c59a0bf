// Stop followed by start in one process, as when the simulator reloads the
// plugin: nothing of the last run may show through.
#include <cstdint>

#include "link/Messages.h"
#include "traffic/Labels.h"
#include "unit/PluginHarness.h"

namespace velmir {
namespace {

using Restart = test::InProcessTest;

TEST_F(Restart, LabelsStartOffAndNoDrawingIsLeftBehind) {
    StartPlugin();
    // Labels on, in colour, as a client would ask: InfoMessage bytes 26 and 27..30.
    std::uint8_t info[31] = {};
    info[26] = 31;
    info[27] = 0x40;  // blue
    info[28] = 0x80;  // green
    info[29] = 0xFF;  // red
    ApplyLabelSettings(info);
    ASSERT_EQ(LabelFlags, 31);

    host::StopPlugin();
    EXPECT_TRUE(host::DrawCallbacks().empty()) << "stop unregisters the label drawing";
    EXPECT_EQ(host::CountCalls("XPLMUnregisterDrawCallback"), 1);

    StartPlugin();
    EXPECT_EQ(LabelFlags, 0) << "the overlay is off until the client asks again";
    EXPECT_EQ(LabelColour[0], 0.0f);
    EXPECT_EQ(LabelColour[1], 0.0f);
    EXPECT_EQ(LabelColour[2], 0.0f);
    EXPECT_EQ(host::DrawCallbacks().size(), 1u);
}

}  // namespace
}  // namespace velmir
