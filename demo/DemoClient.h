// The demo's client, on a thread of its own: writes the scenario's slot
// folders, connects to the plugin, switches labels on, streams the scenario's
// aircraft at 10 Hz and keeps what the plugin reports about the user
// aircraft. The plugin serves one client at a time, so the same connection
// both injects and listens.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/Client.h"
#include "client/Scenario.h"

namespace velmir::demo {

struct SentSample {
    double Elapsed = 0;  // scenario time the sample describes, s
    double Latitude = 0, Longitude = 0, Altitude = 0;
};

struct UserReport {
    double ReceivedAt = 0;  // client clock, s
    double Latitude = 0, Longitude = 0, Altitude = 0;
    double GroundSpeed = 0;  // m/s
    double Heading = 0;
};

// What the client has done so far. Times are on the client's monotonic clock,
// which the host makes read its simulated time.
struct ClientState {
    bool Connected = false;
    bool Streaming = false;  // StartClock is valid
    double StartClock = 0;   // clock value at scenario time 0
    bool PeerDisconnected = false;
    std::string Error;
    std::uint64_t Sent = 0, SendFailures = 0;
    std::array<std::uint64_t, 14> ReceivedByType{};
    std::uint64_t Undecodable = 0;
    std::string UserTail, UserModel;
    int SimVersion = 0;
    std::vector<std::vector<SentSample>> Samples;  // per scenario aircraft
    std::vector<UserReport> UserReports;
};

struct ClientOptions {
    std::string Host = "127.0.0.1";
    std::string Root;                      // the simulator's folder, where slot folders go
    std::uint8_t LabelFlags = 31;          // name, tail, distance, altitude, speed
    std::uint32_t LabelColour = 0xFFD23C;  // 0xRRGGBB
};

class DemoClient {
  public:
    DemoClient(client::Scenario scenario, ClientOptions options);
    ~DemoClient();
    DemoClient(const DemoClient&) = delete;
    DemoClient& operator=(const DemoClient&) = delete;

    // Writes the slot folders and opens the socket on the calling thread (so
    // a failure is reported at once), then starts streaming on a new thread.
    bool Start(std::string& error);
    // Disconnects (the plugin then removes every remote aircraft) and joins.
    void Stop();

    // A copy; cheap enough a few times a second, not every frame.
    ClientState State() const;
    // The small part, for every frame.
    bool Streaming(double& startClock) const;

  private:
    void Run();
    void Record(const client::Received& received);
    bool SendCounted(const std::uint8_t* data, std::size_t length);

    client::Scenario scenario_;
    ClientOptions options_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    ClientState state_;
    client::Connection link_;  // used by the streaming thread only, once started
};

}  // namespace velmir::demo
