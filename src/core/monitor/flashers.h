#pragma once
// Thresholds of the peak flashers and the carrier window, in bar positions
// (position p stands for 2p + 20 percent modulation).

namespace zel {

constexpr float Pos125Threshold = 52.0f; // +125 %
constexpr float Neg100Threshold = 40.0f; // -100 %
constexpr float CarrierLow = 36.0f;
constexpr float CarrierHigh = 44.0f;

// A variable threshold of `percent` (70 to 130) in bar positions; an odd
// percentage lands on a half position (97 % is 38.5).
constexpr float variableThreshold(int percent) {
    return float(percent) / 2.0f - 10.0f;
}

constexpr bool carrierInWindow(float level) {
    return level >= CarrierLow && level <= CarrierHigh;
}

struct FlasherHits {
    bool posVar = false;
    bool negVar = false;
    bool pos125 = false;
    bool neg100 = false;
};

constexpr FlasherHits evaluateFlashers(float posPeak, float negPeak, int posPercent, int negPercent) {
    return {posPeak >= variableThreshold(posPercent), negPeak >= variableThreshold(negPercent),
            posPeak >= Pos125Threshold, negPeak >= Neg100Threshold};
}

} // namespace zel
