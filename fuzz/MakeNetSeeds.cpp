// Seed inputs of fuzz_net (see FuzzNet.cpp): two pilots near and far with
// their identities, a slot changing hands, a departure, and a few refusals.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "net/pilot/Wire.h"

namespace {

using namespace velmir;
using namespace velmir::net;
using Input = std::vector<std::uint8_t>;

void Add(Input& input, const std::string& topic, const Input& payload) {
    input.push_back(static_cast<std::uint8_t>(topic.size()));
    input.insert(input.end(), topic.begin(), topic.end());
    input.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    input.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    input.insert(input.end(), payload.begin(), payload.end());
}

Input SampleAt(double lat, double lon, double time) {
    Sample s;
    s.Report.Time = time;
    s.Report.Latitude = lat;
    s.Report.Longitude = lon;
    s.Report.Altitude = 1200;
    s.Report.VelocityX = 50;
    Input b(SampleLayout::Length);
    EncodeSample(s, b.data());
    return b;
}

Input IdentityOf(const std::string& callsign, const std::string& model) {
    Input b(IdentityLayout::Length);
    EncodeIdentity(Identity{callsign, callsign, "HB-" + callsign, model, 1}, b.data());
    return b;
}

// Version 2, on id2/: what the pilot says it flies.
Input Identity2Of(const std::string& callsign, const std::string& model, const std::string& type) {
    Identity id{callsign, callsign, "HB-" + callsign, model, 1};
    id.IcaoType = type;
    id.Airline = "SWR";
    id.Livery = "HB-" + callsign + " Swiss";
    id.Described = true;
    Input b(Identity2Layout::Length);
    EncodeIdentity2(id, b.data());
    return b;
}

bool Save(const std::string& dir, const std::string& name, const Input& bytes) {
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: velmir_net_fuzz_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    Input flight;
    for (const char* who : {"A1", "B2", "C3"}) {
        const double lat = 47.5 + (who[0] - 'A') * 0.1;
        Add(flight, PositionTopic(CellOf(lat, 8.5), who), SampleAt(lat, 8.5, 10));
        const std::string model = std::string("Aircraft/") + who + ".acf";
        if (who[0] != 'C') Add(flight, Identity2Topic(who), Identity2Of(who, model, "B738"));
        Add(flight, IdentityTopic(who), IdentityOf(who, model));
        Add(flight, PositionTopic(CellOf(lat, 8.5), who), SampleAt(lat, 8.5, 10.1));
    }
    Add(flight, PositionTopic(CellOf(47.5, 8.5), "C3"), SampleAt(47.5, 8.5, 11));  // nearest now
    Add(flight, Identity2Topic("B2"), Identity2Of("B2", "Aircraft/other.acf", "A20N"));
    Add(flight, IdentityTopic("B2"), IdentityOf("B2", "Aircraft/other.acf"));  // model change
    Add(flight, Identity2Topic("C3"), Identity2Of("C3", "Aircraft/old.acf", "C172"));  // stale
    Add(flight, PositionTopic(CellOf(47.6, 8.5), "B2"), SampleAt(47.6, 8.5, 1));  // sender restart
    Add(flight, IdentityTopic("A1"), {});                                         // leaves
    Input refusals;
    Add(refusals, "velmir/v1/local/pos/47_8/lower", SampleAt(47.5, 8.5, 1));
    Add(refusals, "velmir/v1/local/pos/48_8/A1", SampleAt(47.5, 8.5, 1));
    Add(refusals, IdentityTopic("A1"), IdentityOf("B2", "x"));
    Add(refusals, "velmir/v1/local/pos/47_8/A1", Input(107, 0));
    Add(refusals, Identity2Topic("A1"), IdentityOf("A1", "x"));  // version 1 on id2/
    Input cut = Identity2Of("A1", "x", "B738");
    cut.resize(387);
    Add(refusals, Identity2Topic("A1"), cut);
    const bool ok = Save(dir, "flight", flight) && Save(dir, "refusals", refusals);
    if (!ok) std::fprintf(stderr, "velmir_net_fuzz_seeds: cannot write into %s\n", dir.c_str());
    return ok ? 0 : 1;
}
