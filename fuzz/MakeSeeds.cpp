// Writes the seed inputs of both fuzz targets, built with the reference
// client's encoders so that they follow the wire format as it is today:
//   velmir_fuzz_seeds DATAGRAM_DIR SLOT_FILE_DIR
// One valid message of every type (for the user aircraft and for a remote
// slot where the type allows both), a flight of several aircraft through
// all the handlers, and the malformed cases the receive loop must drop.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "client/Client.h"

namespace {

using namespace velmir;
using Bytes = std::vector<std::uint8_t>;

// Control bits of fuzz_datagrams (see FuzzDatagrams.cpp).
enum : std::uint8_t {
    Frames1 = 1,
    Frames6 = 5,
    Frames12 = 6,
    Stall = 7,
    Stranger = 0x08,
    LoadsFail = 0x20,
    PlanesRefused = 0x40,
    Silent = 0x80
};

void AddChunk(Bytes& input, std::uint8_t control, const Bytes& datagram) {
    input.push_back(control);
    input.push_back(static_cast<std::uint8_t>(datagram.size() & 0xFF));
    input.push_back(static_cast<std::uint8_t>(datagram.size() >> 8));
    input.insert(input.end(), datagram.begin(), datagram.end());
}

template <class T>
Bytes Encoded(const T& message) {
    std::uint8_t buffer[client::MaxMessageLength];
    const std::size_t length = client::Encode(message, buffer);
    return Bytes(buffer, buffer + length);
}

bool Save(const std::string& dir, const std::string& name, const Bytes& bytes) {
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

client::ModelReport Model(std::uint8_t index, const char* name) {
    client::ModelReport m;
    m.AircraftIndex = index;
    m.LiveryIndex = 2;
    m.DisplayName = "Pilot";
    m.TailNumber = "HB-FUZ";
    m.ModelName = name;
    return m;
}

client::PositionReport Position(std::uint8_t index, double time, std::uint8_t flags = 0) {
    client::PositionReport p;
    p.AircraftIndex = index;
    p.Time = time;
    p.Latitude = 47.0 + 0.001 * index;
    p.Longitude = 8.0;
    p.Altitude = flags & 2 ? 405.0 : 1200.0;
    p.Heading = 90.0f;
    p.Pitch = 2.0f;
    p.Bank = -5.0f;
    p.VelocityX = 60.0f;
    p.YawRate = 1.0f;
    p.RadioAltitude = flags & 2 ? 5.0f : -1.0f;
    p.PositionFlags = flags;
    return p;
}

// One message of each type; for types 3 to 13 addressed to `index`.
std::vector<Bytes> EveryType(std::uint8_t index) {
    client::InfoReport info;
    info.LabelFlags = 31;
    info.LabelColourArgb = 0xFF20C040;
    client::PlacementCommand placement;
    placement.AircraftIndex = index;
    placement.Latitude = 47.01;
    placement.Longitude = 8.01;
    placement.Altitude = 402.0;
    placement.Heading = 270.0f;
    placement.RadioAltitude = 2.0f;
    placement.PositionFlags = 3;
    client::MotionCommand motion;
    motion.AircraftIndex = index;
    motion.VelocityX = 10.0f;
    motion.AccelZ = 1.0f;
    client::SecondaryControlsReport secondary;
    secondary.AircraftIndex = index;
    client::AircraftStateReport state;
    state.AircraftIndex = index;
    state.IndicatedAirspeed = 120.0f;
    state.HeadingIndicator = 45;
    client::PistonEngineReport piston;
    piston.AircraftIndex = index;
    piston.EngineNumber = 1;
    piston.EngineRpm = 12000;
    client::TurbineEngineReport turbine;
    turbine.AircraftIndex = index;
    client::FuelReport fuel;
    fuel.AircraftIndex = index;
    fuel.TankMass = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    client::VariableCommand variable;
    variable.AircraftIndex = index;
    variable.VariableId = 36;
    variable.VariableValue = 2;
    client::RemoveAircraftCommand removal;
    removal.AircraftIndex = index;
    return {Encoded(client::ConnectRequest{0x2A}),
            Encoded(client::DisconnectNotice{}),
            Encoded(info),
            Encoded(Model(index, "Seed")),
            Encoded(Position(index, 1.0, 3)),
            Encoded(placement),
            Encoded(motion),
            Encoded(secondary),
            Encoded(state),
            Encoded(piston),
            Encoded(turbine),
            Encoded(fuel),
            Encoded(variable),
            Encoded(removal)};
}

bool WriteDatagramSeeds(const std::string& dir) {
    bool ok = true;
    for (std::uint8_t index : {0, 1, 2, 40}) {
        const std::vector<Bytes> messages = EveryType(index);
        for (std::size_t type = 0; type < messages.size(); ++type) {
            if (index == 0 && (type == 3 || type == 13)) continue;  // remote slots only
            Bytes input;
            // The model first, so that a remote slot's message meets objects.
            if (index != 0) AddChunk(input, Frames6, Encoded(Model(index, "Seed")));
            AddChunk(input, Frames1, messages[type]);
            char name[32];
            std::snprintf(name, sizeof name, "type%02zu-index%02u", type, index);
            ok &= Save(dir, name, input);
        }
    }

    // A flight: three aircraft with models, samples and labels, shared
    // control of the user aircraft, a model change, a removal, a silence
    // long enough for the stale sweep, and a disconnect.
    Bytes flight;
    AddChunk(flight, 0, Encoded(Model(1, "One")));
    AddChunk(flight, 0, Encoded(Model(2, "Two")));
    AddChunk(flight, Frames6, Encoded(Model(5, "Five")));
    client::InfoReport labels;
    labels.LabelFlags = 31;
    labels.LabelColourArgb = 0xFFFFFF00;
    AddChunk(flight, 0, Encoded(labels));
    for (int step = 1; step <= 6; ++step) {
        for (std::uint8_t index : {1, 2, 5}) AddChunk(flight, 0, Encoded(Position(index, step, 2)));
        AddChunk(flight, Frames6, Encoded(Position(0, step)));
    }
    const std::vector<Bytes> user = EveryType(0);
    for (std::size_t type : {5u, 6u, 8u, 9u, 11u, 12u}) AddChunk(flight, Frames1, user[type]);
    AddChunk(flight, Frames12, Encoded(Model(2, "Two, repainted")));
    AddChunk(flight, Frames1, EveryType(5)[13]);
    AddChunk(flight, Stall, Encoded(Position(1, 7.0)));
    AddChunk(flight, Frames1, Encoded(client::DisconnectNotice{}));
    ok &= Save(dir, "flight", flight);

    // Faults around the same flight: loads failing, planes refused and
    // granted, the client falling silent and a stranger taking over.
    Bytes faults;
    AddChunk(faults, LoadsFail | PlanesRefused, Encoded(Model(1, "One")));
    AddChunk(faults, Frames6, Encoded(Position(1, 1.0)));
    AddChunk(faults, LoadsFail | PlanesRefused | Frames6, Encoded(Model(2, "Two")));
    AddChunk(faults, Frames12 | Silent, Encoded(Position(2, 1.0)));
    AddChunk(faults, Stranger | Frames1, Encoded(client::ConnectRequest{7}));
    AddChunk(faults, Stranger | Frames6, Encoded(Model(40, "Forty")));
    ok &= Save(dir, "faults", faults);

    // Every cockpit variable id the user aircraft knows, and a few beyond.
    Bytes variables;
    for (int id = 0; id <= 110; ++id) {
        client::VariableCommand variable;
        variable.VariableId = static_cast<std::int16_t>(id);
        variable.VariableValue = id % 3 == 0 ? -70000 : id;
        AddChunk(variables, id % 10 == 9 ? Frames1 : 0, Encoded(variable));
    }
    ok &= Save(dir, "variables", variables);

    // What the receive loop drops: too short, wrong version, unknown type,
    // a type that only travels to the client, too long for the buffer.
    Bytes malformed;
    Bytes position = Encoded(Position(3, 1.0));
    AddChunk(malformed, 0, Bytes(position.begin(), position.begin() + 23));
    Bytes wrongVersion = position;
    wrongVersion[22] = 0x53;
    AddChunk(malformed, 0, wrongVersion);
    Bytes unknownType = position;
    unknownType[23] = 200;
    AddChunk(malformed, 0, unknownType);
    AddChunk(malformed, 0, Bytes(position.begin(), position.begin() + 119));
    AddChunk(malformed, Frames1, Bytes(1025, 0));
    ok &= Save(dir, "malformed", malformed);
    return ok;
}

bool WriteSlotFileSeeds(const std::string& dir) {
    auto input = [](const std::string& list, const std::string& cog) {
        Bytes b{static_cast<std::uint8_t>(list.size() & 0xFF),
                static_cast<std::uint8_t>(list.size() >> 8)};
        b.insert(b.end(), list.begin(), list.end());
        b.insert(b.end(), cog.begin(), cog.end());
        return b;
    };
    bool ok = true;
    ok &= Save(dir, "plain", input("a.obj 0 0 0 0 0 0\nb.obj 1 2 3 -0.5 1.5 -2\n", "0.5 -1 1\n"));
    ok &=
        Save(dir, "crlf", input("a.obj 1 1 1 1 1 1\r\n\r\nsub/d.obj 0 0 0 0 0 0\r\n", "1 2 3\r\n"));
    ok &= Save(dir, "odd",
               input("c.obj\nmissing.obj 1\ntext.obj 1e40 -1e40 nan inf 0x1p3 1e-320\n", ""));
    ok &= Save(
        dir, "long",
        input(std::string(600, 'x') + ".obj 0 0 0 0 0 0\na.obj  2  3\n", std::string(700, '9')));
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DATAGRAM_DIR SLOT_FILE_DIR\n", argv[0]);
        return 2;
    }
    if (!WriteDatagramSeeds(argv[1]) || !WriteSlotFileSeeds(argv[2])) {
        std::fprintf(stderr, "%s: cannot write the seeds\n", argv[0]);
        return 1;
    }
    return 0;
}
