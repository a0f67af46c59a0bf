// Shared control: the client flies the user's aircraft.
#pragma once

#include <cstdint>

namespace velmir {

extern bool SharedControl;            // the client drives the user aircraft
extern double SharedControlDeadline;  // PluginClock seconds

// Control lapses this long after the last message that took or renewed it.
constexpr double SharedControlHoldSeconds = 1.0;

// Six cockpit instruments and the four propeller levers follow the client's
// values smoothly while it drives; the current values are what is written.
constexpr int InstrumentChannelCount =
    6;  // airspeed, heading, altitude, vertical speed, turn rate, slip
constexpr int PropellerCount = 4;
struct InstrumentFilterState {
    float Current[InstrumentChannelCount];
    float Target[InstrumentChannelCount];
    float PropellerCurrent[PropellerCount];
    float PropellerTarget[PropellerCount];
};
extern InstrumentFilterState InstrumentFilter;

// Takes control (overrides on, instrument filter primed) or renews it.
void TakeControl();
// Disconnect and stop: overrides off, deadline 0, the user record's times 0.
void EndSharedControl();
// The 0.1 s loop's check: releases control once the deadline has passed.
void LapseSharedControl();
// One step of the instrument filter, run by the user aircraft's motion step.
void StepInstrumentFilter();

void HandleInstruments(const std::uint8_t* datagram);
void HandlePropeller(const std::uint8_t* datagram);
void HandleFuel(const std::uint8_t* datagram);

}  // namespace velmir
