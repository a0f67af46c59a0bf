// Slot choice and the plugin messages a pilot's decisions produce, through
// fake ports: who gets a slot, in which order the plugin hears of it, and
// that nothing refused reaches the plugin.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "net/pilot/Geo.h"
#include "net/pilot/Pilot.h"
#include "net/tests/OwnPilot.h"

namespace velmir::net {
namespace {

struct FakeNetwork : NetworkPort {
    struct Sent {
        std::string Topic;
        std::vector<std::uint8_t> Data;
        int Qos;
        bool Retain;
    };
    std::vector<Sent> Published;
    std::vector<std::string> Log;  // "sub F" / "unsub F"
    bool Publish(const std::string& t, const std::uint8_t* d, std::size_t n, int q,
                 bool r) override {
        Published.push_back({t, std::vector<std::uint8_t>(d, d + n), q, r});
        return true;
    }
    void Subscribe(const std::string& f, int) override { Log.push_back("sub " + f); }
    void Unsubscribe(const std::string& f) override { Log.push_back("unsub " + f); }
};

struct FakePlugin : PluginPort {
    std::vector<std::string> Events;  // "remove 1", "prepare 1 AB", "model 1 AB", "sample 1 AB 2.5"
    void PrepareSlot(int s, const Identity& id) override {
        Events.push_back("prepare " + std::to_string(s) + " " + id.Callsign);
    }
    void SendModel(int s, const Identity& id) override {
        Events.push_back("model " + std::to_string(s) + " " + id.Callsign);
    }
    void SendSample(const client::PositionReport& r) override {
        const int s = r.AircraftIndex;
        // Altitude carries the sender's id in these tests: 1000 x pilot number.
        Events.push_back("sample " + std::to_string(s) + " " +
                         std::to_string(static_cast<int>(r.Altitude / 1000)) + " " +
                         std::to_string(r.Time));
    }
    void RemoveSlot(int s) override { Events.push_back("remove " + std::to_string(s)); }
};

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

// One pilot "ME" at 47.5, 8.5 and others reported by hand.
class PilotFixture : public OwnPilot<FakeNetwork, FakePlugin> {
  protected:
    // Pilot number n, `nm` north of us, its clock at `time`.
    void SampleFrom(int n, double nm, double time, std::uint64_t sentAt = 0) {
        Sample s;
        s.SentAtMicros = sentAt;
        s.Report.Time = time;
        s.Report.Latitude = 47.5 + nm / 60.04;
        s.Report.Longitude = 8.5;
        s.Report.Altitude = 1000.0 * n;
        std::uint8_t b[SampleLayout::Length];
        EncodeSample(s, b);
        const std::string callsign = "P" + std::to_string(n);
        pilot.OnMessage(PositionTopic(CellOf(s.Report.Latitude, 8.5), callsign), b, sizeof b, now,
                        2000);
    }
    // Pilot n's sample and identity, then a tick.
    void Show(int n, double nm, double time) {
        SampleFrom(n, nm, time);
        IdentityOf(n);
        pilot.Tick(now);
    }
    // P1, 10 nm north with clock 5.0, holding slot 1; events cleared.
    void ShowPilot1() {
        Show(1, 10, 5.0);
        plugin.Events.clear();
    }
    void IdentityOf(int n, const std::string& model = "c172.acf") {
        const std::string callsign = "P" + std::to_string(n);
        std::uint8_t b[IdentityLayout::Length];
        EncodeIdentity(Identity{callsign, callsign, "T", model, 0}, b);
        pilot.OnMessage(IdentityTopic(callsign), b, sizeof b, now, 2000);
    }
};

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

TEST_F(PilotFixture, RefusedInputIsCountedPerReasonAndNeverForwarded) {
    ShowPilot1();
    std::uint8_t good[SampleLayout::Length];
    Sample s;
    s.Report.Time = 6.0;
    s.Report.Latitude = 47.6;
    s.Report.Longitude = 8.5;
    EncodeSample(s, good);
    const std::string topic = PositionTopic(Cell{47, 8}, "P1");
    pilot.OnMessage("velmir/v1/local/pos/47_8/p1", good, sizeof good, now, 0);
    pilot.OnMessage("velmir/v1/local/pos/47_181/P1", good, sizeof good, now, 0);
    pilot.OnMessage("velmir/v1/local/pos/48_8/P1", good, sizeof good, now, 0);
    pilot.OnMessage(topic, good, sizeof good - 1, now, 0);
    std::uint8_t bad[SampleLayout::Length];
    std::memcpy(bad, good, sizeof bad);
    bad[0] = 9;
    pilot.OnMessage(topic, bad, sizeof bad, now, 0);
    std::memcpy(bad, good, sizeof bad);
    std::memset(bad + 20, 0xFF, 8);  // latitude NaN
    pilot.OnMessage(topic, bad, sizeof bad, now, 0);
    std::uint8_t id[IdentityLayout::Length];
    EncodeIdentity(Identity{"P2", "x", "x", "x", 0}, id);
    pilot.OnMessage(IdentityTopic("P1"), id, sizeof id, now, 0);

    EXPECT_TRUE(plugin.Events.empty());
    const Counters& c = pilot.GetCounters();
    EXPECT_EQ(c.Dropped, 7u);
    for (DropReason r : {DropReason::BadCallsign, DropReason::BadCell, DropReason::WrongCell,
                         DropReason::WrongSize, DropReason::WrongVersion, DropReason::NotFinite,
                         DropReason::CallsignMismatch})
        EXPECT_EQ(c.DroppedBy[static_cast<int>(r)], 1u) << ToString(r);
    // The good one passes, from this broker or through a bridge (where it
    // is another region's P1, a pilot of its own).
    pilot.OnMessage(topic, good, sizeof good, now, 0);
    EXPECT_EQ(plugin.Events, (std::vector<std::string>{"sample 1 0 6.000000"}));
    pilot.OnMessage("velmir/v1/eu-2/pos/47_8/P1", good, sizeof good, now, 0);
    EXPECT_EQ(c.Dropped, 7u);
    const auto rows = pilot.View(now);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].Callsign + rows[1].Callsign, "P1P1");
    EXPECT_NE(rows[0].Origin, rows[1].Origin);
}

// What a publisher can do to a listener beyond a bad payload: every row is
// dropped under its own reason and nothing reaches the plugin, while the
// same sample sent properly right after is forwarded.
TEST_F(PilotFixture, PublisherAttacksAreDroppedAndCounted) {
    ShowPilot1();
    const std::uint64_t wall = 1'700'000'000'000'000ull;  // our wall clock, microseconds
    Sample s;
    s.SentAtMicros = wall - 100'000;  // 0.1 s ago
    s.Report.Time = 6.0;
    s.Report.Latitude = 47.6;  // 0.2-degree cell 238_42, 0.01-degree 4760_850
    s.Report.Longitude = 8.5;
    std::vector<std::uint8_t> good(SampleLayout::Length);
    EncodeSample(s, good.data());
    auto sentAgo = [&](double seconds) {
        Sample old = s;
        old.SentAtMicros = wall - static_cast<std::uint64_t>(seconds * 1e6);
        std::vector<std::uint8_t> b(SampleLayout::Length);
        EncodeSample(old, b.data());
        return b;
    };
    struct Case {
        const char* Name;
        std::string Topic;
        std::vector<std::uint8_t> Payload;
        bool Retained;
        DropReason Expected;
    };
    const std::string topic = "velmir/v1/local/pos/47_8/P1";
    std::vector<std::uint8_t> huge(100'000, 0);
    std::copy(good.begin(), good.end(), huge.begin());
    const Case cases[] = {
        {"retained sample", topic, good, true, DropReason::Retained},
        {"retained on a fine tree", "velmir/v1/local/pos-1/4760_850/P1", good, true,
         DropReason::Retained},
        {"sent an hour ago", topic, sentAgo(3600), false, DropReason::Stale},
        {"sent 31 s ago", topic, sentAgo(31), false, DropReason::Stale},
        {"no send time", topic, sentAgo(wall / 1e6), false, DropReason::Stale},
        {"100 kB payload", topic, huge, false, DropReason::Oversized},
        {"389 bytes", "velmir/v1/local/id2/P1", std::vector<std::uint8_t>(389, 0), false,
         DropReason::Oversized},
        {"oversized on a bad topic", "x", huge, false, DropReason::Oversized},
        // Finer trees: the sample must lie in the tree's own cell, not
        // merely in the 1-degree cell around it.
        {"0.2-degree cell beside", "velmir/v1/local/pos-20/237_42/P1", good, false,
         DropReason::WrongCell},
        {"0.05-degree cell beside", "velmir/v1/local/pos-5/951_170/P1", good, false,
         DropReason::WrongCell},
        {"0.01-degree cell beside", "velmir/v1/local/pos-1/4760_851/P1", good, false,
         DropReason::WrongCell},
        {"1-degree name on a fine tree", "velmir/v1/local/pos-1/47_8/P1", good, false,
         DropReason::WrongCell},
    };
    for (const Case& c : cases) {
        const Counters before = pilot.GetCounters();
        pilot.OnMessage(c.Topic, c.Payload.data(), c.Payload.size(), now, wall, c.Retained);
        const Counters& after = pilot.GetCounters();
        EXPECT_EQ(after.Dropped, before.Dropped + 1) << c.Name;
        EXPECT_EQ(after.DroppedBy[static_cast<int>(c.Expected)],
                  before.DroppedBy[static_cast<int>(c.Expected)] + 1)
            << c.Name << ": " << ToString(c.Expected);
    }
    EXPECT_TRUE(plugin.Events.empty());

    // Sound on every tree, and a clock ahead of ours is no reason to refuse.
    // (One origin: the same callsign from another region is another pilot.)
    pilot.OnMessage("velmir/v1/local/pos-1/4760_850/P1", good.data(), good.size(), now, wall);
    s.Report.Time = 6.1;
    s.SentAtMicros = wall + 60'000'000;
    EncodeSample(s, good.data());
    pilot.OnMessage("velmir/v1/local/pos-20/238_42/P1", good.data(), good.size(), now, wall);
    EXPECT_EQ(plugin.Events,
              (std::vector<std::string>{"sample 1 0 6.000000", "sample 1 0 6.100000"}));
    EXPECT_EQ(pilot.GetCounters().Dropped, 12u);
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

std::size_t CountPrefix(const std::vector<std::string>& events, const std::string& prefix) {
    return static_cast<std::size_t>(std::count_if(
        events.begin(), events.end(), [&](const auto& e) { return e.rfind(prefix, 0) == 0; }));
}

// A slot holder that misbehaves at 45 Hz for 10 s: the plugin sees a few
// model loads at most, then the pilot is barred; never a sample flood.
TEST_F(PilotFixture, MisbehavingHolderIsCappedAndBarred) {
    struct Case {
        const char* Name;
        int Kind;  // 0 model flips, 1 clock jumps back and forth, 2 in and out of range
    };
    for (const Case& c : {Case{"model flips", 0}, Case{"clock jumps", 1}, Case{"range flips", 2}}) {
        FakeNetwork net;
        FakePlugin shown;
        Pilot p(Options(), net, shown);
        client::PositionReport own;
        own.Time = 50;
        own.Latitude = 47.5;
        own.Longitude = 8.5;
        p.OnOwnPosition(own, now, 1);
        double t = now;
        for (int i = 0; i < 450; ++i) {
            t += 1.0 / 45;
            Sample s;
            s.Report.Time = c.Kind == 1 && i % 2 ? 10.0 : 1000.0 + i / 45.0;
            const double nm = c.Kind == 2 && i % 9 < 4 ? 45 : 10;
            s.Report.Latitude = 47.5 + nm / 60.04;
            s.Report.Longitude = 8.5;
            std::uint8_t b[SampleLayout::Length];
            EncodeSample(s, b);
            p.OnMessage(PositionTopic(CellOf(s.Report.Latitude, 8.5), "P1"), b, sizeof b, t, 0);
            if (i == 0 || c.Kind == 0) {
                std::uint8_t id[IdentityLayout::Length];
                EncodeIdentity(Identity{"P1", "P1", "T", i % 2 ? "a320.acf" : "b737.acf", 0}, id);
                p.OnMessage(IdentityTopic("P1"), id, sizeof id, t, 0);
            }
            if (i % 4 == 0) p.Tick(t);
        }
        p.Tick(t + 0.1);
        EXPECT_LE(CountPrefix(shown.Events, "model"), static_cast<std::size_t>(ShowLimit))
            << c.Name;
        EXPECT_LE(p.GetCounters().Forwarded, 220u) << c.Name;
        EXPECT_GE(p.GetCounters().ShowLimited, 1u) << c.Name;
        EXPECT_EQ(p.SlotsUsed(), 0) << c.Name;
        EXPECT_EQ(shown.Events.back(), "remove 1") << c.Name;
    }
}

// About 20 samples a second reach the plugin per pilot, whatever it sends;
// an honest 10 Hz sender loses none.
TEST_F(PilotFixture, ForwardedSamplesAreCappedPerPilot) {
    struct Case {
        double Hz;
        std::uint64_t Least, Most;
    };
    for (const Case& c : {Case{10, 100, 100}, Case{45, 195, 221}, Case{500, 195, 221}}) {
        FakeNetwork net;
        FakePlugin shown;
        Pilot p(Options(), net, shown);
        client::PositionReport own;
        own.Latitude = 47.5;
        own.Longitude = 8.5;
        p.OnOwnPosition(own, now, 1);
        const int count = static_cast<int>(c.Hz * 10);
        for (int i = 0; i < count; ++i) {
            const double t = now + i / c.Hz;
            Sample s;
            s.Report.Time = 1.0 + i / c.Hz;
            s.Report.Latitude = 47.6;
            s.Report.Longitude = 8.5;
            std::uint8_t b[SampleLayout::Length];
            EncodeSample(s, b);
            p.OnMessage(PositionTopic(Cell{47, 8}, "P1"), b, sizeof b, t, 0);
            if (i == 0) {
                std::uint8_t id[IdentityLayout::Length];
                EncodeIdentity(Identity{"P1", "P1", "T", "c172.acf", 0}, id);
                p.OnMessage(IdentityTopic("P1"), id, sizeof id, t, 0);
                p.Tick(t);
            }
        }
        const Counters& k = p.GetCounters();
        EXPECT_GE(k.Forwarded, c.Least) << c.Hz;
        EXPECT_LE(k.Forwarded, c.Most) << c.Hz;
        EXPECT_EQ(k.Forwarded + k.RateLimited, static_cast<std::uint64_t>(count)) << c.Hz;
    }
}

// Another region's messages for the same callsign never touch our P1:
// clears, a changed identity, samples. They are a pilot of their own.
TEST_F(PilotFixture, AnotherRegionCannotClearOrChangeAPilot) {
    ShowPilot1();
    EXPECT_NE(std::find(network.Log.begin(), network.Log.end(), "sub velmir/v1/local/id/P1"),
              network.Log.end());
    std::uint8_t id[IdentityLayout::Length];
    EncodeIdentity(Identity{"P1", "P1", "T", "a320.acf", 0}, id);
    for (int i = 0; i < 10; ++i) {
        pilot.OnMessage("velmir/v1/b/id/P1", nullptr, 0, now, 0);
        pilot.OnMessage("velmir/v1/b/id/P1", id, sizeof id, now, 0);
        now += 0.6;
        SampleFrom(1, 10, 5.1 + i);
        pilot.Tick(now);
    }
    EXPECT_EQ(CountPrefix(plugin.Events, "remove"), 0u);
    EXPECT_EQ(CountPrefix(plugin.Events, "model"), 0u);
    EXPECT_EQ(CountPrefix(plugin.Events, "sample"), 10u);
}

// 50 pilots, farthest first, into a table of 5: the nearest 5 stay, the
// slot holder is never evicted, and identities are asked for only of
// pilots within reach of a slot.
TEST_F(PilotFixture, TableKeepsTheNearestAndNeverTheHoldersPlace) {
    PilotOptions small = Options();
    small.MaxPilots = 5;
    small.MaxViewRows = 3;
    FakeNetwork net;
    FakePlugin shown;
    Pilot p(small, net, shown);
    client::PositionReport own;
    own.Latitude = 47.5;
    own.Longitude = 8.5;
    p.OnOwnPosition(own, now, 1);
    auto send = [&](int n, double nm) {
        Sample s;
        s.Report.Time = 5.0;
        s.Report.Latitude = 47.5 + nm / 60.04;
        s.Report.Longitude = 8.5;
        std::uint8_t b[SampleLayout::Length];
        EncodeSample(s, b);
        p.OnMessage(PositionTopic(CellOf(s.Report.Latitude, 8.5), "P" + std::to_string(n)), b,
                    sizeof b, now, 0);
    };
    send(1, 30);
    std::uint8_t id[IdentityLayout::Length];
    EncodeIdentity(Identity{"P1", "P1", "T", "c172.acf", 0}, id);
    p.OnMessage(IdentityTopic("P1"), id, sizeof id, now, 0);
    p.Tick(now);
    ASSERT_EQ(p.SlotsUsed(), 1);
    for (int n = 100; n < 150; ++n) send(n, 0.5 + (150 - n) * 1.2);  // 60.5 nm down to 1.7
    EXPECT_EQ(p.Heard(), 5u);
    EXPECT_GE(p.GetCounters().TableFull, 45u);
    const auto rows = p.View(now);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].Callsign, "P149");
    EXPECT_EQ(rows[2].Callsign, "P147");
    p.Tick(now);
    EXPECT_EQ(p.SlotsUsed(), 1);  // P1 kept its place (the others have no identity)
    EXPECT_EQ(shown.Events.size(), 4u);
    // 60.5 to 42.5 nm: too far for a slot, never asked who they are.
    EXPECT_EQ(std::count(net.Log.begin(), net.Log.end(), "sub velmir/v1/local/id/P100"), 0);
    EXPECT_EQ(std::count(net.Log.begin(), net.Log.end(), "sub velmir/v1/local/id/P149"), 1);
}

// Our identity cleared on our own broker while we are here (a dead run's
// last will, or anyone on an open broker) is published again, at most once
// a second; another region's clear, or our own leaving, is not answered.
TEST_F(PilotFixture, OwnIdentityClearedBySomeoneElseIsPublishedAgain) {
    client::ModelReport model;
    model.ModelName = "Aircraft/x.acf";
    pilot.OnOwnModel(model);
    network.Log.clear();
    pilot.OnBrokerConnected();
    const std::size_t connected = network.Published.size();
    EXPECT_EQ(network.Published.back().Topic, "velmir/v1/local/id/ME");
    EXPECT_EQ(network.Log.back(), "sub velmir/v1/local/id/ME");  // watched after publishing

    auto identities = [&] {
        return std::count_if(network.Published.begin() + static_cast<std::ptrdiff_t>(connected),
                             network.Published.end(), [](const FakeNetwork::Sent& m) {
                                 return m.Topic == "velmir/v1/local/id/ME" && m.Data.size() == 332;
                             });
    };
    now += 2;
    pilot.OnMessage("velmir/v1/b/id/ME", nullptr, 0, now, 0);
    EXPECT_EQ(identities(), 0);
    pilot.OnMessage("velmir/v1/local/id/ME", nullptr, 0, now, 0);
    EXPECT_EQ(identities(), 1);
    pilot.OnMessage("velmir/v1/local/id/ME", nullptr, 0, now + 0.1, 0);
    pilot.OnMessage("velmir/v1/local/id/ME", nullptr, 0, now + 0.2, 0);
    pilot.Tick(now + 0.5);
    EXPECT_EQ(identities(), 1);
    pilot.Tick(now + 1.0);
    EXPECT_EQ(identities(), 2);
    pilot.Leave();
    pilot.OnMessage("velmir/v1/local/id/ME", nullptr, 0, now + 3, 0);
    pilot.Tick(now + 3);
    EXPECT_EQ(identities(), 2);
}

}  // namespace
}  // namespace velmir::net
