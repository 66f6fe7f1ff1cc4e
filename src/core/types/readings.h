#pragma once
// One decoded packet: the three fields as bar positions 0 to 55.

namespace zel {

struct Readings {
    float posPeak = 0;
    float negPeak = 0;
    float carrierLevel = 0;
    bool operator==(const Readings&) const = default;
};

} // namespace zel
