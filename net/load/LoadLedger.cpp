#include "net/load/LoadLedger.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

namespace velmir::net {

namespace {
constexpr std::int64_t Open = std::numeric_limits<std::int64_t>::max();
}

int LoadLedger::Channel(std::string_view key) {
    auto [it, fresh] = channels_.try_emplace(std::string(key), static_cast<int>(channels_.size()));
    if (fresh) {
        published_.emplace_back();
        levels_.emplace_back(key.substr(0, key.find('/')));
    }
    return it->second;
}

void LoadLedger::Published(int channel, int pilot, std::uint16_t, std::int64_t micros) {
    published_[channel].push_back({micros, pilot});
}

void LoadLedger::Subscribed(int pilot, int channel, std::int64_t micros) {
    std::vector<Window>& w = windows_[Key(pilot, channel)];
    if (w.empty() || w.back().To != Open) w.push_back({micros, Open});  // not twice
}

void LoadLedger::Unsubscribed(int pilot, int channel, std::int64_t micros) {
    auto it = windows_.find(Key(pilot, channel));
    if (it != windows_.end() && !it->second.empty() && it->second.back().To == Open)
        it->second.back().To = micros;
}

void LoadLedger::Delivered(int receiver, int channel, int publisher, std::uint16_t sequence,
                           std::int64_t sentMicros) {
    arrivals_.push_back({receiver, channel, publisher, sequence, sentMicros});
}

LoadLedger::Totals LoadLedger::Settle(std::int64_t from, std::int64_t to,
                                      std::int64_t margin) const {
    Totals t;
    std::vector<std::vector<Publication>> sorted = published_;
    for (auto& list : sorted)
        std::sort(list.begin(), list.end(),
                  [](const Publication& a, const Publication& b) { return a.Micros < b.Micros; });
    // The part of a subscription during which its channel's samples are owed.
    auto owedPart = [&](const Window& w, std::int64_t& lo, std::int64_t& hi) {
        lo = std::max(from, w.From + margin);
        hi = std::min(to, w.To == Open ? Open : w.To - margin);
        return lo <= hi;
    };
    for (const auto& [key, windows] : windows_) {
        const int pilot = static_cast<int>(key >> 32);
        const int channel = static_cast<int>(key & 0xFFFFFFFFu);
        const std::vector<Publication>& list = sorted[channel];
        for (const Window& w : windows) {
            std::int64_t lo, hi;
            if (!owedPart(w, lo, hi)) continue;
            auto first =
                std::lower_bound(list.begin(), list.end(), lo,
                                 [](const Publication& p, std::int64_t v) { return p.Micros < v; });
            std::uint64_t owed = 0;
            for (auto it = first; it != list.end() && it->Micros <= hi; ++it)
                owed += it->Pilot != pilot;  // nobody is owed their own samples
            t.Owed += owed;
            t.OwedByLevel[levels_[channel]] += owed;
        }
    }
    std::unordered_set<std::uint64_t> seen;
    for (const Arrival& a : arrivals_) {
        bool owed = false;
        auto it = windows_.find(Key(a.Receiver, a.Channel));
        if (it != windows_.end())
            for (const Window& w : it->second) {
                std::int64_t lo, hi;
                owed = owed || (owedPart(w, lo, hi) && a.Sent >= lo && a.Sent <= hi);
            }
        if (!owed) {
            ++t.Unowed;
            continue;
        }
        // Pilots are numbered below 2^20.
        const std::uint64_t sample =
            (std::uint64_t(a.Receiver) << 36) | (std::uint64_t(a.Publisher) << 16) | a.Sequence;
        if (seen.insert(sample).second)
            ++t.Received;
        else
            ++t.Duplicates;
    }
    t.Lost = t.Owed > t.Received ? t.Owed - t.Received : 0;
    return t;
}

}  // namespace velmir::net
