#include "net/load/Headroom.h"

#include <cmath>
#include <cstdio>

namespace velmir::net {

double PerCpuSecond(double messages, double cpuSeconds) {
    return cpuSeconds > 0 && messages >= 0 ? messages / cpuSeconds : -1;
}

double PilotsAtShare(double linearPerPilot, double perPair, double capacity, double share) {
    const double target = share * capacity;
    if (!(target > 0) || linearPerPilot < 0 || perPair < 0) return -1;
    if (perPair == 0) return linearPerPilot > 0 ? target / linearPerPilot : -1;
    // perPair N^2 + (linearPerPilot - perPair) N - target = 0, the positive root.
    const double b = linearPerPilot - perPair;
    return (-b + std::sqrt(b * b + 4 * perPair * target)) / (2 * perPair);
}

Headroom WeighLoad(int pilots, double messagesPerSecond, double deliveredPerSecond,
                   double brokerCpuSeconds, double wallSeconds, double relayPerCpuSecond) {
    Headroom h;
    h.RelayPerCpuSecond = relayPerCpuSecond;
    if (pilots <= 0 || wallSeconds <= 0) return h;
    if (brokerCpuSeconds >= 0) h.BrokerCpuPerPilotSecond = brokerCpuSeconds / wallSeconds / pilots;
    if (relayPerCpuSecond <= 0) return h;
    h.SharePercent = 100.0 * messagesPerSecond / relayPerCpuSecond;
    const double n = pilots;
    const double linear = (messagesPerSecond - deliveredPerSecond) / n;
    const double perPair = pilots > 1 ? deliveredPerSecond / (n * (n - 1)) : 0;
    h.HalfSharePilots = PilotsAtShare(linear, perPair, relayPerCpuSecond, 0.5);
    return h;
}

std::string FigureText(double value, int decimals) {
    if (value < 0 || !std::isfinite(value)) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace velmir::net
