// Conversions between the wire's fixed-point units and the client's own.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "client/Client.h"

namespace velmir::client {
namespace {

// Out-of-range values stick at the ends; NaN sends zero.
template <class T>
std::int16_t SaturatingInt16(T value) {
    if (!(value == value)) return 0;  // NaN
    const double truncated = std::trunc(static_cast<double>(value));
    if (truncated >= 32767.0) return 32767;
    if (truncated <= -32768.0) return -32768;
    return static_cast<std::int16_t>(truncated);
}

}  // namespace

double RatioFromFixed(std::int16_t value) { return value / FixedOne; }
std::int16_t FixedFromRatio(double ratio) { return SaturatingInt16(ratio * FixedOne); }

double BrakeRatioFromWire(std::int16_t value) { return (value + 16384.0) / 32768.0; }
std::int16_t WireFromBrakeRatio(double ratio) { return SaturatingInt16(ratio * 32768.0 - 16384.0); }

double CelsiusFromRankine(double rankine) { return (rankine - 491.67) / 1.8; }
std::int16_t RankineFromCelsius(double celsius) { return SaturatingInt16(celsius * 1.8 + 491.67); }

double HectopascalFromSixteenths(std::int16_t value) { return value / 16.0; }
double InchesHgFromSixteenths(std::int16_t value) { return value / 16.0 / HectopascalPerInchHg; }
std::int16_t SixteenthsFromInchesHg(double inchesHg) {
    return SaturatingInt16(inchesHg * HectopascalPerInchHg * 16.0);
}

double MegahertzFromRadio(std::int32_t tensOfKilohertz) { return tensOfKilohertz / 100.0; }

// The field is kg/s × 7937, i.e. pounds per hour.
double KilogramsPerHourFromFuelFlow(std::int16_t poundsPerHour) {
    return poundsPerHour * 3600.0 / 7937.0;
}

std::array<std::uint8_t, 9> TanksFromWire(const std::array<std::uint8_t, 9>& wire) {
    std::array<std::uint8_t, 9> tanks{};
    for (std::size_t k = 0; k < 9; ++k) tanks[TankWireOrder[k]] = wire[k];
    return tanks;
}

std::array<std::uint8_t, 9> WireFromTanks(const std::array<std::uint8_t, 9>& tanks) {
    std::array<std::uint8_t, 9> wire{};
    for (std::size_t k = 0; k < 9; ++k) wire[k] = tanks[TankWireOrder[k]];
    return wire;
}

std::uint8_t TankByteFromKilograms(double kg) {
    if (!(kg > 0.0)) return 0;  // also NaN
    if (kg >= 255.0) return 255;
    return static_cast<std::uint8_t>(std::ceil(kg));
}

}  // namespace velmir::client
