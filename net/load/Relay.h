// The bare relay: what the broker carries per CPU-second when it does
// nothing but pass small messages on, measured just before the pilots fly
// so that the pilots' load can be given as a share of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>

#include "net/load/Load.h"

namespace velmir::net {

// Publishers in groups; each group's messages go to `Fanout` subscribers
// (wildcard filters, as pilots listen to cells), QoS 0, sample-sized
// payloads, topics as deep and long as the samples'.
struct RelayOptions {
    BrokerAddress Broker;
    long BrokerPid = 0;  // whose CPU time is read; none: the rate per CPU-second is unknown
    int Groups = 8;
    int PublishersPerGroup = 2;
    int Fanout = 8;  // about what a pilot's sample reaches at 1,000 pilots
    double Seconds = 3;
    double WarmUpSeconds = 0.5;
    std::size_t PayloadBytes = 108;  // a sample
    // Deliveries under way at most: the publishers wait for the subscribers
    // rather than fill the broker's queues.
    std::uint64_t Window = 4000;
};

struct RelayFigures {
    std::uint64_t Published = 0, Delivered = 0, Stalls = 0;
    double Seconds = 0;
    double BrokerCpuSeconds = -1;
    double MessagesPerCpuSecond = -1;  // PUBLISH packets in and out
};

// Exit code: 0 ran; 1 the clients could not connect.
int RunRelay(const RelayOptions&, RelayFigures&, std::ostream& log);

}  // namespace velmir::net
