#include "dynamics/TimeScales.h"

#include <cmath>

#include "diagnostics/Diagnostics.h"
#include "grid/PowerGrid.h"
#include "util/CodeUtils.h"

namespace {

// The largest of 1, 2 and 5 times a power of ten at or below x.
double oneTwoFiveBelow(double x) {
    const double decade = std::pow(10.0, std::floor(std::log10(x)));
    for (double factor : {5.0, 2.0, 1.0}) {
        if (factor * decade <= x) return factor * decade;
    }
    return decade;
}

}  // namespace

TimeScale fastestTimeScale(PowerGrid& grid) {
    TimeScale fastest;
    const std::vector<double> phases = grid.getVoltAngSS();
    for (int i = 0; i < grid.getNumNodes(); ++i) {
        const Node& node = grid.nodeAt(i);
        const double m = node.getInertia();
        if (!(m > 0)) continue;
        double stiffness = 0;
        for (const TransmissionLine& line : grid.linesOf(i)) {
            stiffness += PowerGrid::couplingOf(line) *
                         std::fabs(std::cos(phases[i] - phases[line.getToNode()] - line.getCouplingAng()));
        }
        const double oscillation = std::sqrt(std::fabs(stiffness) / m);
        const double decay = std::fabs(node.getDamping()) / m;
        if (oscillation > fastest.rate) fastest = TimeScale{oscillation, i, true};
        if (decay > fastest.rate) fastest = TimeScale{decay, i, false};
    }
    return fastest;
}

void warnIfStepTooWide(PowerGrid& grid, double h) {
    const TimeScale fastest = fastestTimeScale(grid);
    if (!(fastest.rate > 0) || !std::isfinite(fastest.rate) || h * fastest.rate <= kAccurateStepTimesRate) return;
    const std::string what =
        fastest.oscillation ? "its oscillation against its neighbours" : "the decay Damping / Inertia of its frequency";
    Diagnostics::warn(quoted("RK stepwidth") + " is " + CodeUtils::d2Str(h) + ", but node " +
                      std::to_string(fastest.node) + " has a time scale of " + CodeUtils::d2Str(1 / fastest.rate) +
                      " (" + what + "), and RK4 integrates accurately only up to a step of " +
                      CodeUtils::d2Str(kAccurateStepTimesRate / fastest.rate) + ": the trajectories will be wrong or "
                      "blow up; a step of " + CodeUtils::d2Str(oneTwoFiveBelow(0.5 / fastest.rate)) + " would do");
}
