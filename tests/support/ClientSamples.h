// A message of every type for the client's tests, each field set to a value
// no other field of the message shares, so a field written to or read from
// the wrong place shows.
#pragma once

#include <cstdint>
#include <vector>

#include "client/Client.h"

namespace velmir::client::samples {

template <class M>
std::vector<std::uint8_t> Bytes(const M& message, std::uint16_t tag = 0x000B) {
    std::vector<std::uint8_t> out(MaxMessageLength + 8, 0xEE);
    out.resize(Encode(message, out.data(), tag));
    return out;
}

inline InfoReport Info() { return {12000, 0x13, 0x00FF8000}; }
inline ModelReport Model() {
    return {5, 2, "Alpha One", "HB-KQA", "Aircraft/Laminar Research/Cessna 172SP/Cessna_172SP.acf"};
}
inline PositionReport Position() {
    return {7,      1234.5625, 47.123456789, -8.987654321, 1523.25, 2.5f,  -15.25f, 271.75f,
            11.5f,  -1.25f,    -52.5f,       0.5f,         3.25f,   -4.5f, 0.125f,  -0.375f,
            0.625f, -1000,     8192,         -16384,       -16384,  1234,  12.75f,  0x03};
}
inline PlacementCommand Placement() {
    return {9, 46.5, 7.25, 2100.5, 1.5f, -2.5f, 359.5f, 0.5f, 0x02};
}
inline MotionCommand Motion() { return {4, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f, 8.5f, 9.5f}; }
inline SecondaryControlsReport Controls() { return {0, 100, -200, 300, 400, 500, 600, 700}; }
inline AircraftStateReport State() {
    return {0,    0x95,    0x2C,   0x0C,    3,        271,    16211, 2,     1,
            7000, 0x25,    123,    -45,     12345,    12180,  11030, 11290, 362,
            415,  11890,   13500,  10850,   11750,    304.5f, 270,   5500,  -700,
            120,  432.25f, 105.5f, 5480.5f, -650.25f, 1.5f,   -0.75f};
}
inline PistonEngineReport Piston() {
    return {0,   2,  0x7F, 0x05, 12000, 16000, 15000, 1751, 75,
            650, 24, 4096, 23,   77,    820,   55,    2400, 3};
}
inline TurbineEngineReport Turbine() {
    return {0,  1,    0x33, 11000, 16384, 14000, 1500,  90,   700,
            30, 1601, 1602, 1603,  1604,  350,   20000, 1700, 1};
}
inline FuelReport Fuel() { return {0, {1, 2, 3, 4, 5, 6, 7, 8, 9}}; }
inline VariableCommand Variable() { return {3, 101, 16211}; }

inline std::vector<Message> EveryMessage() {
    return {ConnectRequest{0x2A},
            DisconnectNotice{},
            Info(),
            Model(),
            Position(),
            Placement(),
            Motion(),
            Controls(),
            State(),
            Piston(),
            Turbine(),
            Fuel(),
            Variable(),
            RemoveAircraftCommand{40}};
}

}  // namespace velmir::client::samples
