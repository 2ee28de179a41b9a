#include "analyses/basin/BasinClassifier.h"

#include <algorithm>
#include <cmath>

#include "util/CodeUtils.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr int kWindow = BasinCriteria::kBlocksPerWindow;
// The ring of blocks holds two windows: the last and the one before.
constexpr int kRows = 2 * kWindow;

bool allFinite(const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(), [](double x) { return std::isfinite(x); });
}

// Some node turned a full 2π against another within the window.
bool slipping(const std::vector<double>& advances) {
    const auto [low, high] = std::minmax_element(advances.begin(), advances.end());
    return *high - *low >= kTwoPi;
}

}  // namespace

const char* basinClassName(BasinClass c) {
    switch (c) {
        case BasinClass::returned: return "returned";
        case BasinClass::otherFixedPoint: return "other_fixed_point";
        case BasinClass::notReturned: return "not_returned";
        case BasinClass::undecided: break;
    }
    return "undecided";
}

BasinClassifier::BasinClassifier(const BasinCriteria& criteria, const std::vector<double>& steadyPhases)
    : criteria(criteria),
      steady(steadyPhases),
      n(static_cast<int>(steadyPhases.size())),
      firstBoundary(criteria.steps % criteria.blockSteps),
      previous(steadyPhases.size()),
      advance(steadyPhases.size()),
      blocks(steadyPhases.size() * kRows),
      window(steadyPhases.size()),
      earlier(steadyPhases.size()) {}

void BasinClassifier::begin(const double* phases) {
    std::copy(phases, phases + n, previous.begin());
    std::fill(advance.begin(), advance.end(), 0.0);
    lastOutside = 0;
    early.reset();
    atEnd.reset();
}

// The phases come wrapped into (-π, π]: a step's advance is the difference
// brought back into (-π, π], which holds while |ω| h < π.
bool BasinClassifier::afterStep(int step, const double* phases, const double* freqs) {
    bool outside = false;
    for (int i = 0; i < n; ++i) {
        double d = phases[i] - previous[i];
        if (d > kPi) {
            d -= kTwoPi;
        } else if (d < -kPi) {
            d += kTwoPi;
        }
        advance[i] += d;
        previous[i] = phases[i];
        // NaN is outside.
        if (!(std::fabs(freqs[i]) < criteria.band)) outside = true;
    }
    if (outside) lastOutside = step;
    if (step < firstBoundary || (step - firstBoundary) % criteria.blockSteps != 0) return true;

    const long long block = (step - firstBoundary) / criteria.blockSteps;
    std::copy(advance.begin(), advance.end(), blocks.begin() + (block % kRows) * n);
    std::fill(advance.begin(), advance.end(), 0.0);
    const bool last = step >= criteria.steps;
    if (!early) {
        if (const std::optional<BasinClass> decided = classifyEarly(block, step, phases)) {
            early = Decision{*decided, step};
            if (!criteria.fullLength) return false;
        }
    }
    if (last) atEnd = Decision{classifyAtEnd(block, step, phases), step};
    return !last;
}

std::optional<BasinClass> BasinClassifier::classifyEarly(long long block, int step, const double* phases) {
    if (block < kWindow) return std::nullopt;
    sumWindow(block, window);
    if (!allFinite(window)) return BasinClass::undecided;
    if (settled(step)) return atSteadyState(phases) ? BasinClass::returned : BasinClass::otherFixedPoint;
    if (block < 2 * kWindow || !slipping(window)) return std::nullopt;
    sumWindow(block - kWindow, earlier);
    if (!slipping(earlier)) return std::nullopt;
    // Mean frequencies within the band of each other: the advances over a
    // window within the band times its length.
    const double agreement = criteria.band * criteria.windowSteps() * criteria.stepWidth;
    for (int i = 0; i < n; ++i) {
        if (!(std::fabs(window[i] - earlier[i]) < agreement)) return std::nullopt;
    }
    return BasinClass::notReturned;
}

BasinClass BasinClassifier::classifyAtEnd(long long block, int step, const double* phases) {
    if (block < kWindow) return BasinClass::undecided;
    sumWindow(block, window);
    if (!allFinite(window)) return BasinClass::undecided;
    if (settled(step)) return atSteadyState(phases) ? BasinClass::returned : BasinClass::otherFixedPoint;
    return slipping(window) ? BasinClass::notReturned : BasinClass::undecided;
}

void BasinClassifier::sumWindow(long long last, std::vector<double>& sums) const {
    std::fill(sums.begin(), sums.end(), 0.0);
    for (long long b = last - kWindow + 1; b <= last; ++b) {
        const double* row = blocks.data() + (b % kRows) * n;
        for (int i = 0; i < n; ++i) sums[i] += row[i];
    }
}

// In the band for the whole window, and no phase difference to node 0 moved
// by the tolerance or more in it (`window` holds its sums).
bool BasinClassifier::settled(int step) const {
    if (lastOutside > step - criteria.windowSteps()) return false;
    for (int i = 1; i < n; ++i) {
        if (!(std::fabs(window[i] - window[0]) < criteria.phaseTolerance)) return false;
    }
    return true;
}

bool BasinClassifier::atSteadyState(const double* phases) const {
    if (n == 0) return true;
    const double shift = phases[0] - steady[0];
    for (int i = 1; i < n; ++i) {
        const double deviation = CodeUtils::smallerAngle(phases[i] - steady[i] - shift);
        if (!(std::fabs(deviation) < criteria.phaseTolerance)) return false;
    }
    return true;
}

BasinClassifier::Outcome BasinClassifier::outcome() const {
    Outcome result;
    if (!criteria.fullLength || !atEnd) {
        const std::optional<Decision>& decided = early ? early : atEnd;
        if (decided) {
            result.basinClass = decided->basinClass;
            result.decisionStep = decided->step;
        }
        return result;
    }
    result.basinClass = atEnd->basinClass;
    result.earlyDiffered = early && early->basinClass != atEnd->basinClass;
    result.decisionStep = early && !result.earlyDiffered ? early->step : atEnd->step;
    return result;
}
