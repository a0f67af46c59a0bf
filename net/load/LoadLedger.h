// The load generator's books: which samples were published on which
// channel (a tier's cell), who listened to which channel when, and what
// arrived. A sample counts as owed to a listener when the listener was
// subscribed to its channel from `margin` before it was published until
// `margin` after (subscribing and leaving take a moment at the broker);
// what was owed and never came is lost.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmir::net {

class LoadLedger {
  public:
    int Channel(std::string_view key);  // interned: the same key, the same number
    void Published(int channel, int pilot, std::uint16_t sequence, std::int64_t micros);
    void Subscribed(int pilot, int channel, std::int64_t micros);
    void Unsubscribed(int pilot, int channel, std::int64_t micros);
    void Delivered(int receiver, int channel, int publisher, std::uint16_t sequence,
                   std::int64_t sentMicros);

    struct Totals {
        std::uint64_t Owed = 0, Received = 0, Lost = 0, Duplicates = 0;
        std::uint64_t Unowed = 0;  // arrived outside any owed window: not counted either way
        std::map<std::string, std::uint64_t> OwedByLevel;  // "pos", "pos-20", ...
    };
    // Over samples published in [from, to].
    Totals Settle(std::int64_t from, std::int64_t to, std::int64_t margin) const;

  private:
    struct Publication {
        std::int64_t Micros;
        int Pilot;
    };
    struct Window {
        std::int64_t From, To;
    };
    struct Arrival {
        int Receiver, Channel, Publisher;
        std::uint16_t Sequence;
        std::int64_t Sent;
    };
    static std::uint64_t Key(int a, int b) {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32) |
               static_cast<std::uint32_t>(b);
    }

    std::unordered_map<std::string, int> channels_;
    std::vector<std::string> levels_;                                 // by channel
    std::vector<std::vector<Publication>> published_;                 // by channel
    std::unordered_map<std::uint64_t, std::vector<Window>> windows_;  // by (pilot, channel)
    std::vector<Arrival> arrivals_;
};

}  // namespace velmir::net
