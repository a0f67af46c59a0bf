// Who fills the plugin's 40 slots: the nearest pilots, with hysteresis so
// that small changes of distance do not trade slots back and forth.
#pragma once

#include <string>
#include <vector>

namespace velmir::net {

constexpr int SlotCount = 40;

class SlotChooser {
  public:
    struct Candidate {
        std::string Callsign;
        double DistanceNm = 0;
    };
    // One slot changing hands. `From` empty: the slot was free; `To` empty:
    // it becomes free. Both set: the slot passes from one pilot to another,
    // and the caller removes the old aircraft before showing the new one.
    struct Change {
        int Slot = 0;  // 1..SlotCount
        std::string From, To;
    };

    explicit SlotChooser(int slots = SlotCount);

    // `eligible`: every pilot that may hold a slot now (in any order). A
    // holder missing from it loses its slot; a pilot without a slot takes a
    // free one, nearest first, or the farthest holder's when it is nearer
    // than that holder by the margin. Changes come back in slot order.
    std::vector<Change> Update(const std::vector<Candidate>& eligible);

    int SlotOf(const std::string& callsign) const;  // 0 = none
    const std::string& Holder(int slot) const { return holders_[slot - 1]; }
    int Slots() const { return static_cast<int>(holders_.size()); }
    int Used() const;
    void Clear();

    // A challenger must be nearer than a holder by the larger of these.
    static constexpr double MarginNm = 1.0;
    static constexpr double MarginRatio = 0.1;

  private:
    std::vector<std::string> holders_;  // index slot - 1; empty = free
};

}  // namespace velmir::net
