#ifndef TESSALY_RESULTPATHS_H
#define TESSALY_RESULTPATHS_H

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "output/ResultCatalogue.h"

// Where the result files of a run go. The analyses' writers and the list of a
// run's result files both build their names here, so the two agree.
//
// An output name splits at its last '/' into a directory part and a file
// part; a result file is directory part + stem + file part.
namespace results {

// Stems: the result subdirectory and the start of the file name.
constexpr const char* kFrequency = "frequency/frequency";
constexpr const char* kPhase = "phase/phase";
constexpr const char* kFreqTraj = "frequency/freqTraj";
constexpr const char* kPhasTraj = "phase/phasTraj";
constexpr const char* kFrequencySamples = "frequency/frequencyTraj";
constexpr const char* kPhaseSamples = "phase/phaseTraj";
constexpr const char* kEnergyTraj = "etraj/etraj";
constexpr const char* kEnergyReturn = "heijtor/heijtor";
constexpr const char* kMeanReturn = "ijtor/ijtor";
constexpr const char* kMaxima = "ipm/ipm";
constexpr const char* kSurvival = "surv/surv";
constexpr const char* kHistogram = "hist/histFreq";
constexpr const char* kIncrementHistogram = "hist/histIncrFreq";
constexpr const char* kFlanks = "flanks/flanks";
constexpr const char* kLineFlows = "flow/fij";
constexpr const char* kTripFrom = "stochcas/stochcasI";
constexpr const char* kTripTo = "stochcas/stochcasII";
constexpr const char* kTripTime = "stochcas/stochcasT";
constexpr const char* kMaxLoad = "stochcas/maxL";
constexpr const char* kMaxLoadRatio = "stochcas/maxLp";
constexpr const char* kMaxLoadLine = "stochcas/maxlij";
constexpr const char* kContingencyBaseFlows = "contingency/baseflow";
constexpr const char* kContingencyNodes = "contingency/nodes";
constexpr const char* kContingencySummary = "contingency/summary";
constexpr const char* kContingencyTrips = "contingency/trips";
constexpr const char* kLinearEigenvalues = "linear/eigenvalues";
constexpr const char* kLinearParticipation = "linear/participation";
constexpr const char* kBasinSamples = "basin/basinSamples";
constexpr const char* kBasinStability = "basin/basinStability";

std::string directoryPart(const std::string& outputName);
std::string filePart(const std::string& outputName);
std::string path(const std::string& outputName, const std::string& stem);
// The increment histogram of one time lag.
std::string incrementHistogramPath(const std::string& outputName, double lag);
// The turbine power series of `node` in wind part `part` ("Write stoch").
std::string powerSeriesPath(const std::string& outputName, const std::string& seriesName, int node, int part);
// The wind speeds of every turbine run ("Write stoch").
std::string windSpeedPath(const std::string& outputName, const std::string& seriesName);
// The output name of one stochastic run: the base name, the wind part when
// the series is cut into parts, and the turbine configuration.
std::string stochasticRunName(const std::string& base, bool windParts, int part, std::size_t configuration);

// A result file a run will append to, and what it holds.
struct PlannedFile {
    std::string path;
    Kind kind;
    // The stochastic run that writes the file; none for a raster file and for
    // a file that several runs write into.
    std::optional<int> run;
    double lag = 0;     // increment histograms: the time lag
    int node = -1;      // power series: the turbine node
    int windPart = -1;  // power series: the wind part
};

// The result files of a run, each path once at its first place, in the
// order the analyses first write them. A file that several runs write into
// belongs to no single run.
class PlannedFiles {
public:
    void add(const PlannedFile& file);
    // Files of one output name: directory part + stem + file part.
    void add(const std::string& outputName, std::initializer_list<std::pair<Kind, const char*>> kindsAndStems,
             std::optional<int> run = std::nullopt);
    const std::vector<PlannedFile>& files() const { return list; }

private:
    std::vector<PlannedFile> list;
    std::unordered_map<std::string, std::size_t> index;
};

}  // namespace results

#endif
