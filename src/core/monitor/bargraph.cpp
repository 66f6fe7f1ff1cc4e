#include "core/monitor/bargraph.h"

#include <algorithm>

namespace zel {

void BarGraph::update(int shownValue) {
    // Readings are bar positions; anything else is held to the scale so
    // segment 56 stays dark and every index stays inside the arrays.
    const short value = short(std::clamp(shownValue, 0, 55));
    ++m_holdCount;
    // One pass in the panel's historical order: each step sees the effect of
    // the previous ones on the same segment, which is what moves, keeps and
    // releases the marker.
    for (int i = 1; i < Elements; ++i) {
        m_leds[i] = value >= i;
        if (m_holdCount >= 25) {
            m_dots[m_holdIndex] = false;
            m_holdPeak = 0;
            m_holdCount = 0;
        }
        if (value >= m_holdPeak) {
            m_holdPeak = value;
            if (value == i) {
                m_dots[i] = true;
                m_holdIndex = short(i);
                m_holdCount = 0;
            }
        }
        if (m_holdPeak != m_holdIndex) m_dots[i] = false;
    }
}

void BarGraph::clear() {
    for (int i = 1; i < Elements; ++i) {
        m_dots[i] = false;
        m_leds[i] = false;
    }
}

} // namespace zel
