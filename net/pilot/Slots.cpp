#include "net/pilot/Slots.h"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace velmir::net {

SlotChooser::SlotChooser(int slots) : holders_(static_cast<std::size_t>(std::max(0, slots))) {}

int SlotChooser::SlotOf(const std::string& callsign) const {
    if (callsign.empty()) return 0;
    for (std::size_t i = 0; i < holders_.size(); ++i)
        if (holders_[i] == callsign) return static_cast<int>(i) + 1;
    return 0;
}

int SlotChooser::Used() const {
    return static_cast<int>(
        std::count_if(holders_.begin(), holders_.end(), [](const auto& h) { return !h.empty(); }));
}

void SlotChooser::Clear() {
    for (auto& h : holders_) h.clear();
}

std::vector<SlotChooser::Change> SlotChooser::Update(const std::vector<Candidate>& eligible) {
    std::unordered_map<std::string, double> distance;
    for (const Candidate& c : eligible) distance[c.Callsign] = c.DistanceNm;

    std::map<int, Change> changes;  // by slot
    auto record = [&](int slot, const std::string& from, const std::string& to) {
        auto [it, fresh] = changes.try_emplace(slot, Change{slot, from, to});
        if (!fresh) it->second.To = to;  // keep the first `From`: who the plugin shows
    };

    // Holders no longer eligible leave.
    for (std::size_t i = 0; i < holders_.size(); ++i) {
        if (!holders_[i].empty() && distance.count(holders_[i]) == 0) {
            record(static_cast<int>(i) + 1, holders_[i], "");
            holders_[i].clear();
        }
    }

    std::vector<Candidate> waiting;
    for (const Candidate& c : eligible)
        if (SlotOf(c.Callsign) == 0) waiting.push_back(c);
    std::sort(waiting.begin(), waiting.end(), [](const Candidate& a, const Candidate& b) {
        return a.DistanceNm != b.DistanceNm ? a.DistanceNm < b.DistanceNm : a.Callsign < b.Callsign;
    });

    for (const Candidate& c : waiting) {
        auto free = std::find(holders_.begin(), holders_.end(), std::string());
        if (free != holders_.end()) {
            const int slot = static_cast<int>(free - holders_.begin()) + 1;
            record(slot, "", c.Callsign);
            *free = c.Callsign;
            continue;
        }
        // Full: the farthest holder gives way only to a clearly nearer pilot.
        std::size_t farthest = holders_.size();
        for (std::size_t i = 0; i < holders_.size(); ++i)
            if (farthest == holders_.size() || distance[holders_[i]] > distance[holders_[farthest]])
                farthest = i;
        if (farthest == holders_.size()) break;
        const double held = distance[holders_[farthest]];
        if (c.DistanceNm >= held - std::max(MarginNm, held * MarginRatio))
            break;  // sorted: none after
        record(static_cast<int>(farthest) + 1, holders_[farthest], c.Callsign);
        holders_[farthest] = c.Callsign;
    }

    std::vector<Change> out;
    for (auto& [slot, change] : changes)
        if (change.From != change.To) out.push_back(change);
    return out;
}

}  // namespace velmir::net
