#pragma once
// The bar graph's state without widgets: which of segments 1..56 and of the
// peak-hold markers 0..56 are shown, and the peak hold (HoldPeak, HoldIndex,
// HoldCount). update() is one BarUpdate pass over the segments, step for
// step, so the window only copies the changed bits onto its widgets.
#include <bitset>

namespace zel {

class BarGraph {
public:
    static constexpr int Elements = 57; // 0 (hidden template) .. 56 (never lit)
    using Bits = std::bitset<Elements>;

    // One update with the shown value (a bar position 0..55; anything else
    // is held to that scale, so segment 56 never lights): adds 1 to
    // HoldCount, then for i = 1..56: segment i lit when value >= i; hold
    // release on the 25th update below the held peak; a value at or above the
    // held peak moves the marker there and restarts the count; marker
    // clean-up while HoldPeak differs from HoldIndex.
    void update(int shownValue);
    // ClearDisplay: every segment and marker hidden; the hold is kept.
    void clear();

    const Bits& leds() const { return m_leds; }
    const Bits& dots() const { return m_dots; }
    int holdPeak() const { return m_holdPeak; }
    int holdIndex() const { return m_holdIndex; }
    int holdCount() const { return m_holdCount; }
    void setHoldCount(int count) { m_holdCount = count; }

private:
    Bits m_leds;
    Bits m_dots;
    short m_holdPeak = 0;
    short m_holdIndex = 0;
    short m_holdCount = 0;
};

} // namespace zel
