// The input limits of the stochastic analysis, checked before any run writes
// a result.
#include "analyses/stochastic/StochasticInput.h"

#include <climits>
#include <cmath>

#include "analyses/stochastic/StochasticCommon.h"
#include "diagnostics/Diagnostics.h"
#include "grid/PowerGrid.h"
#include "input/Param.h"

using namespace stochastic;

void StochasticInput::validateRun(const Param& param, int parts, int len) const {
    validateConfigurations();
    validateWindRows(parts, len);
    validateStatistics(param);
    validatePowerSeries(param, len);
}

void StochasticInput::validateConfigurations() const {
    const int numNodes = grid->getNumNodes();
    for (std::size_t c = 0; c < turbineNodes.size(); ++c) {
        const std::vector<int>& nodes = turbineNodes[c];
        const std::string row = quoted("Turbine nodes") + " row " + str(c);
        if (nodes.size() > windSeries.size()) {
            throw InputError(row + " has " + str(nodes.size()) + " turbines, but " + quoted("Wind series") +
                             " has " + str(windSeries.size()) + " rows (allowed at most " +
                             str(windSeries.size()) + " turbines)");
        }
        for (int node : nodes) {
            if (node < 0 || node >= numNodes) {
                throw InputError(row + " names node " + str(node) + ", but the grid has " + str(numNodes) +
                                 " nodes (allowed 0.." + str(numNodes - 1) + ")");
            }
            if (pratedGiven && static_cast<std::size_t>(node) >= turbinePrated.size()) {
                throw InputError(row + " names node " + str(node) + ", but " + quoted("Turbine prated") +
                                 " has " + str(turbinePrated.size()) + " values (allowed nodes 0.." +
                                 str(static_cast<long long>(turbinePrated.size()) - 1) + ")");
            }
        }
    }
}

void StochasticInput::validateWindRows(int parts, int len) const {
    const long long needed = static_cast<long long>(parts) * len;
    for (std::size_t r = 0; r < windSeries.size(); ++r) {
        if (static_cast<long long>(windSeries[r].size()) < needed) {
            throw InputError(quoted("Wind series") + " row " + str(r) + " has " + str(windSeries[r].size()) +
                             " samples, but " + str(parts) + " part(s) of " + str(len) + " samples need at least " +
                             str(needed));
        }
    }
}

void StochasticInput::validateStatistics(const Param& param) const {
    const bool survival = param.isModeSurv() || param.isModeSurvivall() || param.isModeStochCASC();
    const bool settles = survival || param.isModeStochLf();
    if (settles && surviveInitSteps < 0) {
        throw InputError(quoted("Survive init steps") + " is " + str(surviveInitSteps) +
                         ", but it must be at least 0");
    }
    if (survival && surviveInterval < 1) {
        throw InputError(quoted("Survive interval") + " is " + str(surviveInterval) + ", but it must be at least 1");
    }
    if (survival && param.numNodes != grid->getNumNodes()) {
        throw InputError(quoted("Number of nodes") + " of the parameters is " + str(param.numNodes) +
                         ", but the grid has " + str(grid->getNumNodes()) + " nodes (they must be equal)");
    }
    if (!param.isModeSurv()) return;
    for (std::size_t k = 0; k < timeLagSteps.size(); ++k) {
        if (timeLagSteps[k] < 1) {
            const std::string lag = k < timeLags.size() ? str(timeLags[k]) : "?";
            throw InputError(quoted("Freq time lags") + " entry " + lag + " is " + str(timeLagSteps[k]) +
                             " steps of " + quoted("RK stepwidth") + " " + str(param.stepWidth) +
                             ", but every lag must be at least 1 step");
        }
    }
    if (freqHistHalfBins < 1) {
        throw InputError(quoted("Freq hist bin num") + " gives " + str(freqHistBinNum) +
                         " bins, but the frequency histogram needs at least 2");
    }
    // A run holds a frequency histogram and one increment histogram per lag
    // for every node.
    const long long histograms = static_cast<long long>(grid->getNumNodes()) * (1 + timeLagSteps.size());
    const long long bins = histograms * freqHistBinNum;
    constexpr long long kMaxHistogramBins = 1LL << 26;
    if (bins > kMaxHistogramBins) {
        throw InputError(quoted("Freq hist bin num") + " gives " + str(freqHistBinNum) + " bins: with " +
                         str(histograms) + " histograms (nodes, and nodes per lag of " + quoted("Freq time lags") +
                         ") a run holds " + std::to_string(bins) + " bins, more than the " +
                         std::to_string(kMaxHistogramBins) + " allowed");
    }
}

void StochasticInput::validatePowerSeries(const Param& param, int len) const {
    const bool settles = param.isModeStochCASC() || param.isModeStochLf() || param.isModeSurvivall() ||
                         param.isModeSurv();
    long long needed = 0;
    std::string neededBy;
    if (param.isModeStraj() || settles) {
        needed = param.rkSteps;
        neededBy = quoted("RK steps") + " is " + str(param.rkSteps);
    }
    if (settles && surviveInitSteps > needed) {
        needed = surviveInitSteps;
        neededBy = quoted("Survive init steps") + " is " + str(surviveInitSteps);
    }
    const bool anyTurbine = std::any_of(turbineNodes.begin(), turbineNodes.end(),
                                        [](const std::vector<int>& row) { return !row.empty(); });
    if (!anyTurbine) return;
    // Also refuses a step width the series modes cannot work with.
    const long long length = powerSeriesLength(param, len);
    if (needed <= 0) return;

    if (!param.isModeStepFun() && !param.isModeSif() && !param.isModeGivenSeries()) {
        throw InputError("no series mode is on, but " + neededBy + " and the analyses read turbine power " +
                         "at every step (switch on " + quoted("Mode stepfunc") + ", " + quoted("Mode sif") +
                         " or " + quoted("Mode given series") + ")");
    }
    if (length < needed) {
        throw InputError("the turbine power series hold " + str(length) + " values, but " + neededBy +
                         " (need at least " + str(needed) + " values; lengthen " + quoted("Wind series") + ")");
    }
}

long long StochasticInput::powerSeriesLength(const Param& param, int windSamples) const {
    const long long intervals = std::max(0, windSamples - 1);
    long long length = 0;
    if (param.isModeStepFun()) length = windSamples == 1 ? 0 : intervals * stepFunctionRepeats(param.stepWidth);
    if (param.isModeSif()) length = intervals == 0 ? 0 : intervals * interpolationSteps(param.stepWidth);
    if (param.isModeGivenSeries()) length = windSamples;
    return length;
}

// Settings the analysis takes as given but that cannot mean what they say.
void StochasticInput::warnAboutTurbineSettings(const Param& param) const {
    for (std::size_t k = 0; k < renewableShare.size(); ++k) {
        if (renewableShare[k] >= 0 && renewableShare[k] <= 1) continue;
        Diagnostics::warn(quoted("Renewable share") + " is " + str(renewableShare[k]) + " at entry " + str(k) +
                          ", outside 0 .. 1: a share is a fraction of the node's power");
        break;
    }
    warnAboutSilentTurbine();
    const bool flowsMeasured = param.isModeStochLf() || param.isModeStochCASC();
    bool anyVoltage = false;
    for (int i = 0; i < grid->getNumNodes(); ++i) anyVoltage = anyVoltage || grid->nodeAt(i).getVoltMagSs() != 0;
    if (flowsMeasured && !anyVoltage && grid->getNumNodes() > 0) {
        Diagnostics::warn(quoted("Voltage mag") + " is 0 at every node" +
                          (grid->keyGiven("Voltage mag") || grid->keyGiven("Voltage mag ext") ? "" : " (not given)") +
                          ", but " + quoted(param.isModeStochCASC() ? "Mode stoch casc" : "Mode stoch lf") +
                          " measures line flows, whose constant part is the sending node's voltage squared: give "
                          "the voltages (1 in per unit)");
    }
}

// The rated power of a turbine follows from its share (or, without "Renewable
// share", its "Power mech"): 0 leaves the wind without effect. Said for the
// first such turbine.
void StochasticInput::warnAboutSilentTurbine() const {
    for (std::size_t c = 0; c < turbineNodes.size(); ++c) {
        for (std::size_t j = 0; j < turbineNodes[c].size(); ++j) {
            const int node = turbineNodes[c][j];
            if (node < 0 || node >= grid->getNumNodes()) continue;
            double share = grid->nodeAt(node).getPowerMechInit();
            if (flucShare) {
                const bool perTurbine = renewableShare.size() == turbineNodes[c].size();
                const std::size_t at = perTurbine ? j : static_cast<std::size_t>(node);
                share = at < renewableShare.size() ? renewableShare[at] : 0.0;
            }
            const bool ratedGiven = pratedGiven && static_cast<std::size_t>(node) < turbinePrated.size();
            const double rated = ratedGiven ? turbinePrated[node] : share;
            if (rated != 0) continue;
            Diagnostics::warn("turbine node " + str(node) + " of configuration " + str(c) + " has " +
                              (ratedGiven ? quoted("Turbine prated") + " 0"
                                          : std::string(flucShare ? quoted("Renewable share") : quoted("Power mech")) +
                                                " 0, so a rated power of 0") +
                              ": its turbine power is 0 at every step and the wind has no effect");
            return;
        }
    }
}
