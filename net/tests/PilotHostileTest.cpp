// Input from pilots that misbehave or attack: refused and counted, capped,
// barred, never forwarded to the plugin, never able to push out the nearest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/tests/PilotFixture.h"

namespace velmir::net {
namespace {

std::size_t CountPrefix(const std::vector<std::string>& events, const std::string& prefix) {
    return static_cast<std::size_t>(std::count_if(
        events.begin(), events.end(), [&](const auto& e) { return e.rfind(prefix, 0) == 0; }));
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
        PlaceOwn(p, 50);
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
        PlaceOwn(p, 0);
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
    PlaceOwn(p, 0);
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
