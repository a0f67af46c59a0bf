// A pilot "ME" driven through fake ports that record what it publishes,
// subscribes to and tells the plugin, and others reported to it by hand.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/pilot/Geo.h"
#include "net/pilot/Pilot.h"
#include "net/tests/OwnPilot.h"

namespace velmir::net {

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

}  // namespace velmir::net
