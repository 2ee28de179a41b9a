#include "output/ResultPaths.h"

#include <initializer_list>
#include <unordered_map>
#include <utility>

#include "util/CodeUtils.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "analyses/raster/RasterReturnTime.h"
#include "analyses/stochastic/StochasticInput.h"

namespace results {

std::string directoryPart(const std::string& outputName) {
    const std::size_t slash = outputName.rfind('/');
    return slash == std::string::npos ? std::string() : outputName.substr(0, slash + 1);
}

std::string filePart(const std::string& outputName) {
    const std::size_t slash = outputName.rfind('/');
    return slash == std::string::npos ? outputName : outputName.substr(slash + 1);
}

std::string path(const std::string& outputName, const std::string& stem) {
    return directoryPart(outputName) + stem + filePart(outputName);
}

std::string incrementHistogramPath(const std::string& outputName, double lag) {
    return path(outputName, kIncrementHistogram) + "-" + CodeUtils::d2Str(lag);
}

std::string powerSeriesPath(const std::string& outputName, const std::string& seriesName, int node, int part) {
    return directoryPart(outputName) + "pseries/" + seriesName + "tn" + CodeUtils::d2Str(node) + "w" +
           CodeUtils::d2Str(part);
}

std::string windSpeedPath(const std::string& outputName, const std::string& seriesName) {
    return directoryPart(outputName) + "windspeed" + seriesName;
}

std::string stochasticRunName(const std::string& base, bool windParts, int part, std::size_t configuration) {
    const std::string stem = windParts ? base + "w" + CodeUtils::d2Str(part) : base;
    return stem + "tn" + CodeUtils::d2Str(static_cast<double>(configuration));
}

namespace {

// A list of result files that keeps each path once, at its first place. A
// file that a second run writes into belongs to no single run.
class FileList {
public:
    void add(const PlannedFile& file) {
        const auto found = index.find(file.path);
        if (found == index.end()) {
            index.emplace(file.path, files.size());
            files.push_back(file);
        } else if (files[found->second].run != file.run) {
            files[found->second].run.reset();
        }
    }
    // Files of one output name: directory part + stem + file part.
    void add(const std::string& outputName, std::initializer_list<std::pair<Kind, const char*>> kindsAndStems,
             std::optional<int> run = std::nullopt) {
        for (const auto& [kind, stem] : kindsAndStems) add(PlannedFile{path(outputName, stem), kind, run});
    }
    std::vector<PlannedFile> files;

private:
    std::unordered_map<std::string, std::size_t> index;
};

// Every initial condition of the raster writes the same files.
void addRasterFiles(FileList& list, const Param& param, const RasterReturnTime& raster) {
    if (!raster.walks()) return;
    const std::string& name = param.outputFilename;
    const int steps = param.rkSteps;
    if (param.isModeERT()) {
        list.add(name, {{Kind::rasterEnergyTrajectory, kEnergyTraj}});
        if (param.saveRKEvery >= 1 && param.saveRKEvery < steps) {
            list.add(name,
                     {{Kind::rasterFrequencySamples, kFrequencySamples}, {Kind::rasterPhaseSamples, kPhaseSamples}});
        }
        list.add(name, {{Kind::rasterEnergyReturn, kEnergyReturn},
                        {Kind::rasterFrequencyEndpoints, kFrequency},
                        {Kind::rasterPhaseEndpoints, kPhase}});
    }
    if (param.isModeRMRT()) {
        list.add(name, {{Kind::rasterMeanReturn, kMeanReturn},
                        {Kind::rasterFrequencyEndpoints, kFrequency},
                        {Kind::rasterPhaseEndpoints, kPhase}});
    }
    if (param.isModeMaxp()) list.add(name, {{Kind::rasterMaxima, kMaxima}});
    if (param.isModeStraj() && steps >= 2) {
        list.add(name, {{Kind::rasterFrequencyTrajectory, kFreqTraj}, {Kind::rasterPhaseTrajectory, kPhasTraj}});
    }
}

void addStochasticRunFiles(FileList& list, const Param& param, const StochasticInput& stochastic,
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

void addStochasticFiles(FileList& list, const Param& param, const StochasticInput& stochastic) {
    const bool windSpeeds = param.isModeStepFun() || param.isModeSif();
    for (const StochasticRun& run : stochastic.plannedRuns(param)) {
        if (stochastic.writeStoch) {
            for (int node : run.turbineNodes) {
                if (windSpeeds) {
                    list.add(PlannedFile{windSpeedPath(run.outputName, stochastic.stochFilename), Kind::stochWindSpeed,
                                         run.index});
                }
                PlannedFile series{powerSeriesPath(run.outputName, stochastic.stochFilename, node, run.windPart),
                                   Kind::stochPowerSeries, run.index};
                series.node = node;
                series.windPart = run.windPart;
                list.add(series);
            }
        }
        addStochasticRunFiles(list, param, stochastic, run);
    }
}

}  // namespace

std::vector<PlannedFile> runResultFiles(const Param& param, const RasterReturnTime* raster,
                                        const StochasticInput* stochastic) {
    FileList list;
    if (raster != nullptr) addRasterFiles(list, param, *raster);
    if (stochastic != nullptr) addStochasticFiles(list, param, *stochastic);
    return list.files;
}

}  // namespace results
