// The plugin side over real UDP on loopback, with a stand-in plugin: the
// user's reports reach the pilot, a slot arrives as folder, model and
// samples, and a plugin that restarts gets every slot again.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "net/pilot/PluginLink.h"
#include "net/tests/NullPorts.h"
#include "net/tests/LocalBroker.h"

namespace velmir::net {
namespace {

namespace fs = std::filesystem;

class PluginLinkTest : public ::testing::Test {
  protected:
    fs::path root = fs::temp_directory_path() / ("velmir-net-link-" + std::to_string(getpid()));
    fs::path models = root / "models";
    NullNetwork network;
    std::unique_ptr<PluginLink> link;
    std::unique_ptr<Pilot> pilot;
    client::Connection plugin;  // the stand-in
    double now = 100;

    void SetUp() override {
        fs::create_directories(models / "objects");
        std::ofstream(models / "object_list") << "jet.obj 0 0 0 0 0 0\n";
        std::ofstream(models / "objects" / "jet.obj") << "I\n800\nOBJ\n";
        std::istringstream map("a320 " + models.string() + "\n");
        ModelMap m;
        std::string error;
        ASSERT_TRUE(m.Parse(map, "", error)) << error;
        link = std::make_unique<PluginLink>(root.string(), m);
        PilotOptions o;
        o.Callsign = "ME";
        pilot = std::make_unique<Pilot>(o, network, *link);
        const auto pluginPort = static_cast<std::uint16_t>(FreePort(SOCK_DGRAM));
        ASSERT_TRUE(link->Open("127.0.0.1", pluginPort, error)) << error;
        ASSERT_TRUE(plugin.Open("127.0.0.1", link->LocalPort(), pluginPort));
    }
    void TearDown() override {
        std::error_code code;
        fs::remove_all(root, code);
    }
    void Report(double time) {
        client::PositionReport own;
        own.Time = time;
        own.Latitude = 47.5;
        own.Longitude = 8.5;
        plugin.Send(own);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        link->Poll(*pilot, now, 1);
    }
    // Datagram types the stand-in plugin has received since the last call.
    std::vector<int> Heard() {
        std::vector<int> types;
        while (auto r = plugin.Receive(20))
            if (r->Result.Ok()) types.push_back(client::TypeOf(r->Result.Value));
        return types;
    }
};

TEST_F(PluginLinkTest, SlotIsShownAndShownAgainAfterThePluginRestarts) {
    Report(10.0);
    EXPECT_EQ(network.Published, 1);  // our own sample went out
    Heard();

    Sample s;
    s.Report.Time = 3.0;
    s.Report.Latitude = 47.55;
    s.Report.Longitude = 8.5;
    std::uint8_t b[SampleLayout::Length];
    EncodeSample(s, b);
    pilot->OnMessage("velmir/v1/local/pos/47_8/A320X", b, sizeof b, now, 0);
    std::uint8_t id[IdentityLayout::Length];
    EncodeIdentity(Identity{"A320X", "A320X", "HB-JXA", "Aircraft/A320/a320.acf", 0}, id);
    pilot->OnMessage("velmir/v1/local/id/A320X", id, sizeof id, now, 0);
    pilot->Tick(now);
    EXPECT_EQ(Heard(), (std::vector<int>{13, 3, 4}));  // remove, model, sample
    const fs::path slot = root / "Resources/plugins/Velmir/inject001";
    EXPECT_TRUE(fs::exists(slot / "objects" / "jet.obj"));
    std::ifstream list(slot / "object_list");
    std::string line;
    std::getline(list, line);
    EXPECT_EQ(line, "jet.obj 0 0 0 0 0 0");

    // The plugin reloads: it says goodbye, then reports again from a fresh clock.
    plugin.Send(client::DisconnectNotice{});
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    link->Poll(*pilot, now, 1);
    EXPECT_EQ(Heard(), (std::vector<int>{0}));  // a ConnectMessage at once
    now += 0.5;
    Report(0.2);
    EXPECT_EQ(Heard(), (std::vector<int>{3, 4}));  // model again, then its sample

    // Silent for 3 s, then back without a word: the same again.
    now += 3.0;
    link->Poll(*pilot, now, 1);
    EXPECT_EQ(Heard(), (std::vector<int>{0}));  // knocking
    s.Report.Time = 4.0;
    EncodeSample(s, b);
    pilot->OnMessage("velmir/v1/local/pos/47_8/A320X", b, sizeof b, now, 0);
    Heard();
    Report(3.5);
    EXPECT_EQ(Heard(), (std::vector<int>{3, 4}));
    EXPECT_EQ(link->Reconnects(), 2u);
}

// Its socket listens on the loopback only, and a stranger's datagram in
// front of the plugin's does not keep the plugin's report waiting.
TEST_F(PluginLinkTest, ListensOnThePluginsSideAndReadsPastStrangers) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(::getsockname(link->Handle(), reinterpret_cast<sockaddr*>(&local), &length), 0);
    EXPECT_EQ(ntohl(local.sin_addr.s_addr), INADDR_LOOPBACK);

    client::Connection stranger;
    ASSERT_TRUE(stranger.Open("127.0.0.1", link->LocalPort()));
    client::PositionReport own;
    own.Time = 10.0;
    own.Latitude = 47.5;
    own.Longitude = 8.5;
    for (int round = 0; round < 3; ++round) {
        stranger.Send(own);
        stranger.Send(own);
        own.Time += 0.1;
        plugin.Send(own);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        link->Poll(*pilot, now, 1);
        EXPECT_EQ(network.Published, round + 1) << "round " << round;
    }
}

// Rules whose folders hold the same files leave the slot folder alone when
// a pilot switches between them; different files are written.
TEST_F(PluginLinkTest, SlotFolderIsWrittenOnlyWhenItsContentChanges) {
    const fs::path twin = root / "twin", other = root / "other";
    fs::create_directories(twin / "objects");
    fs::create_directories(other / "objects");
    fs::copy_file(models / "object_list", twin / "object_list");
    fs::copy_file(models / "objects" / "jet.obj", twin / "objects" / "jet.obj");
    std::ofstream(other / "object_list") << "prop.obj 0 0 0 0 0 0\n";
    std::ofstream(other / "objects" / "prop.obj") << "I\n800\nOBJ\n";
    std::istringstream map("a320 " + models.string() + "\nb737 " + twin.string() + "\nc172 " +
                           other.string() + "\n");
    ModelMap m;
    std::string error;
    ASSERT_TRUE(m.Parse(map, "", error)) << error;
    PluginLink writer(root.string(), m);
    const fs::path slot = root / "Resources/plugins/Velmir/inject002";
    auto inode = [&](const fs::path& p) {
        struct stat info {};
        return ::stat(p.c_str(), &info) == 0 ? info.st_ino : 0;
    };
    writer.PrepareSlot(2, Identity{"X", "X", "", "a320.acf", 0});
    const auto list = inode(slot / "object_list"), jet = inode(slot / "objects" / "jet.obj");
    ASSERT_NE(list, 0u);
    for (const char* model : {"b737.acf", "a320.acf", "b737.acf"}) {
        writer.PrepareSlot(2, Identity{"X", "X", "", model, 0});
        EXPECT_EQ(inode(slot / "object_list"), list) << model;
        EXPECT_EQ(inode(slot / "objects" / "jet.obj"), jet) << model;
    }
    writer.PrepareSlot(2, Identity{"X", "X", "", "c172.acf", 0});
    std::ifstream written(slot / "object_list");
    std::string line;
    std::getline(written, line);
    EXPECT_EQ(line, "prop.obj 0 0 0 0 0 0");
}

// A pilot cannot appear under another pilot's callsign: the plugin labels
// a slot with the display name and tail number it receives and takes the
// traffic flight id from the tail number, so both come from the topic's
// callsign, whatever the identity claims.
TEST_F(PluginLinkTest, LabelsAndTrafficIdsShowTheTopicsCallsign) {
    Report(10.0);
    Heard();
    const Identity claims[] = {
        {"BOB", "SWR123", "D-EFGH", "Aircraft/A320/a320.acf", 0},
        {"BOB", "BOB", "SWR123", "Aircraft/A320/a320.acf", 0},
        {"BOB", "SWR123", "SWR123", "c172.acf", 0},
        {"BOB", "", "", "Aircraft/A320/a320.acf", 0},
    };
    double clock = 3.0;
    for (const Identity& claim : claims) {
        Sample s;
        s.Report.Time = clock += 1.0;
        s.Report.Latitude = 47.55;
        s.Report.Longitude = 8.5;
        std::uint8_t b[SampleLayout::Length];
        EncodeSample(s, b);
        pilot->OnMessage("velmir/v1/local/pos/47_8/BOB", b, sizeof b, now, 0);
        std::uint8_t id[IdentityLayout::Length];
        EncodeIdentity(claim, id);
        pilot->OnMessage("velmir/v1/local/id/BOB", id, sizeof id, now, 0);
        pilot->Tick(now);
        int models = 0;
        while (auto r = plugin.Receive(20)) {
            ASSERT_TRUE(r->Result.Ok());
            if (const auto* m = std::get_if<client::ModelReport>(&r->Result.Value)) {
                ++models;
                EXPECT_EQ(m->DisplayName, "BOB") << claim.DisplayName << "/" << claim.TailNumber;
                EXPECT_EQ(m->TailNumber, "BOB") << claim.DisplayName << "/" << claim.TailNumber;
            }
        }
        EXPECT_EQ(models, 1);  // each new claim shows the slot afresh
    }
}

}  // namespace
}  // namespace velmir::net
