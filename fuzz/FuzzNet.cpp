// Whatever arrives from the broker, a pilot must refuse it or pass on only
// sound samples: never a crash, never a NaN or an out-of-range position or
// slot towards the plugin, and every refusal counted once.
//
// An input is a sequence of messages, each: one byte topic length, the
// topic, two bytes payload length (little-endian, 15 bits; the top bit is
// MQTT's retain flag), the payload. A pilot
// (own aircraft at 47.5, 8.5, two slots so that slots change hands) takes
// them in turn, with a Tick and 0.7 s of time between messages.
//
//   velmir_net_fuzz_seeds DIR   writes the seed inputs.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/pilot/Aircraft.h"
#include "net/pilot/Pilot.h"

namespace velmir::net {
namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "velmir fuzz: %s\n", what);
    std::abort();
}

struct NullNetwork : NetworkPort {
    bool Publish(const std::string&, const std::uint8_t*, std::size_t, int, bool) override {
        return true;
    }
    void Subscribe(const std::string& f, int) override { Check(!f.empty(), "empty filter"); }
    void Unsubscribe(const std::string&) override {}
};

struct CheckingPlugin : PluginPort {
    int Slots = 2;
    void PrepareSlot(int slot, const Identity& id) override {
        Check(slot >= 1 && slot <= Slots, "slot out of range");
        Check(IsValidCallsign(id.Callsign), "bad callsign shown");
        // What a version-2 identity says reaches the matcher and the
        // display: each empty or well formed, and nothing said by version 1.
        Check(id.IcaoType.empty() || IsValidIcaoType(id.IcaoType), "bad type shown");
        Check(id.Airline.empty() || IsValidAirline(id.Airline), "bad operator shown");
        Check(id.Livery.empty() || IsValidLivery(id.Livery), "bad livery shown");
        Check(id.Described || (id.IcaoType.empty() && id.Airline.empty() && id.Livery.empty()),
              "version 1 said more than it can");
    }
    void SendModel(int slot, const Identity& id) override {
        Check(slot >= 1 && slot <= Slots, "slot out of range");
        Check(id.ModelName.size() < 256 && id.TailNumber.size() < 40, "over-long text");
        for (char c : id.DisplayName + id.TailNumber + id.ModelName)
            Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "control byte in a text");
    }
    // The documented limits, written out here so that a check dropped or
    // widened in the decoder shows up.
    void SendSample(const client::PositionReport& r) override {
        Check(r.AircraftIndex >= 1 && r.AircraftIndex <= Slots, "sample slot");
        const double numbers[] = {r.Time,      r.Latitude,     r.Longitude, r.Altitude, r.VelocityX,
                                  r.VelocityY, r.VelocityZ,    r.Pitch,     r.Bank,     r.Heading,
                                  r.PitchRate, r.YawRate,      r.RollRate,  r.AccelX,   r.AccelY,
                                  r.AccelZ,    r.RadioAltitude};
        for (double v : numbers) Check(std::isfinite(v), "non-finite number forwarded");
        Check(std::fabs(r.Latitude) <= 90 && r.Longitude >= -180 && r.Longitude < 180,
              "position forwarded");
        Check(r.Altitude >= -1000 && r.Altitude <= 30000, "altitude forwarded");
        Check(r.Time > 0 && r.Time <= 1e9, "clock forwarded");
        Check(std::fabs(r.Pitch) <= 90 && std::fabs(r.Bank) <= 180, "attitude forwarded");
        Check(r.Heading >= 0 && r.Heading <= 360, "heading forwarded");
        for (float v : {r.PitchRate, r.YawRate, r.RollRate})
            Check(std::fabs(v) <= 720, "rate forwarded");
        for (float v : {r.AccelX, r.AccelY, r.AccelZ})
            Check(std::fabs(v) <= 200, "acceleration forwarded");
        Check(std::fabs(r.RadioAltitude) <= 31000, "radio altitude forwarded");
        const double speed2 = double(r.VelocityX) * r.VelocityX +
                              double(r.VelocityY) * r.VelocityY + double(r.VelocityZ) * r.VelocityZ;
        Check(speed2 <= 700.0 * 700.0, "speed forwarded");
        for (int v : {r.YokeHeading, r.YokePitch, r.YokeRoll, r.LeftBrake, r.RightBrake})
            Check(v >= -16384 && v <= 16384, "ratio forwarded");
        Check((r.PositionFlags & ~0x03) == 0, "undefined flag forwarded");
    }
    void RemoveSlot(int slot) override { Check(slot >= 1 && slot <= Slots, "remove slot"); }
};

}  // namespace
}  // namespace velmir::net

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmir::net;
    NullNetwork network;
    CheckingPlugin plugin;
    PilotOptions options;
    options.Callsign = "ME";
    options.Slots = plugin.Slots;
    Pilot pilot(options, network, plugin);
    double now = 1000;
    velmir::client::PositionReport own;
    own.Time = 1;
    own.Latitude = 47.5;
    own.Longitude = 8.5;
    pilot.OnOwnPosition(own, now, 1);

    std::size_t at = 0, messages = 0;
    while (at < size) {
        const std::size_t topicLength = data[at++];
        if (size - at < topicLength + 2) break;
        const std::string topic(reinterpret_cast<const char*>(data + at), topicLength);
        at += topicLength;
        std::size_t payloadLength = data[at] | ((data[at + 1] & 0x7F) << 8);
        const bool retained = (data[at + 1] & 0x80) != 0;
        at += 2;
        if (payloadLength > size - at) payloadLength = size - at;
        const Counters before = pilot.GetCounters();
        const std::uint64_t forwarded = before.Forwarded;
        pilot.OnMessage(topic, payloadLength ? data + at : nullptr, payloadLength, now, 2,
                        retained);
        if (retained && topic.find("/id/") == std::string::npos &&
            topic.find("/id2/") == std::string::npos)
            Check(pilot.GetCounters().Forwarded == forwarded, "retained sample forwarded");
        at += payloadLength;
        ++messages;
        const Counters& after = pilot.GetCounters();
        Check(after.Received == before.Received + 1, "message not counted");
        Check(after.Dropped - before.Dropped <= 1, "one message dropped twice");
        std::uint64_t sum = 0;
        for (auto n : after.DroppedBy) sum += n;
        Check(sum == after.Dropped, "drop reasons do not add up");
        pilot.Tick(now);
        Check(pilot.SlotsUsed() <= plugin.Slots, "more slots than there are");
        now += 0.7;
    }
    pilot.Leave();
    return 0;
}
