#ifndef TESSALY_RASTERWORKER_H
#define TESSALY_RASTERWORKER_H

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "analyses/raster/RasterObservers.h"
#include "diagnostics/Progress.h"
#include "dynamics/RungeKutta.h"
#include "dynamics/SwingKernel.h"
#include "ensemble/EnsembleFiles.h"
#include "ensemble/Trajectory.h"

class Function;
class NonFiniteLog;
class Param;
class ProcessGroup;

// What every worker of a raster run reads and none changes while they run.
struct RasterJob {
    const Param* param = nullptr;
    Function* function = nullptr;
    const SwingKernel* kernel = nullptr;  // the grid's, built before the workers start
    KernelVariant variant = KernelVariant::exact;
    int nodes = 0;
    std::vector<double> steadyPhases;
    int firstNode = 0;
    std::vector<double> frequencyOffsets;
    std::vector<double> phaseOffsets;
    const EnergyMeasure* energy = nullptr;          // "Mode ERT" on
    const std::vector<double>* thresholds = nullptr;  // "Mode RMRT" on
    int bands = 0;                                    // "Num of thresh"

    // The node that initial condition `ic` kicks:
    // ic = ((node - firstNode) * frequency offsets + fi) * phase offsets + pi.
    int nodeOf(long long ic) const;
    double frequencyOffsetOf(long long ic) const;
    double phaseOffsetOf(long long ic) const;
    // Steps 1 .. S - 1 of every initial condition; 0 when no mode integrates.
    int steps() const;
};

// The raster's result files on the ensemble's files: the slot of each file
// the switched-on modes write, and every initial condition's byte range.
class RasterFiles {
public:
    enum Slot {
        energyTrajectory,
        frequencySamples,
        phaseSamples,
        energyReturn,
        frequencyEndpoints,  // the energy mode's block, then the mean return-time mode's
        phaseEndpoints,
        meanReturn,
        maxima,
        frequencyTrajectory,
        phaseTrajectory,
        slotCount
    };

    RasterFiles(const Param& param, int nodes, const ProcessGroup& processes);
    EnsembleFiles& files() { return *ensembleFiles; }
    // The slot's index among files(); none when the run writes no such file.
    std::optional<std::size_t> indexOf(Slot slot) const { return index[slot]; }

private:
    // The bytes of one record of the slot's file.
    static long long recordBytes(Slot slot, const Param& param, int nodes);

    std::optional<std::size_t> index[slotCount];
    std::unique_ptr<EnsembleFiles> ensembleFiles;
};

// One worker thread's part of a raster run: its own integrator, trajectory
// and observers, and a buffered writer per result file. Integrates initial
// conditions one after another; memory does not grow with steps or initial
// conditions.
class RasterWorker {
public:
    RasterWorker(const RasterJob& job, RasterFiles& files, std::atomic<long long>& stepsDone);

    void integrate(long long ic, NonFiniteLog& nonFinite);

private:
    RangeWriter* writer(RasterFiles::Slot slot);

    const RasterJob& job;
    RasterFiles& files;
    RungeKutta rk;
    Trajectory trajectory;
    std::vector<double> initialPhases, initialFreqs;
    EnsembleWriters writers;
    std::optional<EnergyReturnObserver> energy;
    std::optional<MeanReturnObserver> meanReturn;
    std::optional<MaximaObserver> maxima;
    std::optional<TrajectoryObserver> saved;
    StepCounter counter;
};

#endif
