// What one pilot's untrusted-input path and one broker connection cost:
//   velmir_net_benchmarks [--benchmark_filter=...]
// The broker benchmark starts its own mosquitto on a free loopback port.
#include <benchmark/benchmark.h>

#include <poll.h>

#include <array>
#include <chrono>
#include <ctime>
#include <fstream>
#include <cstring>
#include <thread>

#include "net/pilot/Geo.h"
#include "net/pilot/Mqtt.h"
#include "net/pilot/Pilot.h"
#include "net/tests/LocalBroker.h"
#include "net/tests/NullPorts.h"

namespace velmir::net {
namespace {

std::vector<std::uint8_t> SampleBytes(double time) {
    Sample s;
    s.Report.Time = time;
    s.Report.Latitude = 47.55;
    s.Report.Longitude = 8.5;
    std::vector<std::uint8_t> b(SampleLayout::Length);
    EncodeSample(s, b.data());
    return b;
}

void BM_TopicAndSampleDecode(benchmark::State& state) {
    const auto b = SampleBytes(1);
    Topic topic;
    Sample s;
    for (auto _ : state) {
        ParseTopic("velmir/v1/local/pos/47_8/BRAVO", topic);
        benchmark::DoNotOptimize(DecodeSample(b.data(), b.size(), topic.Where, s));
    }
}
BENCHMARK(BM_TopicAndSampleDecode);

// A sample of a slot holder, from the broker's callback to the plugin port.
void BM_PilotSamplePath(benchmark::State& state) {
    NullNetwork network;
    NullPlugin plugin;
    PilotOptions o;
    o.Callsign = "ME";
    Pilot pilot(o, network, plugin);
    client::PositionReport own;
    own.Time = 1;
    own.Latitude = 47.5;
    own.Longitude = 8.5;
    pilot.OnOwnPosition(own, 0, 0);
    auto b = SampleBytes(1);
    pilot.OnMessage("velmir/v1/local/pos/47_8/BRAVO", b.data(), b.size(), 0, 0);
    std::uint8_t id[IdentityLayout::Length];
    EncodeIdentity(Identity{"BRAVO", "B", "T", "m.acf", 0}, id);
    pilot.OnMessage("velmir/v1/local/id/BRAVO", id, sizeof id, 0, 0);
    pilot.Tick(0);
    double time = 1;
    for (auto _ : state) {
        time += 0.1;
        std::memcpy(b.data() + 12, &time, sizeof time);
        // Arriving at its own 10 Hz: every one is forwarded, none capped.
        pilot.OnMessage("velmir/v1/local/pos/47_8/BRAVO", b.data(), b.size(), time, 0);
    }
    state.counters["forwarded"] = double(pilot.GetCounters().Forwarded);
}
BENCHMARK(BM_PilotSamplePath);

// A table flood: 50,000 fake callsigns, each an identity and a sample spread
// over the cells around the listener, into one Pilot. Reports what the
// table keeps (pilots, resident memory) and the CPU time per message.
void BM_TableFlood(benchmark::State& state) {
    constexpr int Fakes = 50000;
    auto residentKb = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6));
        return 0.0;
    };
    std::vector<std::string> topics, idTopics;
    std::vector<std::array<std::uint8_t, SampleLayout::Length>> samples(Fakes);
    std::array<std::uint8_t, IdentityLayout::Length> identity{};
    for (int i = 0; i < Fakes; ++i) {
        const std::string callsign = "F" + std::to_string(i);
        Sample s;
        s.Report.Time = 1;
        s.Report.Latitude = 47.0 + (i % 997) / 997.0 * 1.5;
        s.Report.Longitude = 8.0 + (i % 991) / 991.0;
        EncodeSample(s, samples[i].data());
        topics.push_back(PositionTopic(CellOf(s.Report.Latitude, s.Report.Longitude), callsign));
        idTopics.push_back("velmir/v1/local/id/" + callsign);
    }
    double cpuPerMessage = 0, pilots = 0, grownKb = 0;
    for (auto _ : state) {
        state.PauseTiming();
        NullNetwork network;
        NullPlugin plugin;
        PilotOptions o;
        o.Callsign = "ME";
        Pilot pilot(o, network, plugin);
        client::PositionReport own;
        own.Latitude = 47.5;
        own.Longitude = 8.5;
        pilot.OnOwnPosition(own, 100, 1);
        const double before = residentKb();
        state.ResumeTiming();
        const std::clock_t start = std::clock();
        for (int i = 0; i < Fakes; ++i) {
            EncodeIdentity(Identity{"F" + std::to_string(i), "x", "x", "x.acf", 0},
                           identity.data());
            pilot.OnMessage(topics[i], samples[i].data(), samples[i].size(), 100, 0);
            pilot.OnMessage(idTopics[i], identity.data(), identity.size(), 100, 0);
        }
        pilot.Tick(100);
        cpuPerMessage = double(std::clock() - start) / CLOCKS_PER_SEC / (2.0 * Fakes);
        state.PauseTiming();
        pilots = static_cast<double>(pilot.Heard());
        grownKb = residentKb() - before;
        state.ResumeTiming();
    }
    state.counters["table_pilots"] = pilots;
    state.counters["rss_growth_kB"] = grownKb;
    state.counters["cpu_us_per_msg"] = cpuPerMessage * 1e6;
}
BENCHMARK(BM_TableFlood)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_CellsWithin40Nm(benchmark::State& state) {
    double lat = 47.5;
    for (auto _ : state) {
        lat += 1e-6;
        benchmark::DoNotOptimize(CellsWithin(lat, 8.5, 40));
    }
}
BENCHMARK(BM_CellsWithin40Nm);

// Samples published by one session and delivered to another through a
// local mosquitto, in batches the broker's per-client queue can hold.
void BM_BrokerDelivery(benchmark::State& state) {
    LocalBroker broker;
    MqttSession sender, receiver;
    std::uint64_t delivered = 0;
    receiver.SetMessageHandler(
        [&](const char*, const std::uint8_t*, std::size_t, bool) { ++delivered; });
    BrokerOptions o;
    o.Port = broker.Port();
    std::string error;
    o.ClientId = "bench-tx";
    sender.Start(o, error);
    o.ClientId = "bench-rx";
    receiver.Start(o, error);
    auto service = [&](MqttSession& s) {
        pollfd f{s.Socket(), short(POLLIN | (s.WantsWrite() ? POLLOUT : 0)), 0};
        if (f.fd >= 0) ::poll(&f, 1, 0);
        s.Service(client::MonotonicSeconds(), error);
    };
    for (int i = 0; i < 200 && !(sender.Connected() && receiver.Connected()); ++i) {
        service(sender), service(receiver);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    receiver.Subscribe("velmir/v1/local/pos/47_8/+", 0);
    for (int i = 0; i < 20; ++i) service(receiver), service(sender);
    const auto payload = SampleBytes(1);
    const int batch = 500;
    for (auto _ : state) {
        const std::uint64_t want = delivered + batch;
        for (int i = 0; i < batch; ++i) {
            sender.Publish("velmir/v1/local/pos/47_8/BRAVO", payload.data(), payload.size(), 0,
                           false);
            if (i % 20 == 0) service(sender);
        }
        const double giveUp = client::MonotonicSeconds() + 2;
        while (delivered < want && client::MonotonicSeconds() < giveUp)
            service(sender), service(receiver);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(delivered));
    sender.Disconnect();
    receiver.Disconnect();
}
BENCHMARK(BM_BrokerDelivery)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace velmir::net
