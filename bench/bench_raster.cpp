// Raster return-time throughput: initial conditions per second (wall clock)
// and peak resident memory.
//  - BM_RasterRmrtAndTrajectories: a 100-node grid with the mean return-time
//    and trajectory modes on, short and long trajectories, the exact and the
//    fast kernel, the progress line on (drawn into /dev/null) against off.
//  - BM_RasterThreads: 100 and 1,000 nodes, mean return times, 1, 2, 4 worker
//    threads on the same initial conditions.
//  - BM_RasterProcesses: the program end to end under the MPI launcher with
//    1, 2, 3 processes of one thread each (the time includes starting the
//    processes and each process's power flow).
// Result files go to a temporary directory that is removed afterwards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "dynamics/Function.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "ensemble/ProcessGroup.h"
#include "diagnostics/Progress.h"
#include "analyses/raster/RasterReturnTime.h"
#include "TempDir.h"

namespace {

const int kNodes = 100;

// Console output of the program (power flow, directory messages) would drown
// the benchmark table; it goes to /dev/null while `work` runs.
template <typename Work>
void quietly(Work work) {
    std::cout.flush();
    std::fflush(nullptr);
    const int savedOut = dup(1);
    const int savedErr = dup(2);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    dup2(devNull, 2);
    work();
    std::cout.flush();
    std::fflush(nullptr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(devNull);
    close(savedOut);
    close(savedErr);
}

// A ring with a chord every tenth node; generators and loads alternate.
void buildGrid(PowerGrid& grid, int nodes = kNodes) {
    grid.setNumNodes(nodes);
    for (int i = 0; i < nodes; ++i) {
        Node* node = grid.getNode(i);
        const double p = i % 2 == 0 ? 1.0 : -1.0;
        node->setPowerMechInit(p);
        node->setPowerMech(p);
        node->setDamping(0.1);
        node->setInertia(1.0);
        node->setInertiaInv(1.0);
    }
    auto connect = [&](int a, int b) {
        grid.provideTrLine(a, b)->setCouplingMag(8.0);
        grid.provideTrLine(b, a)->setCouplingMag(8.0);
    };
    for (int i = 0; i < nodes; ++i) connect(i, (i + 1) % nodes);
    for (int i = 0; i < nodes; i += 10) connect(i, (i + nodes / 2) % nodes);
}

double peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// Times `run(raster)` once per iteration, quietly, on a raster of frequency
// kicks from node 0 on (three return-time bands, steps of 0.1, `kicks` sets
// the range), and counts initial conditions per second of the wall clock.
template <class Kicks, class Run>
void timeRasterRuns(benchmark::State& state, PowerGrid& grid, const TempDir& dir, int conditions, Kicks kicks,
                    Run run) {
    long done = 0;
    for (auto _ : state) {
        RasterReturnTime raster(&grid);
        raster.setNumOfThresh(3);
        raster.setThresholdLow(0.01);
        raster.setThresholdHigh(0.1);
        raster.setFirstPertNode(0);
        raster.setFreqStepw(0.1);
        kicks(raster);
        quietly([&] { run(raster); });
        done += conditions;
        state.PauseTiming();
        dir.clearResults();
        state.ResumeTiming();
    }
    state.counters["ICs/s"] = benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
    state.counters["peak_RSS_MiB"] = peakRssMiB();
}

// Argument 0: RK steps; argument 1: initial conditions per raster run;
// argument 2: 1 for the fast kernel; argument 3: 1 for the progress line.
void BM_RasterRmrtAndTrajectories(benchmark::State& state) {
    const int steps = static_cast<int>(state.range(0));
    const int conditions = static_cast<int>(state.range(1));
    const bool fast = state.range(2) != 0;
    const bool progress = state.range(3) != 0;
    TempDir dir;
    PowerGrid grid;
    buildGrid(grid);
    Param param;
    param.numNodes = kNodes;
    param.rkSteps = steps;
    param.setStepWidth(0.01);
    param.modeRMRT = true;
    param.modeStraj = true;
    param.outputFilename = "bench";
    quietly([&] { grid.NRPF(); });
    Function function(&param, &grid);
    function.useFastKernel(fast);
    state.SetLabel(std::string(function.kernelName()) + (progress ? ", progress" : ""));

    timeRasterRuns(state, grid, dir, conditions,
                   [&](RasterReturnTime& raster) {
                       raster.setLastPertNode(1);
                       raster.setFreqPertMin(0.0);
                       raster.setFreqPertMax(0.1 * conditions - 0.05);
                   },
                   [&](RasterReturnTime& raster) {
                       ProgressDisplay display(progress);
                       raster.rasterRT(param, function, Parallelism{1});
                   });
}

// Wall-clock time: the raster integrates on worker threads.
BENCHMARK(BM_RasterRmrtAndTrajectories)
    ->Args({1000, 10, 0, 0})
    ->Args({1000, 10, 0, 1})
    ->Args({1000, 10, 1, 0})
    ->Args({1000, 10, 1, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RasterRmrtAndTrajectories)
    ->Args({100000, 1, 0, 0})
    ->Args({100000, 1, 0, 1})
    ->Args({100000, 1, 1, 0})
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The same initial conditions on every thread count: 24 kicks of 1,000 steps
// on 100 nodes, 12 of 200 steps on 1,000 nodes.
// Argument 0: nodes; argument 1: worker threads.
void BM_RasterThreads(benchmark::State& state) {
    const int nodes = static_cast<int>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    const int conditions = nodes <= 100 ? 24 : 12;
    TempDir dir;
    PowerGrid grid;
    buildGrid(grid, nodes);
    Param param;
    param.numNodes = nodes;
    param.rkSteps = nodes <= 100 ? 1000 : 200;
    param.setStepWidth(0.01);
    param.modeRMRT = true;
    param.outputFilename = "bench";
    quietly([&] { grid.NRPF(); });
    Function function(&param, &grid);

    timeRasterRuns(state, grid, dir, conditions,
                   [&](RasterReturnTime& raster) {
                       raster.setLastPertNode(conditions);
                       raster.setFreqPertMin(0.1);
                       raster.setFreqPertMax(0.15);
                   },
                   [&](RasterReturnTime& raster) { raster.rasterRT(param, function, Parallelism{threads}); });
}

BENCHMARK(BM_RasterThreads)
    ->ArgsProduct({{100, 1000}, {1, 2, 4}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

#ifdef TESSALY_MPIEXEC

// The input of BM_RasterThreads as a file: the grid as a line list, the power
// flow from the flat start with the sparse solver (every process solves it).
std::string rasterInput(int nodes, int conditions, int steps) {
    std::string text = "Random seed\n1\nOutput filename\nbench\nRK steps\n" + std::to_string(steps) +
                       "\nRK stepwidth\n0.01\nMode raster rt\nMode RMRT\nNumber of nodes\n" + std::to_string(nodes) +
                       "\nNR start\nflat\nNR solver\nsparse\nPower mech\n";
    for (int i = 0; i < nodes; ++i) text += i % 2 == 0 ? "1 " : "-1 ";
    text += "\nDamping\n0.1\nInertia\n1\nLine list\n";
    auto connect = [&](int a, int b) {
        text += std::to_string(a) + " " + std::to_string(b) + " 8 0\n" + std::to_string(b) + " " + std::to_string(a) +
                " 8 0\n";
    };
    for (int i = 0; i < nodes; ++i) connect(i, (i + 1) % nodes);
    // Each chord once: a list names every record one time.
    for (int i = 0; i < nodes / 2; i += 10) connect(i, i + nodes / 2);
    text += "First pert node\n0\nLast pert node\n" + std::to_string(conditions) +
            "\nFreq pert minimum\n0.1\nFreq pert maximum\n0.15\nFreq pert step\n0.1\n"
            "RT threshold low\n0.01\nRT threshold high\n0.1\nNum of thresh\n3\n";
    return text;
}

// Argument 0: nodes; argument 1: processes (one thread each, not bound to a core).
void BM_RasterProcesses(benchmark::State& state) {
    const int nodes = static_cast<int>(state.range(0));
    const int processes = static_cast<int>(state.range(1));
    const int conditions = nodes <= 100 ? 48 : 12;
    TempDir dir;
    {
        std::FILE* input = std::fopen("input.txt", "w");
        const std::string text = rasterInput(nodes, conditions, nodes <= 100 ? 2000 : 1000);
        std::fwrite(text.data(), 1, text.size(), input);
        std::fclose(input);
    }
    const std::string command = std::string("OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 ") +
                                TESSALY_MPIEXEC + " -n " + std::to_string(processes) +
                                " --oversubscribe --bind-to none " + TESSALY_BIN +
                                " -j 1 --no-progress input.txt > /dev/null 2>&1";
    long done = 0;
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("the launcher or the program failed");
            break;
        }
        done += conditions;
        state.PauseTiming();
        dir.clearResults();
        state.ResumeTiming();
    }
    state.counters["ICs/s"] = benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_RasterProcesses)
    ->ArgsProduct({{100, 1000}, {1, 2, 3}})
    ->UseRealTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

#endif

}  // namespace

BENCHMARK_MAIN();
