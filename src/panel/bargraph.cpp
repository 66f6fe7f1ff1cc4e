#include "panel/bargraph.h"

namespace zel {
void BarGraph::update(int) {}
void BarGraph::clear() {}
} // namespace zel
