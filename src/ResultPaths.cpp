#include "ResultPaths.h"

#include <initializer_list>
#include <unordered_set>

#include "CodeUtils.h"
#include "Param.h"
#include "PowerGrid.h"
#include "RasterReturnTime.h"
#include "StochasticInput.h"

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

// A list of paths that keeps each path once, at its first place.
class FileList {
public:
    void add(const std::string& file) {
        if (listed.insert(file).second) files.push_back(file);
    }
    void add(const std::string& outputName, std::initializer_list<const char*> stems) {
        for (const char* stem : stems) add(path(outputName, stem));
    }
    std::vector<std::string> files;

private:
    std::unordered_set<std::string> listed;
};

// Every initial condition of the raster writes the same files.
void addRasterFiles(FileList& list, const Param& param, const RasterReturnTime& raster) {
    const bool walks = raster.getFirstPertNode() < raster.getLastPertNode() &&
                       raster.getFreqPertMin() < raster.getFreqPertMax();
    if (!walks) return;
    const std::string& name = param.outputFilename;
    const int steps = param.rkSteps;
    if (param.isModeERT()) {
        list.add(name, {kEnergyTraj});
        if (param.saveRKEvery >= 1 && param.saveRKEvery < steps) list.add(name, {kFrequencySamples, kPhaseSamples});
        list.add(name, {kEnergyReturn, kFrequency, kPhase});
    }
    if (param.isModeRMRT()) list.add(name, {kMeanReturn, kFrequency, kPhase});
    if (param.isModeMaxp()) list.add(name, {kMaxima});
    if (param.isModeStraj() && steps >= 2) list.add(name, {kFreqTraj, kPhasTraj});
}

void addStochasticRunFiles(FileList& list, const Param& param, const StochasticInput& stochastic,
                           const std::string& name) {
    const bool flanks = param.numNodes >= 1;
    const bool histograms = stochastic.grid->getNumNodes() > 0;
    if (param.isModeStochCASC()) {
        list.add(name, {kSurvival, kTripFrom, kTripTo, kTripTime, kMaxLoad, kMaxLoadRatio, kMaxLoadLine});
        if (flanks) list.add(name, {kFlanks});
    }
    if (param.isModeStochLf()) list.add(name, {kLineFlows});
    if (param.isModeSurvivall()) {
        list.add(name, {kSurvival});
        if (flanks) list.add(name, {kFlanks});
    }
    if (param.isModeSurv()) {
        list.add(name, {kSurvival});
        if (histograms) {
            list.add(name, {kHistogram});
            for (double lag : stochastic.timeLags) list.add(incrementHistogramPath(name, lag));
        }
        if (flanks) list.add(name, {kFlanks});
    }
    if (param.isModeStraj() && param.rkSteps > 1) list.add(name, {kFreqTraj, kPhasTraj});
}

void addStochasticFiles(FileList& list, const Param& param, const StochasticInput& stochastic) {
    const StochasticInput::RunPlan plan = stochastic.planRun(param);
    if (!plan.runs) return;
    const std::string& base = param.outputFilename;
    const bool windSpeeds = param.isModeStepFun() || param.isModeSif();
    for (int p = 0; p < plan.parts; ++p) {
        for (std::size_t c = 0; c < stochastic.turbineNodes.size(); ++c) {
            const std::string name = stochasticRunName(base, stochastic.multipleWindSer, p, c);
            if (stochastic.writeStoch) {
                for (int node : stochastic.turbineNodes[c]) {
                    if (windSpeeds) list.add(windSpeedPath(name, stochastic.stochFilename));
                    list.add(powerSeriesPath(name, stochastic.stochFilename, node, p));
                }
            }
            addStochasticRunFiles(list, param, stochastic, name);
        }
    }
}

}  // namespace

std::vector<std::string> runResultFiles(const Param& param, const RasterReturnTime* raster,
                                        const StochasticInput* stochastic) {
    FileList list;
    if (raster != nullptr) addRasterFiles(list, param, *raster);
    if (stochastic != nullptr) addStochasticFiles(list, param, *stochastic);
    return list.files;
}

}  // namespace results
