// The number encodings of the user aircraft's reports.
//
// Every conversion from a simulator value to a message field goes through
// here. A value that does not fit its field keeps only the field's low bits,
// as the client expects; values beyond the 32-bit range (and NaN) are first
// pinned to that range so the conversion itself is always defined.
#pragma once

#include <cstdint>
#include <limits>

namespace velmir {

// Truncates toward zero; NaN gives 0, values beyond int32 give its limits.
inline std::int32_t TruncateToInt32(double value) {
    if (value != value) return 0;
    if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value);
}

// The low 16 bits of the truncated value.
inline std::int16_t Int16Bits(double value) {
    const auto bits =
        static_cast<std::uint16_t>(static_cast<std::uint32_t>(TruncateToInt32(value)));
    return static_cast<std::int16_t>(bits);
}

// The low 8 bits of the truncated value.
inline std::uint8_t UInt8Bits(double value) {
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(TruncateToInt32(value)));
}

// Control ratios travel with 16384 standing for 1.0, multiplied in float.
inline std::int16_t Ratio16384(float ratio) { return Int16Bits(ratio * 16384.0f); }

// A brake ratio 0..1 travels as -16384..16384, computed in double.
inline std::int16_t BrakeField(float ratio) {
    return Int16Bits(static_cast<double>(ratio) * 32768.0 - 16384.0);
}

// Degrees Celsius to degrees Rankine: the Fahrenheit step in float, the
// offset in double, as the client's engine pages expect.
inline std::int16_t RankineField(float celsius) {
    const float scaled = celsius * 1.8f;
    const float fahrenheit = scaled + 32.0f;
    return Int16Bits(static_cast<double>(fahrenheit) + 459.67);
}

// Inches of mercury to sixteenths of a hectopascal.
inline std::int16_t BarometerField(float inchesHg) {
    return Int16Bits(inchesHg * 33.863888f * 16.0f);
}

// Propeller speed in rad/s to revolutions per minute.
inline std::int16_t RpmField(float radiansPerSecond) {
    const float perMinute = radiansPerSecond * 60.0f;
    return Int16Bits(static_cast<double>(perMinute) * 0.15915494309188485);
}

// Fuel flow in kg/s to pounds per hour.
inline std::int16_t FuelFlowField(float kilogramsPerSecond) {
    return Int16Bits(kilogramsPerSecond * 7937.0f);
}

// The flap ratio rounded to the nearest detent.
inline std::uint8_t FlapDetentField(float flapRatio, int detents) {
    const float scaled = flapRatio * static_cast<float>(detents);
    return UInt8Bits(scaled + 0.5f);
}

// A tank mass in kilograms, rounded up to whole kilograms; a negative mass
// gives 0 and a mass above 255 kg keeps its low 8 bits.
inline std::uint8_t TankMassField(float kilograms) {
    std::int64_t remainder = TruncateToInt32(255.0f - kilograms);
    if (remainder > 255) remainder = 255;
    return static_cast<std::uint8_t>(static_cast<std::uint64_t>(255 - remainder));
}

// The simulator's tank selector in the client's numbering; values the
// client has no number for read as 0.
inline std::uint8_t FuelSelectorField(int selector) {
    switch (selector) {
    case 1: return 2;
    case 3: return 3;
    case 4: return 1;
    default: return 0;
    }
}

// Engine type values above 1 (taken as unsigned) are turbines.
inline bool IsTurbineType(int engineType) { return static_cast<unsigned>(engineType) > 1u; }

// The on-ground test shared by the position and state reports.
inline bool OnGround(float radioAltitudeMetres) { return radioAltitudeMetres < 1.0f; }

constexpr float MetresPerFoot = 0.3048f;

// The fuel message's tank bytes, in message order: byte 25 + k carries the
// mass of tank FuelTankOrder[k], both ways.
constexpr int FuelTankCount = 9;
constexpr int FuelTankOrder[FuelTankCount] = {2, 5, 8, 0, 6, 3, 1, 7, 4};

}  // namespace velmir
