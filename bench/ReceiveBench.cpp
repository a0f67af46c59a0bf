// The receive path against the bare socket: 10,000 queued 120-byte
// position datagrams for slots 1 to 40, drained once by ReceiveLoop (with
// the plugin started, the client connected and the planes held) and once
// by a plain recvfrom loop. The "ratio" counter is ReceiveLoop's time over
// recvfrom's; the goal is at most 1.3.
//
// Needs the plugin's port and a big receive queue: run it inside
// scripts/netns-run as root (SO_RCVBUFFORCE). The label says when the queue
// could not be enlarged, and the counters show how many datagrams it held.
#include "tests/support/LinkedPlugin.h"
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdint>
#include <string>

#include "client/Client.h"
#include "host/Host.h"
#include "link/Connection.h"
#include "plugin/Lifecycle.h"

namespace velmir {
namespace {

constexpr int Queued = 10000;

// The host makes CLOCK_MONOTONIC follow simulated time: time by the raw clock.
double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC_RAW, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

using test::LinkedPlugin;

class Queue {
  public:
    explicit Queue(client::Connection& client) : client_(client) {
        client::PositionReport p;
        p.Latitude = 47.01;
        p.Longitude = 8.01;
        p.Altitude = 1000.0;
        p.Heading = 90.0f;
        p.VelocityX = 60.0f;
        p.RadioAltitude = -1.0f;
        client::Encode(p, datagram_, client.LinkTag());
    }
    // Every sample newer than the last, so each one is applied in full.
    int Fill() {
        int sent = 0;
        for (int i = 0; i < Queued; ++i) {
            Put(datagram_, PositionLayout::AircraftIndex, 1 + i % 40);
            Put(datagram_, PositionLayout::Time, time_ += 0.001);
            sent += client_.SendRaw(datagram_, PositionLayout::Length);
        }
        return sent;
    }

  private:
    client::Connection& client_;
    std::uint8_t datagram_[client::MaxMessageLength] = {};
    double time_ = 1.0;
};

int DrainBare() {
    std::uint8_t buffer[ReceiveBufferSize];
    SocketAddress from;
    int count = 0;
    for (;;) {
        socklen_t length = sizeof from;
        if (recvfrom(Socket, buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT,
                     reinterpret_cast<sockaddr*>(&from), &length) <= 0)
            break;
        ++count;
    }
    return count;
}

void BM_ReceiveLoopVersusRecvfrom(benchmark::State& state) {
    host::Reset();
    host::SetLogEcho(false);
    host::SetJournalEnabled(false);
    host::AttachPlugin(LinkedPlugin());
    host::StartPlugin();
    client::Connection client;
    if (!host::LogContains("Listening") || !client.Open("127.0.0.1", ListenPort)) {
        state.SkipWithError("port 7472 not available: run inside scripts/netns-run");
        host::EndSession();
        return;
    }
    client.Connect(0);
    ReceiveLoop();
    if (!ClientConnected() || !PlanesAcquired) {
        state.SkipWithError("the client did not connect");
        host::EndSession();
        return;
    }
    const int bytes = 64 << 20;
    const bool enlarged = setsockopt(Socket, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0;
    if (!enlarged) setsockopt(Socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);

    Queue queue(client);
    double loopSeconds = 0, bareSeconds = 0;
    long loopDatagrams = 0, bareDatagrams = 0;
    for (auto _ : state) {
        queue.Fill();
        double start = Now();
        bareDatagrams += DrainBare();
        bareSeconds += Now() - start;

        queue.Fill();
        start = Now();
        ReceiveLoop();
        const double elapsed = Now() - start;
        loopSeconds += elapsed;
        loopDatagrams += Queued;
        state.SetIterationTime(elapsed);
    }
    // What the bare loop found is what the queue held; ReceiveLoop drained
    // a queue filled the same way.
    const double iterations = static_cast<double>(state.iterations());
    state.counters["queued"] = static_cast<double>(bareDatagrams) / iterations;
    state.counters["loop_ns"] = 1e9 * loopSeconds / static_cast<double>(bareDatagrams);
    state.counters["recvfrom_ns"] = 1e9 * bareSeconds / static_cast<double>(bareDatagrams);
    state.counters["ratio"] = loopSeconds / bareSeconds;
    std::string label = enlarged ? "" : "receive queue NOT enlarged (needs root); ";
    if (bareDatagrams < loopDatagrams) label += "the queue held fewer than 10000 datagrams";
    state.SetLabel(label);

    host::StopPlugin();
    host::EndSession();
}
BENCHMARK(BM_ReceiveLoopVersusRecvfrom)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmir
