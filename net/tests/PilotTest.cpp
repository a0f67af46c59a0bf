// Slot choice and the plugin messages a pilot's decisions produce, through
// fake ports: who gets a slot, and in which order the plugin hears of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "net/tests/PilotFixture.h"

namespace velmir::net {
namespace {

TEST(NetSlots, NearestFortyWinAndJitterDoesNotSwap) {
    SlotChooser chooser;
    std::vector<SlotChooser::Candidate> pilots;
    for (int i = 1; i <= 45; ++i) pilots.push_back({"P" + std::to_string(i), double(i)});
    std::shuffle(pilots.begin(), pilots.end(), std::mt19937(3));
    EXPECT_EQ(chooser.Update(pilots).size(), 40u);
    for (int i = 1; i <= 45; ++i)
        EXPECT_EQ(chooser.SlotOf("P" + std::to_string(i)) != 0, i <= 40) << i;

    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitter(-0.45, 0.45);
    for (int round = 0; round < 200; ++round) {
        auto moved = pilots;
        for (auto& p : moved) p.DistanceNm += jitter(random);
        ASSERT_TRUE(chooser.Update(moved).empty()) << "round " << round;
    }

    // P45 comes clearly nearer: it takes the farthest holder's slot, once.
    const int slot40 = chooser.SlotOf("P40");
    for (auto& p : pilots)
        if (p.Callsign == "P45") p.DistanceNm = 0.5;
    const auto changes = chooser.Update(pilots);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].Slot, slot40);
    EXPECT_EQ(changes[0].From, "P40");
    EXPECT_EQ(changes[0].To, "P45");
    EXPECT_TRUE(chooser.Update(pilots).empty());
}

TEST(NetSlots, HolderThatIsNoLongerEligibleFreesItsSlotForTheNextNearest) {
    SlotChooser chooser(2);
    chooser.Update({{"A", 1}, {"B", 2}, {"C", 3}});
    const int slotA = chooser.SlotOf("A");
    const auto changes = chooser.Update({{"B", 2}, {"C", 3}});
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].Slot, slotA);
    EXPECT_EQ(changes[0].From, "A");
    EXPECT_EQ(changes[0].To, "C");
    EXPECT_EQ(chooser.Update({}).size(), 2u);
    EXPECT_EQ(chooser.Used(), 0);
}

TEST_F(PilotFixture, NewHolderIsShownFolderThenModelThenSample) {
    Show(1, 10, 5.0);
    EXPECT_EQ(plugin.Events, (std::vector<std::string>{"remove 1", "prepare 1 P1", "model 1 P1",
                                                       "sample 1 1 5.000000"}));
    SampleFrom(1, 10, 5.1);
    SampleFrom(1, 10, 5.1);  // a repeat is not forwarded
    EXPECT_EQ(plugin.Events.back(), "sample 1 1 5.100000");
    EXPECT_EQ(plugin.Events.size(), 5u);

    // A slot's first sample is a fresh one: P2's, heard 0.3 s before its
    // identity, would start the plugin's clock estimate 0.3 s late.
    plugin.Events.clear();
    SampleFrom(2, 2, 9.0);
    now += 0.3;
    IdentityOf(2);
    pilot.Tick(now);
    EXPECT_EQ(plugin.Events.back(), "model 1 P2");
    SampleFrom(2, 2, 9.3);
    EXPECT_EQ(plugin.Events.back(), "sample 1 2 9.300000");
}

TEST_F(PilotFixture, SlotChangingPilotIsRemovedBeforeTheNewModel) {
    ShowPilot1();
    Show(2, 2, 700.0);
    EXPECT_EQ(plugin.Events, (std::vector<std::string>{"remove 1", "prepare 1 P2", "model 1 P2",
                                                       "sample 1 2 700.000000"}));
    SampleFrom(1, 10, 5.1);  // the loser's samples no longer reach the plugin
    EXPECT_EQ(plugin.Events.size(), 4u);
}

TEST_F(PilotFixture, SilentPilotLosesItsSlotAfterFiveSeconds) {
    ShowPilot1();
    now += 4.9;
    pilot.Tick(now);
    EXPECT_TRUE(plugin.Events.empty());
    now += 0.2;
    pilot.Tick(now);
    EXPECT_EQ(plugin.Events, (std::vector<std::string>{"remove 1"}));
}

TEST_F(PilotFixture, ClearedIdentityRemovesAfterTheGraceAndForgetsThePilot) {
    ShowPilot1();
    pilot.OnMessage(IdentityTopic("P1"), nullptr, 0, now, 0);
    pilot.Tick(now + 0.4);
    EXPECT_TRUE(plugin.Events.empty());
    pilot.Tick(now + 0.6);
    EXPECT_EQ(plugin.Events, (std::vector<std::string>{"remove 1"}));
    EXPECT_EQ(network.Log.back(), "unsub velmir/v1/local/id/P1");
    EXPECT_TRUE(pilot.View(now + 0.6).empty());
}

// A broker shutting down delivers every last will, then goes: the pilots
// stay shown while their samples resume within 5 s.
TEST_F(PilotFixture, WillsFromABrokerShutdownAreNotDepartures) {
    ShowPilot1();
    pilot.OnMessage(IdentityTopic("P1"), nullptr, 0, now, 0);
    pilot.OnBrokerLost(now + 0.01);
    now += 3.0;
    pilot.Tick(now);
    SampleFrom(1, 10, 8.0);
    pilot.Tick(now);
    EXPECT_EQ(plugin.Events, (std::vector<std::string>{"sample 1 1 8.000000"}));
    now += 5.1;  // and silent for good: removed
    pilot.Tick(now);
    EXPECT_EQ(plugin.Events.back(), "remove 1");
}

TEST_F(PilotFixture, OutOfRangeLosesSlotAndSenderRestartShowsAfresh) {
    Show(1, 10, 500.0);
    plugin.Events.clear();
    SampleFrom(1, 10, 2.0);  // its plugin restarted: clock back near zero
    EXPECT_EQ(plugin.Events, (std::vector<std::string>{"remove 1", "prepare 1 P1", "model 1 P1",
                                                       "sample 1 1 2.000000"}));
    plugin.Events.clear();
    SampleFrom(1, 43, 2.1);  // beyond 40 nm and its 5 % grace
    pilot.Tick(now);
    EXPECT_EQ(plugin.Events, (std::vector<std::string>{"remove 1"}));
}

TEST_F(PilotFixture, ModelChangeShowsTheSlotAgainAndPluginRestartResends) {
    ShowPilot1();
    IdentityOf(1, "a320.acf");
    EXPECT_EQ(plugin.Events, (std::vector<std::string>{"remove 1", "prepare 1 P1", "model 1 P1",
                                                       "sample 1 1 5.000000"}));
    plugin.Events.clear();
    pilot.ResendSlots(now);  // folder already there: model, then samples
    EXPECT_EQ(plugin.Events, (std::vector<std::string>{"model 1 P1", "sample 1 1 5.000000"}));
}

TEST_F(PilotFixture, OwnAircraftPublishingAndLeaving) {
    ASSERT_EQ(network.Published.size(), 1u);
    EXPECT_EQ(network.Published[0].Topic, "velmir/v1/local/pos/47_8/ME");
    EXPECT_EQ(network.Published[0].Qos, 0);
    EXPECT_FALSE(network.Published[0].Retain);
    EXPECT_EQ(network.Published[0].Data.size(), 108u);

    client::ModelReport model;
    model.TailNumber = "D-ME";
    model.ModelName = "Aircraft/x.acf";
    pilot.OnOwnModel(model);
    pilot.OnOwnModel(model);  // unchanged: not published again
    // Version 2 on its own topic, then version 1 where older companions look.
    ASSERT_EQ(network.Published.size(), 3u);
    const std::pair<const char*, std::size_t> published[] = {{"velmir/v1/local/id2/ME", 388},
                                                             {"velmir/v1/local/id/ME", 332}};
    for (int i = 0; i < 2; ++i) {
        const auto& sent = network.Published[1 + i];
        EXPECT_EQ(sent.Topic, published[i].first);
        EXPECT_EQ(sent.Qos, 1);
        EXPECT_TRUE(sent.Retain);
        Identity back;
        ASSERT_EQ(sent.Data.size(), published[i].second);
        ASSERT_EQ(DecodeIdentity(sent.Data.data(), sent.Data.size(), "ME", back), DropReason::None);
        EXPECT_EQ(back.DisplayName, "ME");
        EXPECT_EQ(back.Described, i == 0);
        EXPECT_EQ(back.Livery, i == 0 ? "D-ME" : "");  // the tail number stands in
    }

    ShowPilot1();
    pilot.Leave();
    EXPECT_EQ(plugin.Events, (std::vector<std::string>{"remove 1"}));
    for (const char* topic : {"velmir/v1/local/id/ME", "velmir/v1/local/id2/ME"}) {
        const auto cleared = std::find_if(
            network.Published.begin() + 3, network.Published.end(),
            [&](const FakeNetwork::Sent& m) { return m.Topic == topic && m.Data.empty(); });
        ASSERT_NE(cleared, network.Published.end()) << topic;
        EXPECT_TRUE(cleared->Retain);
    }
}

TEST_F(PilotFixture, CrossingACellEdgeSubscribesBeforeUnsubscribing) {
    network.Log.clear();
    client::PositionReport own;
    own.Time = 51;
    own.Latitude = 48.9;  // 40 nm reaches 49 and 48 but no longer 47
    own.Longitude = 8.5;
    pilot.OnOwnPosition(own, now, 1);
    ASSERT_FALSE(network.Log.empty());
    std::size_t lastSub = 0, firstUnsub = network.Log.size();
    for (std::size_t i = 0; i < network.Log.size(); ++i) {
        if (network.Log[i].rfind("sub ", 0) == 0) lastSub = i;
        if (network.Log[i].rfind("unsub ", 0) == 0) firstUnsub = std::min(firstUnsub, i);
    }
    EXPECT_LT(lastSub, firstUnsub);
    EXPECT_NE(std::find(network.Log.begin(), network.Log.end(), "sub velmir/v1/+/pos/49_8/+"),
              network.Log.end());
    EXPECT_NE(std::find(network.Log.begin(), network.Log.end(), "unsub velmir/v1/+/pos/47_8/+"),
              network.Log.end());
}

}  // namespace
}  // namespace velmir::net
