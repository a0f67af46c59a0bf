#include "net/load/Load.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <ostream>
#include <queue>

#include "client/Platform.h"
#include "net/load/Headroom.h"
#include "net/load/LoadPilot.h"

namespace velmir::net {

namespace {

using namespace load;

constexpr double SampleSeconds = 0.1;  // the plugin reports ten times a second
// join chooses its 40 ten times a second; a thousand pilots doing that in
// one process would take the CPU the broker is measured on, and the choice
// sends nothing to the network, so synthetic pilots choose twice a second.
constexpr double TickSeconds = 0.5;
constexpr double ConnectSeconds = 20.0;
constexpr double DrainSeconds = 1.0;
constexpr std::int64_t MarginMicros = 1000000;  // subscribing takes effect within this

double Percentile(std::vector<float>& v, double p) {
    if (v.empty()) return 0;
    const auto k = static_cast<std::size_t>(std::min<double>(v.size() - 1, p * v.size()));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

// Services every session that has something to do; all of them when `all`.
void ServiceAll(Fleet& fleet, std::vector<platform::PollSocket>& fds, double now, bool all) {
    std::string error;
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        if (!all && !fds[i].Readable && !fds[i].Writable) continue;
        FailoverSession& s = fleet[i]->Session();
        s.Service(now, error);
        // The client library reads one message per call: take what is
        // waiting now rather than one per pass over a thousand sockets.
        for (int k = 0; k < 64 && s.Socket() >= 0 && platform::BytesWaiting(s.Socket()) > 0; ++k)
            s.Service(now, error);
        if (s.TakeJustConnected()) fleet[i]->OnConnected();
    }
}

void Poll(Fleet& fleet, std::vector<platform::PollSocket>& fds, int timeoutMs) {
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        FailoverSession& s = fleet[i]->Session();
        fds[i].Socket = s.Socket();
        fds[i].Read = true;
        fds[i].Write = s.WantsWrite();
    }
    platform::Poll(fds.data(), fds.size(), std::max(0, timeoutMs));
}

}  // namespace

int RunLoad(const LoadOptions& o, LoadFigures& f, std::ostream& log) {
    // A socket per pilot: lift the soft limit on open files as far as allowed.
    platform::RaiseOpenFileLimit();
    const int brokerCount = static_cast<int>(o.Brokers.size());
    Books books;
    books.Pairs.assign(static_cast<std::size_t>(brokerCount * brokerCount), 0);
    Fleet fleet;
    const std::vector<Flight> flights = MakeFlights(o.Pilots, o.Seed);
    int roles[6] = {};
    for (int i = 0; i < o.Pilots; ++i) {
        const int home = o.Spread ? i % brokerCount : 0;
        std::vector<BrokerOptions> list;
        for (int k = 0; k < brokerCount; ++k) {
            const BrokerAddress& a = o.Brokers[(home + k) % brokerCount];
            BrokerOptions b;
            b.Host = a.Host;
            b.Port = a.Port;
            b.ClientId = "load-" + std::to_string(o.Seed % 100000) + "-" + std::to_string(i);
            b.WillTopic = IdentityTopic(CallsignOf(i));
            list.push_back(b);
        }
        fleet.push_back(std::make_unique<SyntheticPilot>(i, flights[i], std::move(list), home,
                                                         brokerCount, o.RadiusNm, books, fleet));
        ++roles[static_cast<int>(flights[i].Kind)];
    }
    log << "load: " << o.Pilots << " pilots:";
    for (int r = 0; r < 6; ++r) log << " " << ToString(static_cast<Role>(r)) << "=" << roles[r];
    log << "\n";

    std::string error;
    const double start = client::MonotonicSeconds();
    for (auto& p : fleet) p->Session().Start(start, error);
    std::vector<platform::PollSocket> fds(fleet.size());
    auto connected = [&] {
        int n = 0;
        for (auto& p : fleet) n += p->Session().Connected();
        return n;
    };
    while (connected() < o.Pilots && client::MonotonicSeconds() - start < ConnectSeconds) {
        Poll(fleet, fds, 20);
        ServiceAll(fleet, fds, client::MonotonicSeconds(), true);
    }
    f.Pilots = o.Pilots;
    f.Connected = connected();
    log << "load: " << f.Connected << " of " << o.Pilots << " connected in "
        << client::MonotonicSeconds() - start << " s\n";
    if (f.Connected < o.Pilots) return 1;

    // Samples and ticks, each pilot at its own phase within the 0.1 s.
    struct Event {
        double Due;
        int Pilot;
        bool Tick;
        bool operator>(const Event& e) const { return Due > e.Due; }
    };
    std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events;
    const double t0 = client::MonotonicSeconds();
    for (int i = 0; i < o.Pilots; ++i) {
        events.push({t0 + SampleSeconds * (i % 97) / 97.0, i, false});
        events.push({t0 + TickSeconds * (i % 89) / 89.0, i, true});
    }
    // The warm-up (everyone joining at once, subscribing, fetching the
    // retained identities of everyone heard) is flown but not counted: on a
    // real network pilots do not all join in the same second.
    std::int64_t wallStart = 0;
    double cpuStart = 0, brokerCpuStart = -1, nextAll = t0, now = t0;
    auto brokerCpu = [&] {
        return o.BrokerPid > 0 ? platform::OtherProcessCpuSeconds(o.BrokerPid) : -1.0;
    };
    const double measureFrom = t0 + o.WarmUpSeconds, end = measureFrom + o.Seconds;
    while (now < end + DrainSeconds) {
        if (!books.Measuring && now >= measureFrom) {
            books.Measuring = true;
            books.Start = wallStart = load::WallMicros();
            cpuStart = platform::ProcessCpuSeconds();
            brokerCpuStart = brokerCpu();
        }
        const double due = events.empty() ? now + 0.01 : events.top().Due;
        // Whole milliseconds, rounded up: a zero timeout would spin.
        Poll(fleet, fds, static_cast<int>(std::ceil(std::clamp((due - now) * 1000.0, 0.0, 10.0))));
        now = client::MonotonicSeconds();
        ServiceAll(fleet, fds, now, now >= nextAll);
        if (now >= nextAll) nextAll = now + 0.1;
        while (!events.empty() && events.top().Due <= now) {
            Event e = events.top();
            events.pop();
            if (e.Tick) {
                fleet[e.Pilot]->Tick(now);
            } else if (e.Due < end) {
                fleet[e.Pilot]->Sample(e.Due - t0, now);
            } else {
                continue;  // draining: no more samples
            }
            e.Due += e.Tick ? TickSeconds : SampleSeconds;
            events.push(e);
        }
    }
    books.Measuring = false;
    const std::int64_t wallEnd = load::WallMicros();
    const double brokerCpuEnd = brokerCpuStart >= 0 ? brokerCpu() : -1.0;
    if (brokerCpuEnd >= brokerCpuStart && brokerCpuStart >= 0)
        f.BrokerCpuSeconds = brokerCpuEnd - brokerCpuStart;
    log << "load: warm-up " << o.WarmUpSeconds << " s, measured " << o.Seconds << " s\n";
    f.CpuSeconds = platform::ProcessCpuSeconds() - cpuStart;
    f.Seconds = o.Seconds;

    const LoadLedger::Totals t = books.Ledger.Settle(
        wallStart, wallStart + static_cast<std::int64_t>(o.Seconds * 1e6), MarginMicros);
    f.Published = books.Published;
    f.Delivered = books.Latency.size();  // every sample from another pilot
    f.Expected = t.Owed;
    f.Lost = t.Lost;
    f.Duplicates = t.Duplicates;
    f.Echoes = books.Echoes;
    for (auto& p : fleet) f.Skipped += p->Skipped();
    f.CrossDelivered = books.CrossLatency.size();
    f.P50Ms = Percentile(books.Latency, 0.50);
    f.P99Ms = Percentile(books.Latency, 0.99);
    f.MaxMs = Percentile(books.Latency, 1.0);
    f.CrossP50Ms = Percentile(books.CrossLatency, 0.50);
    f.CrossP99Ms = Percentile(books.CrossLatency, 0.99);
    const double span = double(wallEnd - wallStart) / 1e6;
    f.WallSeconds = span;
    f.BrokerMessagesPerSecond = double(books.Messages) / span;
    f.UpBytesPerPilot = double(books.UpBytes) / span / o.Pilots;
    f.DownBytesPerPilot = double(books.DownBytes) / span / o.Pilots;
    f.MovedByHome.assign(brokerCount, 0);
    for (auto& p : fleet) f.MovedByHome[p->Home] += p->Session().Moves() > 0;

    for (auto& p : fleet) p->Leave();
    log << "p99_ms by second:";
    for (auto& v : books.BySecond) log << " " << static_cast<int>(Percentile(v, 0.99));
    log << "\n";
    log << "owed per second by tier:";
    for (const auto& [level, owed] : t.OwedByLevel) log << " " << level << "=" << owed / o.Seconds;
    log << "\n";
    std::uint64_t dropped = 0;
    for (auto& p : fleet) dropped += p->Dropped();
    log << "load: samples the pilots refused: " << dropped << "\n";
    for (int b = 0; b < brokerCount; ++b)
        log << "moved home=" << static_cast<char>('a' + b) << " count=" << f.MovedByHome[b] << "\n";
    if (brokerCount > 1)
        for (int from = 0; from < brokerCount; ++from)
            for (int to = 0; to < brokerCount; ++to)
                log << "heard from=" << static_cast<char>('a' + from)
                    << " to=" << static_cast<char>('a' + to)
                    << " count=" << books.Pairs[static_cast<std::size_t>(from * brokerCount + to)]
                    << "\n";
    char line[512];
    std::snprintf(
        line, sizeof line,
        "owed=%llu unowed=%llu duplicates=%llu echoes=%llu still_skipped=%llu "
        "max_ms=%.1f cross_broker_seen=%s cross_delivered=%llu cross_p50_ms=%.1f "
        "cross_p99_ms=%.1f up_bytes_per_pilot_s=%.0f down_bytes_per_pilot_s=%.0f "
        "load_cpu_s=%.1f broker_cpu_s=%s broker_cpu_pct=%s\n",
        (unsigned long long)t.Owed, (unsigned long long)t.Unowed, (unsigned long long)t.Duplicates,
        (unsigned long long)f.Echoes, (unsigned long long)f.Skipped, f.MaxMs,
        f.CrossDelivered ? "yes" : "no", (unsigned long long)f.CrossDelivered, f.CrossP50Ms,
        f.CrossP99Ms, f.UpBytesPerPilot, f.DownBytesPerPilot, f.CpuSeconds,
        FigureText(f.BrokerCpuSeconds, 2).c_str(),
        FigureText(f.BrokerCpuSeconds < 0 ? -1 : 100 * f.BrokerCpuSeconds / span, 0).c_str());
    log << line;
    return 0;
}

std::string SummaryLine(const LoadFigures& f) {
    const Headroom h = WeighLoad(f.Pilots, f.BrokerMessagesPerSecond,
                                 f.WallSeconds > 0 ? double(f.Delivered) / f.WallSeconds : 0,
                                 f.BrokerCpuSeconds, f.WallSeconds, f.RelayPerCpuSecond);
    char line[512];
    std::snprintf(line, sizeof line,
                  "pilots=%d published=%llu delivered=%llu lost=%llu p50_ms=%.1f p99_ms=%.1f "
                  "broker_msgs_per_s=%.0f relay_msgs_per_cpu_s=%s broker_cpu_s_per_pilot_s=%s "
                  "relay_share_pct=%s half_share_pilots_est=%s",
                  f.Pilots, (unsigned long long)f.Published, (unsigned long long)f.Delivered,
                  (unsigned long long)f.Lost, f.P50Ms, f.P99Ms, f.BrokerMessagesPerSecond,
                  FigureText(h.RelayPerCpuSecond, 0).c_str(),
                  FigureText(h.BrokerCpuPerPilotSecond, 6).c_str(),
                  FigureText(h.SharePercent, 3).c_str(), FigureText(h.HalfSharePilots, 0).c_str());
    return line;
}

}  // namespace velmir::net
