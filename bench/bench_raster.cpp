// Raster return-time throughput on a 100-node grid with the mean return-time
// and trajectory modes on: initial conditions per second and peak resident
// memory, for short and long trajectories, with the exact and the fast kernel,
// and with the progress line on (drawn into /dev/null) against off. Result
// files go to a temporary directory that is removed afterwards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "Function.h"
#include "Param.h"
#include "PowerGrid.h"
#include "Progress.h"
#include "RasterReturnTime.h"
#include "RungeKutta.h"

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
void buildGrid(PowerGrid& grid) {
    grid.setNumNodes(kNodes);
    for (int i = 0; i < kNodes; ++i) {
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
    for (int i = 0; i < kNodes; ++i) connect(i, (i + 1) % kNodes);
    for (int i = 0; i < kNodes; i += 10) connect(i, (i + kNodes / 2) % kNodes);
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/tessaly-bench-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        path = pattern;
        char buf[4096];
        if (!getcwd(buf, sizeof buf) || chdir(path.c_str()) != 0) std::abort();
        oldCwd = buf;
    }
    ~TempDir() {
        if (chdir(oldCwd.c_str()) != 0) std::abort();
        std::system(("rm -rf '" + path + "'").c_str());
    }
    void clearResults() const { std::system(("rm -f '" + path + "'/*/*").c_str()); }

private:
    std::string path;
    std::string oldCwd;
};

double peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
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
    RungeKutta rk(kNodes, &function);

    long done = 0;
    for (auto _ : state) {
        RasterReturnTime raster(&grid);
        raster.setNumOfThresh(3);
        raster.setThresholdLow(0.01);
        raster.setThresholdHigh(0.1);
        raster.setFirstPertNode(0);
        raster.setLastPertNode(1);
        raster.setFreqPertMin(0.0);
        raster.setFreqPertMax(0.1 * conditions - 0.05);
        raster.setFreqStepw(0.1);
        raster.setPhasePertMin(0.0);
        raster.setPhasePertMax(0.0);
        raster.setPhaseStepw(0.0);
        quietly([&] {
            ProgressDisplay display(progress);
            raster.rasterRT(param, function);
        });
        done += conditions;
        state.PauseTiming();
        dir.clearResults();
        state.ResumeTiming();
    }
    state.counters["ICs/s"] = benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
    state.counters["peak_RSS_MiB"] = peakRssMiB();
}

BENCHMARK(BM_RasterRmrtAndTrajectories)
    ->Args({1000, 10, 0, 0})
    ->Args({1000, 10, 0, 1})
    ->Args({1000, 10, 1, 0})
    ->Args({1000, 10, 1, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RasterRmrtAndTrajectories)
    ->Args({100000, 1, 0, 0})
    ->Args({100000, 1, 0, 1})
    ->Args({100000, 1, 1, 0})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
