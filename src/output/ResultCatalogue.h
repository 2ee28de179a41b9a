#ifndef TESSALY_RESULTCATALOGUE_H
#define TESSALY_RESULTCATALOGUE_H

#include <cstddef>
#include <string>
#include <vector>

// What the records of every kind of result file hold: element type, record
// width, columns with units, and a one-sentence description. The one place
// that knows record layouts; the run manifest publishes them with every run.
namespace results {

enum class Kind {
    rasterMeanReturn,
    rasterEnergyReturn,
    rasterEnergyTrajectory,
    rasterMaxima,
    rasterFrequencyTrajectory,
    rasterPhaseTrajectory,
    rasterFrequencySamples,
    rasterPhaseSamples,
    rasterFrequencyEndpoints,
    rasterPhaseEndpoints,
    stochFrequencyTrajectory,
    stochPhaseTrajectory,
    stochLineFlows,
    stochSurvival,
    stochFlanks,
    stochHistogram,
    stochIncrementHistogram,
    stochTripFrom,
    stochTripTo,
    stochTripTime,
    stochMaxFlow,
    stochMaxRatio,
    stochMaxLine,
    stochPowerSeries,
    stochWindSpeed,
    contingencyBaseFlows,
    contingencyNodes,
    contingencySummary,
    contingencyTrips,
    linearEigenvalues,
    linearParticipation,
    basinSamples,
    basinStability,
};

enum class Dtype { float64, int32 };

// How a record is made up.
enum class Layout {
    fixed,    // the columns, once
    perNode,  // the columns once per node (a group by node)
    perStep,  // one column per step after the first (S - 1)
    perBin,   // one column per histogram bin
};

struct Column {
    std::string name;
    const char* unit;  // null for counts and indices
};

struct KindInfo {
    Kind kind;
    const char* id;  // stable name, e.g. "raster.ijtor"
    Dtype dtype;
    Layout layout;
    // fixed: the record's columns; perNode: the columns of one node's group;
    // perStep and perBin: the one column that repeats per step or bin.
    std::vector<Column> columns;
    const char* description;
};

// The sizes record widths depend on.
struct RecordShape {
    int nodes = 0;
    int steps = 0;  // "RK steps"
    int bins = 0;   // histogram bins
};

const KindInfo& kindInfo(Kind kind);
const char* dtypeName(Dtype dtype);
std::size_t itemSize(Dtype dtype);
// Values per record.
long long recordWidth(const KindInfo& info, const RecordShape& shape);
// A record that is one group of columns repeated per node, step or bin:
// what it repeats over, the index of its first group and how many groups.
struct RecordGroup {
    const char* by;
    long long first;
    long long count;
};
RecordGroup recordGroup(const KindInfo& info, const RecordShape& shape);

}  // namespace results

#endif
