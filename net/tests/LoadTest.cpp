// The load generator's books and its synthetic traffic: what counts as owed
// and lost, and that every synthetic pilot flies something the network
// accepts, where it should. Then the broker's headroom: the load as a share
// of the bare relay, where that reaches half, and the summary line.
#include <gtest/gtest.h>

#include <cmath>

#include "net/pilot/Geo.h"
#include "net/load/Headroom.h"
#include "net/load/Load.h"
#include "net/load/LoadLedger.h"
#include "net/load/LoadTraffic.h"
#include "net/pilot/Wire.h"

namespace velmir::net {
namespace {

TEST(NetLoad, LedgerOwesWhatASubscriberWasListeningFor) {
    LoadLedger ledger;
    const int a = ledger.Channel("pos-1/4746_854"), b = ledger.Channel("pos/47_8");
    EXPECT_EQ(ledger.Channel("pos-1/4746_854"), a);
    const std::int64_t s = 1000000;  // one second; margin below
    ledger.Subscribed(1, a, 10 * s);
    ledger.Subscribed(1, a, 11 * s);  // again (after a reconnect): the same window
    ledger.Unsubscribed(1, a, 20 * s);
    ledger.Subscribed(2, b, 10 * s);

    ledger.Published(a, 7, 1, 10 * s + s / 2);  // within the margin after subscribing: not owed
    ledger.Published(a, 7, 2, 12 * s);          // owed to 1
    ledger.Published(a, 7, 3, 13 * s);          // owed to 1, never arrives
    ledger.Published(a, 1, 4, 14 * s);          // 1's own: owed to nobody
    ledger.Published(a, 7, 5, 19 * s + s / 2);  // within the margin before leaving
    ledger.Published(a, 7, 6, 25 * s);          // after leaving
    ledger.Published(b, 7, 7, 15 * s);          // owed to 2, arrives twice
    ledger.Published(b, 7, 8, 40 * s);          // outside the settled span

    ledger.Delivered(1, a, 7, 1, 10 * s + s / 2);  // came although not owed
    ledger.Delivered(1, a, 7, 2, 12 * s);
    ledger.Delivered(2, b, 7, 7, 15 * s);
    ledger.Delivered(2, b, 7, 7, 15 * s);

    const LoadLedger::Totals t = ledger.Settle(0, 30 * s, s);
    EXPECT_EQ(t.Owed, 3u);
    EXPECT_EQ(t.Received, 2u);
    EXPECT_EQ(t.Lost, 1u);
    EXPECT_EQ(t.Duplicates, 1u);
    EXPECT_EQ(t.Unowed, 1u);
    EXPECT_EQ(t.OwedByLevel.at("pos-1"), 2u);
    EXPECT_EQ(t.OwedByLevel.at("pos"), 1u);
}

TEST(NetLoad, SyntheticPilotsFlyValidSamplesAroundTheirAirports) {
    const std::vector<Flight> flights = MakeFlights(4000, 42);
    ASSERT_EQ(flights.size(), 4000u);
    const std::vector<Flight> again = MakeFlights(4000, 42);
    int roles[6] = {};
    for (std::size_t i = 0; i < flights.size(); ++i) {
        ASSERT_EQ(flights[i].Kind, again[i].Kind);  // the seed decides everything
        ASSERT_EQ(flights[i].Phase, again[i].Phase);
        ++roles[static_cast<int>(flights[i].Kind)];
    }
    // 60 % at airports (40 % of them parked), 40 % en route; a few points slack.
    EXPECT_NEAR(roles[static_cast<int>(Role::EnRoute)] / 4000.0, 0.40, 0.03);
    EXPECT_NEAR(roles[static_cast<int>(Role::Parked)] / 4000.0, 0.24, 0.03);
    for (int r = 0; r < 6; ++r) EXPECT_GT(roles[r], 0) << ToString(static_cast<Role>(r));

    for (std::size_t i = 0; i < flights.size(); i += 7) {
        const Flight& f = flights[i];
        const Airport& home = BusyAirports()[f.From];
        for (double t : {0.0, 37.3, 1234.5}) {
            const client::PositionReport r = FlightSample(f, t);
            const client::PositionReport next = FlightSample(f, t + 0.1);
            Sample s;
            s.Report = r;
            s.Report.Time = 100.0 + t;  // stamped by the caller
            std::uint8_t payload[SampleLayout::Length];
            EncodeSample(s, payload);
            Sample back;
            ASSERT_EQ(DecodeSample(payload, sizeof payload, CellOf(r.Latitude, r.Longitude), back),
                      DropReason::None)
                << ToString(f.Kind) << " pilot " << i << " at " << t;
            const double speed = std::hypot(r.VelocityX, r.VelocityZ);
            const double low = f.Kind == Role::Parked ? 0.0 : f.Kind == Role::Taxi ? 0.5 : 15.0;
            const double high = f.Kind == Role::Parked ? 0.0 : f.Kind == Role::Taxi ? 15.0 : 300.0;
            EXPECT_GE(speed, low) << ToString(f.Kind);
            EXPECT_LE(speed, high) << ToString(f.Kind);
            if (f.Kind != Role::EnRoute) {
                EXPECT_LT(DistanceNm(home.Latitude, home.Longitude, r.Latitude, r.Longitude), 41.0)
                    << ToString(f.Kind);
            }
            // The samples move as their velocity says (turn-arounds aside).
            const double moved =
                DistanceNm(r.Latitude, r.Longitude, next.Latitude, next.Longitude) * 1852.0;
            EXPECT_NEAR(moved, speed * 0.1, 0.05 * speed + 0.01) << ToString(f.Kind);
        }
    }
}

TEST(NetLoad, HeadroomIsTheLoadAsAShareOfTheBareRelay) {
    EXPECT_DOUBLE_EQ(PerCpuSecond(300000, 2.0), 150000);
    EXPECT_LT(PerCpuSecond(300000, 0), 0);  // the broker's CPU time did not move: unknown
    EXPECT_LT(PerCpuSecond(300000, -1), 0);

    // 1,000 pilots: 65,000 messages a second, 52,000 of them samples heard
    // from others; the broker 8.4 CPU-seconds over 21 s; it relays 170,000
    // per CPU-second.
    Headroom h = WeighLoad(1000, 65000, 52000, 8.4, 21, 170000);
    EXPECT_DOUBLE_EQ(h.RelayPerCpuSecond, 170000);
    EXPECT_NEAR(h.BrokerCpuPerPilotSecond, 0.0004, 1e-12);
    EXPECT_NEAR(h.SharePercent, 38.235, 0.001);
    // 13 per pilot plus 52,000 / (1000 * 999) per pair reach 85,000 at 1,159.5.
    EXPECT_NEAR(h.HalfSharePilots, 1159.54, 0.01);
    // Not the square of N alone: pilots do not hear themselves.
    EXPECT_NEAR(PilotsAtShare(13, 52000.0 / 999000, 170000, 65000.0 / 170000), 1000, 1e-6);

    // Above half already: the estimate lies below the measured count.
    EXPECT_LT(WeighLoad(2000, 140000, 120000, 20, 21, 170000).HalfSharePilots, 2000);
    // Nobody hears anybody: the share grows with N alone.
    EXPECT_NEAR(PilotsAtShare(10, 0, 100000, 0.5), 5000, 1e-9);
    EXPECT_NEAR(WeighLoad(1, 10, 0, 0.01, 1, 100000).HalfSharePilots, 5000, 1e-9);
    EXPECT_LT(PilotsAtShare(0, 0, 100000, 0.5), 0);

    // What cannot be known stays unknown; the rest is still given.
    h = WeighLoad(1000, 65000, 52000, -1, 21, 170000);
    EXPECT_LT(h.BrokerCpuPerPilotSecond, 0);
    EXPECT_NEAR(h.SharePercent, 38.235, 0.001);
    h = WeighLoad(1000, 65000, 52000, 8.4, 21, -1);
    EXPECT_NEAR(h.BrokerCpuPerPilotSecond, 0.0004, 1e-12);
    EXPECT_LT(h.SharePercent, 0);
    EXPECT_LT(h.HalfSharePilots, 0);
    EXPECT_LT(WeighLoad(0, 0, 0, 1, 21, 170000).HalfSharePilots, 0);
}

TEST(NetLoad, SummaryLineKeepsItsFieldsAndAddsTheHeadroom) {
    LoadFigures f;
    f.Pilots = 1000;
    f.Published = 153338;
    f.Delivered = 1092000;  // 52,000 a second over 21 s
    f.Lost = 0;
    f.P50Ms = 1.06;
    f.P99Ms = 5.44;
    f.BrokerMessagesPerSecond = 65000;
    f.WallSeconds = 21;
    f.BrokerCpuSeconds = 8.4;
    f.RelayPerCpuSecond = 170000;
    EXPECT_EQ(
        SummaryLine(f),
        "pilots=1000 published=153338 delivered=1092000 lost=0 p50_ms=1.1 p99_ms=5.4 "
        "broker_msgs_per_s=65000 relay_msgs_per_cpu_s=170000 "
        "broker_cpu_s_per_pilot_s=0.000400 relay_share_pct=38.235 half_share_pilots_est=1160");
    f.BrokerCpuSeconds = -1;
    f.RelayPerCpuSecond = -1;
    EXPECT_EQ(SummaryLine(f),
              "pilots=1000 published=153338 delivered=1092000 lost=0 p50_ms=1.1 p99_ms=5.4 "
              "broker_msgs_per_s=65000 relay_msgs_per_cpu_s=unknown "
              "broker_cpu_s_per_pilot_s=unknown relay_share_pct=unknown "
              "half_share_pilots_est=unknown");
}

}  // namespace
}  // namespace velmir::net
