#pragma once
// Repaint regions for runs of segments in a row, each made the first time it
// is asked for and then kept. Qt keeps a shared copy of a region it is asked
// to repaint, where a rectangle costs it a new region on every request, and
// the bar switches a run of its segments with nearly every packet. There are
// at most n(n+1)/2 runs of n segments: for the bar's 56, some 180 KB.
#include <QRect>
#include <QRegion>
#include <vector>

namespace zel {

class SpanRegions {
public:
    SpanRegions() = default;
    // The segments' rectangles, in the coordinates of the widget to repaint.
    explicit SpanRegions(std::vector<QRect> segments);

    int count() const { return int(m_segments.size()); }
    // The bounding rectangle of segments first..last (first <= last, both
    // within 0..count()-1) as a region; the same object for the same run.
    // Anything else is an empty region.
    const QRegion& span(int first, int last);

private:
    std::vector<QRect> m_segments;
    std::vector<QRegion> m_spans; // first * count() + last
};

} // namespace zel
