// Remote aircraft inside one process: models from slot folders, traffic
// targets, and the promise that frames and position messages neither
// allocate nor look datarefs up.
#include "unit/TrafficHarness.h"

namespace velmir {
namespace {

using namespace test;

TEST_F(Traffic, ObjectListLinesFollowTheFieldRule) {
    Model(5, "A",
          "b.obj 1  3 4 5 6\n"  // two spaces: an empty field reads 0
          "a.obj 1 2\n"         // too few fields: the last one repeats, not the line before's
          "\n"                  // empty: skipped
          "c.obj\r\n"           // name only, CRLF
          "3.5e1x\n"            // the numbers come from the name's own text
          "d.obj 0 0 0 1 2 3 " +
              std::string(1500, 'z') +
              "\n"                   // cut; next line intact
              "e.obj 9 8 7 6 5 4");  // no final line feed
    const std::vector<ObjectEntry>& objects = AircraftTable[4].Objects;
    ASSERT_EQ(objects.size(), 6u);
    ExpectTriple(objects[0].Extra, 1, 0, 3);
    ExpectTriple(objects[0].Offset, 4, 5, 6);
    ExpectTriple(objects[1].Extra, 1, 2, 2);
    ExpectTriple(objects[1].Offset, 2, 2, 2);
    ExpectTriple(objects[2].Offset, 0, 0, 0);
    ExpectTriple(objects[3].Offset, 35, 35, 35);
    ExpectTriple(objects[4].Offset, 1, 2, 3);
    ExpectTriple(objects[5].Extra, 9, 8, 7);
    ExpectTriple(objects[5].Offset, 6, 5, 4);
    const std::string dir = Slot(5) + "objects/";
    EXPECT_EQ(LoadRequests(),
              (std::vector<std::string>{dir + "b.obj", dir + "a.obj", dir + "c.obj", dir + "3.5e1x",
                                        dir + "d.obj", dir + "e.obj"}));
}

TEST_F(Traffic, OversizedInputIsCutOrRefusedWithinItsBounds) {
    // The objects folder path is 43 characters: a 212-character name makes
    // 255, one more does not fit and the line is refused.
    Write(Slot(7) + "object_list", std::string(212, 'f') + " 1 1 1 1 1 1\n" +
                                       std::string(213, 'g') + " 2\n" + std::string(5000, 'h') +
                                       "\nlast.obj\n");
    Write(Slot(7) + "cog", "0.5 -2.0 1.2\nignored\n");
    // Texts filling their fields without a terminator, garbage behind them:
    // the model name runs on past the message's 345 bytes to 1024.
    Wire message = Wire(3, 1024, 7).Text(29, std::string(20, 'D')).Text(49, std::string(40, 'T'));
    message.Text(89, std::string(1024 - 89, 'M'));
    ApplyModel(message.data());

    const AircraftRecord& slot = AircraftTable[6];
    const std::vector<std::string> requested = LoadRequests();
    ASSERT_EQ(requested.size(), 2u);
    EXPECT_EQ(requested[0].size(), 255u);
    EXPECT_EQ(requested[1], Slot(7) + "objects/last.obj");
    ExpectTriple(slot.ModelOffset, 0.5f, -2.0f, 1.2f);
    EXPECT_EQ(std::string(slot.ModelName), std::string(255, 'M'));
    EXPECT_EQ(std::string(slot.TailNumber), std::string(39, 'T'));
    EXPECT_EQ(std::string(slot.DisplayName), std::string(19, 'D'));
    host::ClearLog();
    ApplyModel(message.data());  // the cut name is what was stored: no change
    EXPECT_EQ(host::LogText(), "");
}

TEST_F(Traffic, LateLoadResultsNeverLandOnNewerEntries) {
    host::SetLoadDelayFrames(4);
    Model(9, "Old", "a.obj 0 0 0 0 0 0\nb.obj 0 0 0 0 0 0\n");
    Model(10, "Other", "a.obj 0 0 0 0 0 0\n");
    host::RunFrames(2);
    // The new entries take the released entries' storage while the old
    // loads still run; one of the new objects does not exist.
    const ObjectEntry* storage = AircraftTable[8].Objects.data();
    Model(9, "New", "c.obj 0 0 0 0 0 0\nmissing.obj 0 0 0 0 0 0\n");
    EXPECT_EQ(AircraftTable[8].Objects.data(), storage);
    host::RunFrames(3);  // the old results arrive, the new ones not yet
    for (const ObjectEntry& entry : AircraftTable[8].Objects) EXPECT_EQ(entry.Loaded, 0);
    EXPECT_NE(AircraftTable[9].Objects[0].Instance, nullptr) << "another slot's load still lands";

    Model(11, "Gone", "a.obj 0 0 0 0 0 0\n");
    ReleaseRecord(AircraftTable[10]);  // removed while loading
    host::RunFrames(5);
    const std::vector<ObjectEntry>& now = AircraftTable[8].Objects;
    EXPECT_NE(now[0].Instance, nullptr);
    EXPECT_EQ(now[1].Loaded, 1);
    EXPECT_EQ(now[1].Object, nullptr);
    std::vector<std::string> live;
    for (const host::ObjectInfo& object : host::Objects()) live.push_back(object.path);
    EXPECT_EQ(live,
              (std::vector<std::string>{Slot(10) + "objects/a.obj", Slot(9) + "objects/c.obj"}));
    const std::vector<host::InstanceInfo> instances = host::Instances();
    ASSERT_EQ(instances.size(), 2u);
    EXPECT_EQ(instances[0].datarefs,
              std::vector<std::string>{"sim/flightmodel2/wing/rudder1_deg[0]"});
    host::StopPlugin();  // no client to disconnect: the stop itself frees the slots
    EXPECT_TRUE(host::Instances().empty());
    EXPECT_TRUE(host::Objects().empty());
    EXPECT_TRUE(host::Errors().empty());
}

TEST_F(Traffic, OnlyADifferentModelNameIsAChange) {
    Model(2, "Same", "a.obj 0 0 0 0 0 0\n", "", "N111");
    host::RunFrame();
    host::ClearLog();
    Model(2, "Same", "a.obj 0 0 0 0 0 0\n", "", "N222");
    EXPECT_STREQ(AircraftTable[1].TailNumber, "N111");
    EXPECT_EQ(host::Instances().size(), 1u);
    EXPECT_EQ(host::LogText(), "");

    Model(2, "", "a.obj 0 0 0 0 0 0\n", "", "N333");  // an empty name counts too
    EXPECT_EQ(host::LogText(), "Velmir: Aircraft 2 model changed from 'Same' to ''.\n");
    EXPECT_STREQ(AircraftTable[1].TailNumber, "N333");
    EXPECT_EQ(host::Instances().size(), 0u);

    host::ClearLog();
    ApplyModel(Wire(3, 345, 0).Text(89, "User").data());
    ApplyModel(Wire(3, 345, 41).Text(89, "Nobody").data());
    EXPECT_EQ(host::LogText(), "");
    EXPECT_EQ(host::CountCalls("XPLMLoadObjectAsync"), 2);
}

TEST_F(Traffic, ActiveSlotsBecomeTargetsInSlotOrderWhileThePlanesAreHeld) {
    const std::vector<std::uint8_t> filler(32, 0x55);
    host::SetBytes("sim/cockpit2/tcas/targets/flight_id", filler.data(), 32);
    host::SetInt("sim/cockpit2/tcas/targets/modeS_id", 99, 3);
    std::strcpy(AircraftTable[2].TailNumber, "N123AB");
    std::strcpy(AircraftTable[6].TailNumber, "ABCDEFGHIJ");
    HandlePosition(Position(7, 1.0, 300.0, 1000.0, -50.0).data());
    HandlePosition(
        Position(3, 1.0, 100.0, 2000.0, 40.0).At(57, 5.0f).At(61, -10.0f).At(65, 200.0f).data());
    host::RunFor(1.0);
    for (const char* name : {"modeS_id", "flight_id", "position/x", "position/vz", "position/phi"})
        EXPECT_EQ(host::PluginWrites(std::string("sim/cockpit2/tcas/targets/") + name), 0)
            << "planes not held";

    AcquirePlanes();
    host::RunFrame();
    auto flightId = [](int target) {
        const std::vector<std::uint8_t> all = host::GetBytes("sim/cockpit2/tcas/targets/flight_id");
        return std::string(all.begin() + 8 * target, all.begin() + 8 * target + 8);
    };
    EXPECT_EQ(host::GetInts("sim/cockpit2/tcas/targets/modeS_id").at(1), 3);
    EXPECT_EQ(host::GetInts("sim/cockpit2/tcas/targets/modeS_id").at(2), 7);
    EXPECT_EQ(host::GetInts("sim/cockpit2/tcas/targets/modeS_id").at(3), 99) << "past the last";
    EXPECT_EQ(host::ActiveAircraftCount(), 2);
    EXPECT_EQ(flightId(0), std::string(8, '\x55')) << "target 0 is the user's";
    EXPECT_EQ(flightId(1), std::string("N123AB\0\x55", 8));
    EXPECT_EQ(flightId(2), "ABCDEFG\x55");
    const AircraftRecord& three = AircraftTable[2];
    EXPECT_EQ(host::GetFloat("sim/cockpit2/tcas/targets/position/y", 1),
              static_cast<float>(three.ShownPosition[1]));
    EXPECT_EQ(host::GetFloat("sim/cockpit2/tcas/targets/position/psi", 1), three.ShownAttitude[2]);
    EXPECT_EQ(host::GetFloat("sim/cockpit2/tcas/targets/position/the", 1), three.ShownAttitude[0]);
    EXPECT_EQ(host::GetFloat("sim/cockpit2/tcas/targets/position/phi", 1), three.ShownAttitude[1]);

    double time = 1.0;  // slot 3 falls silent and is swept; slot 7 becomes target 1
    ASSERT_TRUE(host::RunUntil(
        [&] {
            HandlePosition(Position(7, time += 0.02, 300.0, 1000.0, -50.0).data());
            return AircraftTable[2].Time == 0.0;
        },
        15.0));
    host::RunFrame();
    EXPECT_EQ(host::GetInts("sim/cockpit2/tcas/targets/modeS_id").at(1), 7);
    EXPECT_EQ(flightId(1), "ABCDEFG\x55");
    EXPECT_EQ(host::ActiveAircraftCount(), 1);
    ReleaseRecord(AircraftTable[6]);  // none left: the last count stays
    const int calls = host::CountCalls("XPLMSetActiveAircraftCount");
    host::RunFrames(3);
    EXPECT_EQ(host::CountCalls("XPLMSetActiveAircraftCount"), calls);

    HandlePosition(Position(3, 2.0, 100.0, 2000.0, 40.0).data());  // back, with no model
    host::RunFrame();
    EXPECT_EQ(flightId(1)[0], '\0') << "the swept slot's tail number is forgotten";
}

TEST_F(Traffic, FramesAndPositionMessagesAllocateNothingAndLookNothingUp) {
    std::string objectList;
    for (int i = 0; i < 8; ++i) objectList += "a.obj 0 0 0 " + std::to_string(i) + " 0.5 -1\n";
    for (int slot = 1; slot <= SlotCount; ++slot) Model(slot, "M", objectList, "0.5 -1 1\n");
    ApplyLabelSettings(Wire(2, 31).At(26, std::uint8_t{31}).data());
    AcquirePlanes();
    host::RunFrame();
    ASSERT_EQ(host::Instances().size(), 320u);

    // Built before counting starts: only the time changes from one pass to the next.
    std::vector<Wire> positions;
    for (int slot = 1; slot <= SlotCount; ++slot)
        positions.push_back(Position(slot, 0.0, 40.0 * slot, 1200.0, -300.0).At(65, 9.0f * slot));
    // The user aircraft, shared, looking at all of them.
    positions.push_back(Position(0, 0.0, -500.0, 1500.0, 0.0).At(65, 90.0f));
    double time = 100.0;
    auto frame = [&](int n) {
        if (n % 6 == 0) {
            time += 0.1;
            for (Wire& position : positions) HandlePosition(position.At(25, time).data());
        }
        host::RunFrame();
    };
    for (int n = 0; n < 180; ++n) frame(n);  // the host sizes its own buffers
    host::SetJournalEnabled(false);
    const int lookups = host::FindDataRefCalls();
    const host::Counters before = host::Counts();
    test::AllocationScope scope;
    for (int n = 0; n < 600; ++n) frame(n);
    const std::size_t allocations = scope.Count();
    host::SetJournalEnabled(true);

    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(host::FindDataRefCalls(), lookups);
    const host::Counters after = host::Counts();  // the paths under test really ran
    EXPECT_EQ(after.instancePositionSets - before.instancePositionSets, 320 * 600);
    EXPECT_EQ(after.drawStrings - before.drawStrings, 2 * 40 * 600);
    EXPECT_EQ(host::ActiveAircraftCount(), 40);
}

}  // namespace
}  // namespace velmir
