// What one pilot's untrusted-input path and one broker connection cost:
//   velmir_net_benchmarks [--benchmark_filter=...]
// The broker benchmark starts its own mosquitto on a free loopback port.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "net/Geo.h"
#include "net/Mqtt.h"
#include "net/Pilot.h"

namespace velmir::net {
namespace {

struct NullNetwork : NetworkPort {
    bool Publish(const std::string&, const std::uint8_t*, std::size_t, int, bool) override {
        return true;
    }
    void Subscribe(const std::string&, int) override {}
    void Unsubscribe(const std::string&) override {}
};

struct NullPlugin : PluginPort {
    void PrepareSlot(int, const Identity&) override {}
    void SendModel(int, const Identity&) override {}
    void SendSample(int, const client::PositionReport&) override {}
    void RemoveSlot(int) override {}
};

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
        pilot.OnMessage("velmir/v1/local/pos/47_8/BRAVO", b.data(), b.size(), 0, 0);
    }
    state.counters["forwarded"] = double(pilot.GetCounters().Forwarded);
}
BENCHMARK(BM_PilotSamplePath);

void BM_CellsWithin40Nm(benchmark::State& state) {
    double lat = 47.5;
    for (auto _ : state) {
        lat += 1e-6;
        benchmark::DoNotOptimize(CellsWithin(lat, 8.5, 40));
    }
}
BENCHMARK(BM_CellsWithin40Nm);

int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

// Samples published by one session and delivered to another through a
// local mosquitto, in batches the broker's per-client queue can hold.
void BM_BrokerDelivery(benchmark::State& state) {
    const int port = FreePort();
    const std::string conf = "/tmp/velmir-net-bench-" + std::to_string(port) + ".conf";
    std::ofstream(conf) << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
    const pid_t broker = fork();
    if (broker == 0) {
        std::freopen("/dev/null", "w", stderr);  // its log is not ours
        execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    MqttSession sender, receiver;
    std::uint64_t delivered = 0;
    receiver.SetMessageHandler([&](const char*, const std::uint8_t*, std::size_t) { ++delivered; });
    BrokerOptions o;
    o.Port = port;
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
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    std::remove(conf.c_str());
}
BENCHMARK(BM_BrokerDelivery)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace velmir::net
