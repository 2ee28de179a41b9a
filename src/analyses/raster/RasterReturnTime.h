#ifndef TESSALY_RASTERRETURNTIME_H
#define TESSALY_RASTERRETURNTIME_H

#include <ostream>
#include <string>
#include <vector>

#include "ensemble/ProcessGroup.h"

class Function;
class InputText;
class Param;
class PowerGrid;
class NonFiniteLog;
class RasterFiles;
class RunStatus;
namespace results {
class PlannedFiles;
}
struct RasterJob;

// Raster return-time analysis: perturbs every node of a range over a raster of
// phase and frequency offsets and measures how the grid returns.
class RasterReturnTime {
public:
    explicit RasterReturnTime(PowerGrid* grid);
    virtual ~RasterReturnTime();
    RasterReturnTime(const RasterReturnTime&) = delete;
    RasterReturnTime& operator=(const RasterReturnTime&) = delete;

    // Reads the raster keys of an input file, reporting them on standard output.
    bool readFromFile(std::string fileName);
    void read(InputText& in, std::ostream& console);
    // The keys of the raster reader.
    static std::vector<std::string> keys();
    std::string toString();
    // Throws InputError for a configuration the analysis cannot run on.
    void validate(const Param& param) const;
    // Validates (before anything is written), then integrates every initial
    // condition of the raster once (a second call does nothing), on the
    // worker threads and processes `parallelism` gives. Every result file's
    // records of one initial condition fill a byte range known before the
    // run, so the workers write them in place: the files are those of a run
    // on one thread, byte for byte. The grid must not change meanwhile.
    void rasterRT(Param& param, Function& function, const Parallelism& parallelism = {});
    // Trajectories that became non-finite are reported to `status` (none
    // when null).
    void setRunStatus(RunStatus* runStatus) { status = runStatus; }

    // ---- the raster's initial conditions -------------------------------------
    // Warns when the raster, though on, has nothing to integrate, naming why.
    void warnIfIdle(const Param& param) const;
    // Whether the walk has any initial condition (a node range and a
    // frequency range that are not empty).
    bool walks() const;
    // The offsets in the order the walk uses them, accumulated as it does
    // (min, min + step, ... below max); empty when the raster does not walk.
    // Every row of frequency offsets uses the same phase offsets, the first
    // of them always. Valid input only (see validate).
    std::vector<double> frequencyOffsets() const;
    std::vector<double> phaseOffsets() const;
    // Nodes x frequency offsets x phase offsets.
    long long initialConditions() const;
    // The result files of the raster (every initial condition writes the same).
    void addResultFiles(const Param& param, results::PlannedFiles& files) const;

    // ---- return-time thresholds ----------------------------------------------
    void resetThresh();
    double getThresh(int k);
    bool vecConvergence(double* values, double eps, int n);

    // ---- accessors ---------------------------------------------------------
    double getFreqPertMin() const { return freqPertMin; }
    void setFreqPertMin(double v) { freqPertMin = v; }
    double getFreqPertMax() const { return freqPertMax; }
    void setFreqPertMax(double v) { freqPertMax = v; }
    double getFreqStepw() const { return freqStepw; }
    void setFreqStepw(double v) { freqStepw = v; }
    double getPhasePertMin() const { return phasePertMin; }
    void setPhasePertMin(double v) { phasePertMin = v; }
    double getPhasePertMax() const { return phasePertMax; }
    void setPhasePertMax(double v) { phasePertMax = v; }
    double getPhaseStepw() const { return phaseStepw; }
    void setPhaseStepw(double v) { phaseStepw = v; }
    double getThresholdHigh() const { return thresholdHigh; }
    void setThresholdHigh(double v) { thresholdHigh = v; }
    double getThresholdLow() const { return thresholdLow; }
    void setThresholdLow(double v) { thresholdLow = v; }
    double getThreshSpread() const { return threshSpread; }
    void setThreshSpread(double v) { threshSpread = v; }
    int getNumOfThresh() const { return numOfThresh; }
    void setNumOfThresh(int n) { numOfThresh = n; }
    bool isFixedThreshNum() const { return fixedThreshNum; }
    void setFixedThreshNum(bool fixed) { fixedThreshNum = fixed; }
    double getPertDelay() const { return pertDelay; }
    void setPertDelay(double delay);

    int getFirstPertNode() const { return firstPertNode; }
    void setFirstPertNode(int node) { firstPertNode = node; }
    int getLastPertNode() const { return lastPertNode; }
    void setLastPertNode(int node) { lastPertNode = node; }
    int getThreshRows() const { return threshRows; }
    const std::vector<double>& getThresholds() const { return thresholds; }

private:
    PowerGrid* grid;
    int pertDelay;
    int firstPertNode;
    int lastPertNode;
    int threshRows;
    bool fixedThreshNum;
    double freqPertMin;
    double freqPertMax;
    double phasePertMin;
    double phasePertMax;
    double freqStepw;
    double phaseStepw;
    double thresholdHigh;
    double thresholdLow;
    double threshSpread;
    int numOfThresh;
    std::vector<double> thresholds;
    bool walked = false;

    void validateNodeRange() const;
    void validateOffsets() const;
    void validateModeSettings(const Param& param) const;
    void requireParamNodeCount(const Param& param, const char* modeKey) const;
    void makeResultDirectories(const Param& param) const;
    NonFiniteLog walkShare(const RasterJob& job, RasterFiles& files, const Parallelism& parallelism);
    void reportNonFinite(const RasterJob& job, const NonFiniteLog& log) const;
    std::string describeInitialCondition(const RasterJob& job, long long ic) const;
    RunStatus* status = nullptr;
};

#endif
