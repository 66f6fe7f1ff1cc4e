#include "gui/spanregions.h"

#include <utility>

namespace zel {

SpanRegions::SpanRegions(std::vector<QRect> segments)
    : m_segments(std::move(segments))
    , m_spans(m_segments.size() * m_segments.size()) {}

const QRegion& SpanRegions::span(int first, int last) {
    if (first < 0 || last < first || last >= count()) {
        static const QRegion none;
        return none;
    }
    QRegion& region = m_spans[size_t(first) * m_segments.size() + size_t(last)];
    if (region.isEmpty()) {
        QRect bounds;
        for (int i = first; i <= last; ++i)
            bounds |= m_segments[size_t(i)];
        region = QRegion(bounds);
    }
    return region;
}

} // namespace zel
