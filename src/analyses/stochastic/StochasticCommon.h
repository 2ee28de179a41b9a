#ifndef TESSALY_STOCHASTICCOMMON_H
#define TESSALY_STOCHASTICCOMMON_H

#include <algorithm>
#include <climits>
#include <cmath>
#include <sstream>
#include <string>

#include "diagnostics/Diagnostics.h"
#include "util/CodeUtils.h"

// What the translation units of the stochastic analysis share: how its
// messages quote keys and print numbers, and how wind samples (one time unit
// apart) become integration steps.
namespace stochastic {

template <typename T>
std::string str(T value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// Wind samples are one time unit apart; 1/dt integration steps cover one.
// The count must stay an int, so tiny, zero or NaN widths are refused.
inline double stepsPerTimeUnit(double dt) {
    double inverse = 1.0 / dt;
    if (!(std::fabs(inverse) <= INT_MAX)) {
        throw InputError(quoted("RK stepwidth") + " is " + str(dt) +
                         ", but turning wind samples into steps needs 1/width within " + str(INT_MAX));
    }
    return inverse;
}

// Step-function mode: every wind sample is held for this many steps.
inline int stepFunctionRepeats(double dt) { return std::max(1, static_cast<int>(std::ceil(stepsPerTimeUnit(dt)))); }

// Interpolation mode: values produced between two successive wind samples.
inline int interpolationSteps(double dt) {
    return std::max(0, static_cast<int>(std::floor(stepsPerTimeUnit(dt))));
}

}  // namespace stochastic

#endif
