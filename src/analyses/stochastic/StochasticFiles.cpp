// The result files of the stochastic analysis' runs.
#include "analyses/stochastic/StochasticInput.h"

#include "grid/PowerGrid.h"
#include "input/Param.h"
#include "output/ResultPaths.h"

using namespace results;

namespace {

void addRunFiles(PlannedFiles& list, const Param& param, const StochasticInput& stochastic,
                           const StochasticRun& run) {
    const std::string& name = run.outputName;
    const bool flanks = param.numNodes >= 1;
    const bool histograms = stochastic.grid->getNumNodes() > 0;
    const std::pair<Kind, const char*> survival{Kind::stochSurvival, kSurvival};
    const std::pair<Kind, const char*> flankTimes{Kind::stochFlanks, kFlanks};
    if (param.isModeStochCASC()) {
        list.add(name,
                 {survival,
                  {Kind::stochTripFrom, kTripFrom},
                  {Kind::stochTripTo, kTripTo},
                  {Kind::stochTripTime, kTripTime},
                  {Kind::stochMaxFlow, kMaxLoad},
                  {Kind::stochMaxRatio, kMaxLoadRatio},
                  {Kind::stochMaxLine, kMaxLoadLine}},
                 run.index);
        if (flanks) list.add(name, {flankTimes}, run.index);
    }
    if (param.isModeStochLf()) list.add(name, {{Kind::stochLineFlows, kLineFlows}}, run.index);
    if (param.isModeSurvivall()) {
        list.add(name, {survival}, run.index);
        if (flanks) list.add(name, {flankTimes}, run.index);
    }
    if (param.isModeSurv()) {
        list.add(name, {survival}, run.index);
        if (histograms) {
            list.add(name, {{Kind::stochHistogram, kHistogram}}, run.index);
            for (double lag : stochastic.timeLags) {
                PlannedFile histogram{incrementHistogramPath(name, lag), Kind::stochIncrementHistogram, run.index};
                histogram.lag = lag;
                list.add(histogram);
            }
        }
        if (flanks) list.add(name, {flankTimes}, run.index);
    }
    if (param.isModeStraj() && param.rkSteps > 1) {
        list.add(name, {{Kind::stochFrequencyTrajectory, kFreqTraj}, {Kind::stochPhaseTrajectory, kPhasTraj}},
                 run.index);
    }
}

}  // namespace

void StochasticInput::addResultFiles(const Param& param, PlannedFiles& list) const {
    const bool windSpeeds = param.isModeStepFun() || param.isModeSif();
    for (const StochasticRun& run : plannedRuns(param)) {
        if (writeStoch) {
            for (int node : run.turbineNodes) {
                if (windSpeeds) {
                    list.add(PlannedFile{windSpeedPath(run.outputName, stochFilename), Kind::stochWindSpeed,
                                         run.index});
                }
                PlannedFile series{powerSeriesPath(run.outputName, stochFilename, node, run.windPart),
                                   Kind::stochPowerSeries, run.index};
                series.node = node;
                series.windPart = run.windPart;
                list.add(series);
            }
        }
        addRunFiles(list, param, *this, run);
    }
}
