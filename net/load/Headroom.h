// How near a broker is to full, from two figures taken in the same run: what
// the bare broker relays per CPU-second, and what the pilots made it carry.
// Their ratio holds on a machine whose speed changes from hour to hour; the
// absolute CPU time and latency do not.
#pragma once

#include <string>

namespace velmir::net {

// Every figure is negative when unknown (the broker's CPU time could not be
// read, or there was nothing to divide by); it is then printed as such.
struct Headroom {
    double RelayPerCpuSecond = -1;  // PUBLISH packets in and out per broker CPU-second
    double BrokerCpuPerPilotSecond = -1;
    double SharePercent = -1;     // the load's messages per second, of RelayPerCpuSecond
    double HalfSharePilots = -1;  // where SharePercent would reach 50 (an estimate)
};

// Messages per CPU-second; unknown for unknown or no CPU time.
double PerCpuSecond(double messages, double cpuSeconds);

// The pilots at which messages per second, linearPerPilot * N + perPair *
// N * (N - 1), reach `share` (0..1) of `capacity` messages per second.
double PilotsAtShare(double linearPerPilot, double perPair, double capacity, double share);

// From the measured load: `pilots` made the broker carry messagesPerSecond
// (in and out), of them deliveredPerSecond samples from one pilot to
// another; the broker spent brokerCpuSeconds over wallSeconds.
//
// The extrapolation: every pilot's own traffic (what it sends, its own
// samples coming back, identities) grows with N; what it hears grows with
// the pairs of pilots, N * (N - 1), since all synthetic pilots are drawn
// from one mix of places and each pair is in hearing range with the same
// chance. The broker's cost per message is taken as the bare relay's.
Headroom WeighLoad(int pilots, double messagesPerSecond, double deliveredPerSecond,
                   double brokerCpuSeconds, double wallSeconds, double relayPerCpuSecond);

// "12.3", or "unknown" for a negative figure.
std::string FigureText(double value, int decimals);

}  // namespace velmir::net
