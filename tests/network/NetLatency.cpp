// velmir-net-latency: how long one plugin's position report takes to reach
// the other plugin as a remote aircraft's position, through two velmir-net
// processes and a mosquitto on loopback. Two stand-in plugins (UDP sockets
// speaking the plugin's side of the protocol) report their user aircraft ten
// times a second; every report's latitude is unique, so the sample that
// arrives at the other side names the report it came from.
//
//   scripts/netns-run build/tests/network/velmir-net-latency --net build/net/velmir-net
//       [--seconds 20] [--max-p99 MS]
//
// Prints the median, 99th percentile and maximum in milliseconds, and the
// bytes a second each velmir-net sent its plugin; exit 1 when fewer than half
// the reports arrived or the 99th percentile exceeds --max-p99 (default 50).
// Needs a network namespace of its own (the ports are fixed), hence netns-run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "client/Client.h"

extern char** environ;

namespace {

namespace client = velmir::client;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// One stand-in plugin: a UDP socket on 127.0.0.1:port that answers the
// client that connected last, as the plugin does.
struct FakePlugin {
    int fd = -1;
    sockaddr_in peer{};
    bool connected = false;
    uint16_t tag = velmir::InitialLinkTag;
    double lat = 0, lon = 0;
    int sequence = 0;
    std::map<long long, double> sentAt;  // latitude in 1e-9 degrees -> when
    uint64_t bytesIn = 0;

    bool Open(uint16_t port) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    template <class T>
    void Send(const T& message) {
        uint8_t buffer[client::MaxMessageLength];
        const size_t n = client::Encode(message, buffer, tag);
        sendto(fd, buffer, n, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    }
    int reports = 0;

    // Position ten times a second, the model every 4 s from the first on.
    void Report(const std::string& callsign) {
        if (!connected) return;
        if (reports++ % 40 == 0) {
            client::ModelReport m;
            m.DisplayName = m.TailNumber = callsign;
            m.ModelName = "Aircraft/Laminar Research/Cessna 172SP/Cessna_172SP.acf";
            Send(m);
        }
        client::PositionReport p;
        p.Time = Now();
        // Unique, and flying north at 50 m/s side by side: velmir-net sends
        // slow or standing aircraft at lower rates (docs/network.md).
        p.Latitude = lat + ++sequence * 4.5e-5;
        p.Longitude = lon;
        p.Altitude = 1000;
        p.VelocityZ = -50.0f;
        sentAt[std::llround(p.Latitude * 1e9)] = Now();
        Send(p);
    }
    // Reads every waiting datagram; returns the latency of each remote
    // aircraft sample whose report `from` sent.
    void Drain(const FakePlugin& from, std::vector<double>& latencies) {
        uint8_t buffer[2048];
        sockaddr_in source{};
        socklen_t length = sizeof source;
        ssize_t n;
        while ((n = recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&source), &length)) > 0) {
            const double at = Now();
            bytesIn += static_cast<uint64_t>(n);
            const client::Decoded d = client::DecodeAny(buffer, static_cast<size_t>(n));
            if (!d.Ok()) continue;
            if (std::holds_alternative<client::ConnectRequest>(d.Value)) {
                peer = source;
                connected = true;
                tag = static_cast<uint16_t>(0x0B | (buffer[1] << 8));
            } else if (const auto* p = std::get_if<client::PositionReport>(&d.Value)) {
                const auto sent = from.sentAt.find(std::llround(p->Latitude * 1e9));
                if (p->AircraftIndex != 0 && sent != from.sentAt.end())
                    latencies.push_back((at - sent->second) * 1000);
            }
            length = sizeof source;
        }
    }
};

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"End-to-end latency of position reports between two plugins through the broker"};
    std::string net, mosquitto = "mosquitto", dir = "/tmp";
    double seconds = 20, maxP99 = 50;
    app.add_option("--net", net, "velmir-net to run")->required();
    app.add_option("--mosquitto", mosquitto, "broker program");
    app.add_option("--seconds", seconds, "measuring time after 3 s of warm-up");
    app.add_option("--max-p99", maxP99, "largest 99th percentile accepted, ms");
    app.add_option("--dir", dir, "where the two simulator folders go");
    CLI11_PARSE(app, argc, argv);

    FakePlugin a, b;
    a.lat = b.lat = 47.2;
    a.lon = 8.2;
    b.lon = 8.21;
    if (!a.Open(17001) || !b.Open(17002)) {
        std::perror("velmir-net-latency: ports 17001/17002 (run it under scripts/netns-run)");
        return 1;
    }
    const std::string rootA = dir + "/latency-a", rootB = dir + "/latency-b";
    std::error_code ignored;
    std::filesystem::create_directories(rootA, ignored);
    std::filesystem::create_directories(rootB, ignored);
    // Staying the user it was started as: in a user namespace (netns-run
    // without root) the mapped root cannot switch to the mosquitto user.
    const std::string config = dir + "/latency-mosquitto.conf";
    if (FILE* f = std::fopen(config.c_str(), "w")) {
        std::fputs("listener 18830 127.0.0.1\nallow_anonymous true\nuser root\n", f);
        std::fclose(f);
    }
    std::vector<pid_t> children = {Spawn({mosquitto, "-c", config})};
    if (children[0] < 0) {
        std::fprintf(stderr, "velmir-net-latency: cannot start %s\n", mosquitto.c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (auto [callsign, root, port] :
         {std::tuple{"LAT-A", rootA, "17001"}, std::tuple{"LAT-B", rootB, "17002"}})
        children.push_back(
            Spawn({net, "join", "--broker", "127.0.0.1:18830", "--callsign", callsign, "--root",
                   root, "--plugin", std::string("127.0.0.1:") + port, "--json"}));

    std::vector<double> latencies, warmUp;
    const double start = Now(), measureFrom = start + 3, end = measureFrom + seconds;
    double nextReport = start;
    uint64_t bytesAtStart = 0;
    while (Now() < end) {
        const double now = Now();
        if (now >= nextReport) {
            a.Report("LAT-A");
            b.Report("LAT-B");
            nextReport += 0.1;
        }
        if (bytesAtStart == 0 && now >= measureFrom) bytesAtStart = a.bytesIn + b.bytesIn + 1;
        a.Drain(b, now >= measureFrom ? latencies : warmUp);
        b.Drain(a, now >= measureFrom ? latencies : warmUp);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    for (pid_t pid : children)
        if (pid > 0) kill(pid, SIGTERM);
    for (pid_t pid : children)
        if (pid > 0) waitpid(pid, nullptr, 0);

    std::printf(
        "plugin report -> velmir-net -> mosquitto -> velmir-net -> plugin, on loopback:\n"
        "  %zu samples in %.0f s: median %.2f ms, p99 %.2f ms, max %.2f ms\n"
        "  velmir-net to its plugin: %.0f bytes a second each\n",
        latencies.size(), seconds, Percentile(latencies, 0.5), Percentile(latencies, 0.99),
        latencies.empty() ? NAN : *std::max_element(latencies.begin(), latencies.end()),
        (a.bytesIn + b.bytesIn - (bytesAtStart - 1)) / 2.0 / seconds);
    // At least half of what two sides reporting ten times a second sent.
    const bool ok = latencies.size() >= seconds * 10 && Percentile(latencies, 0.99) <= maxP99;
    if (!ok) std::printf("FAILED: reports lost, or slower than %.0f ms\n", maxP99);
    return ok ? 0 : 1;
}
