// End-to-end harness: the built lin.xpl loaded by the simulator host as the
// simulator loads it, and the reference client talking to it over real UDP
// on loopback (each test process has a network namespace of its own).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/Client.h"
#include "host/Host.h"

// Where this build put them (generated beside the objects).
extern const char* const VelmirXplPath;
extern const char* const VelmirSourceDir;

namespace velmir::e2e {

// Everything the connection has received so far, kept in `into`.
inline void Drain(client::Connection& connection, std::vector<client::Received>& into) {
    while (auto datagram = connection.Receive(0)) into.push_back(std::move(*datagram));
}

class PluginTest : public ::testing::Test {
  protected:
    host::Session session;
    client::Connection client;
    std::vector<client::Received> received;

    void SetUp() override {
        host::SetLogEcho(false);
        Configure();
        std::string error;
        ASSERT_TRUE(host::LoadAndStart(VelmirXplPath, &error)) << error;
        ASSERT_TRUE(client.Open("127.0.0.1", 7472)) << client.LastError();
    }
    void TearDown() override {
        if (host::Plugin().started) host::StopPlugin();
    }
    // Host settings to apply before the plugin starts.
    virtual void Configure() {}

    // Runs simulated frames, keeping everything the client receives.
    void Pump(double seconds) {
        const int frames = static_cast<int>(seconds * host::Fps() + 0.5);
        for (int i = 0; i < frames; ++i) {
            host::RunFrame();
            Drain(client, received);
        }
    }

    // Runs frames until the receive loop (inside the 0.1 s report loop) has
    // run `calls` more times.
    static void RunReceivePasses(int calls) {
        const int target = ReceivePasses() + calls;
        while (ReceivePasses() < target) host::RunFrame();
    }
    static int ReceivePasses() {
        for (const auto& loop : host::FlightLoops())
            if (loop.registeredInterval > 0.09f && loop.registeredInterval < 0.11f)
                return loop.calls;
        return -1;
    }

    std::vector<client::Received> OfType(std::uint8_t type) const {
        std::vector<client::Received> out;
        for (const auto& r : received)
            if (r.Raw.size() >= 24 && r.Raw[23] == type) out.push_back(r);
        return out;
    }

    // Index of the first log line containing text, or -1.
    static int LogIndex(const std::string& text, int from = 0) {
        const auto lines = host::LogLines();
        for (int i = from; i < static_cast<int>(lines.size()); ++i)
            if (lines[i].find(text) != std::string::npos) return i;
        return -1;
    }

    void ConnectClient(std::uint8_t tag = 0) {
        ASSERT_TRUE(client.Connect(tag));
        RunReceivePasses(1);
        ASSERT_TRUE(host::LogContains("Velmir: Client connected."));
    }
};

}  // namespace velmir::e2e
