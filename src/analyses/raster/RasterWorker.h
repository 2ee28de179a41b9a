#ifndef TESSALY_RASTERWORKER_H
#define TESSALY_RASTERWORKER_H

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "output/PositionedFile.h"
#include "diagnostics/Progress.h"
#include "analyses/raster/RasterObservers.h"
#include "dynamics/RungeKutta.h"
#include "dynamics/SwingKernel.h"

class Function;
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
    // Steps 1 .. S - 1 of every initial condition; 0 when no mode integrates.
    int steps() const;
};

// The raster's result files, opened once for all the workers of all the
// processes, and where each initial condition's records lie in them: the
// file's size when the run started plus ic times the bytes one initial
// condition appends. The leader makes the files and measures them; the
// other processes open them after it.
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
    struct File {
        PositionedFile file;
        long long start;   // this run's first record
        long long stride;  // bytes per initial condition
    };

    RasterFiles(const Param& param, int nodes, const ProcessGroup& processes);
    // Null when the run writes no such file.
    File* operator[](Slot slot) { return files[slot].get(); }

private:
    // The bytes of one record of the slot's file.
    static long long recordBytes(Slot slot, const Param& param, int nodes);

    std::unique_ptr<File> files[slotCount];
};

// One worker thread's part of a raster run: its own integrator, state and
// observers, and a buffered writer per result file. Integrates initial
// conditions one after another; memory does not grow with steps or initial
// conditions.
class RasterWorker {
public:
    RasterWorker(const RasterJob& job, RasterFiles& files, std::atomic<long long>& stepsDone);

    void integrate(long long ic);

private:
    RangeWriter* writer(RasterFiles::Slot slot) { return writers[slot] ? &*writers[slot] : nullptr; }

    const RasterJob& job;
    RasterFiles& files;
    RungeKutta rk;
    std::vector<double> initialPhases, initialFreqs, phases, freqs, nextPhases, nextFreqs;
    std::optional<RangeWriter> writers[RasterFiles::slotCount];
    std::optional<EnergyReturnObserver> energy;
    std::optional<MeanReturnObserver> meanReturn;
    std::optional<MaximaObserver> maxima;
    std::optional<TrajectoryObserver> trajectory;
    StepCounter counter;
};

#endif
