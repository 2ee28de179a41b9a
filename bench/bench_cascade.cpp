// Integration steps per second of a stochastic cascade run: a 1,000-node grid
// with 10 wind turbines, the overload check after every step, results written
// into a temporary directory.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dynamics/Function.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "dynamics/RungeKutta.h"
#include "analyses/stochastic/StochasticInput.h"

namespace {

const int kNodes = 1000;
const int kTurbines = 10;
const int kSteps = 2000;
const double kStepWidth = 0.01;

// Ring with a chord from every node to the node seven places on: four line
// records per node. Turbines every hundredth node deliver about 0.26 each at
// the mean wind; the other nodes share the load.
void buildGrid(PowerGrid& grid) {
    grid.setNumNodes(kNodes);
    const double turbinePower = 512.0 / 1953.125;
    const double load = -kTurbines * turbinePower / (kNodes - kTurbines);
    for (int i = 0; i < kNodes; ++i) {
        Node* node = grid.getNode(i);
        const double power = i % (kNodes / kTurbines) == 0 ? turbinePower : load;
        node->setType(i % 2 == 0 ? Node::GENERATOR : Node::LOAD);
        node->setPowerMechInit(power);
        node->setPowerMech(power);
        node->setDamping(0.5);
        node->setInertia(1.0);
        node->setInertiaInv(1.0);
        node->setVoltMagSs(1.0);
    }
    auto connect = [&grid](int a, int b) {
        for (auto [from, to] : {std::pair<int, int>{a, b}, std::pair<int, int>{b, a}}) {
            TransmissionLine* line = grid.provideTrLine(from, to);
            line->setCouplingMag(10.0);
            line->setAdmittanceMag(10.0);
            line->setCapacity(1e6);
        }
    };
    for (int i = 0; i < kNodes; ++i) {
        connect(i, (i + 1) % kNodes);
        connect(i, (i + 7) % kNodes);
    }
    grid.calcCflow();
}

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/tessaly-bench-XXXXXX";
        path = mkdtemp(pattern) ? pattern : ".";
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

void BM_CascadeSteps(benchmark::State& state) {
    TempDir dir;
    Param param;
    PowerGrid grid;
    buildGrid(grid);
    param.numNodes = kNodes;
    param.rkSteps = kSteps;
    param.setStepWidth(kStepWidth);
    param.setRandSeed(11u);
    param.setModeStepFun(true);
    param.setModeStochCASC(true);
    Function function(&param, &grid);
    RungeKutta rk(kNodes, &function);

    StochasticInput stoch(&grid, &param);
    stoch.pratedGiven = true;
    stoch.turbinePrated.assign(kNodes, 1.0);
    const int samples = static_cast<int>(kSteps * kStepWidth) + 1;
    for (int t = 0; t < kTurbines; ++t) {
        std::vector<double> wind(samples);
        for (int k = 0; k < samples; ++k) wind[k] = 8.0 + ((k * 7 + t * 3) % 11 - 5) * 0.4;
        stoch.windSeries.push_back(wind);
    }
    std::vector<int> turbines;
    for (int t = 0; t < kTurbines; ++t) turbines.push_back(t * (kNodes / kTurbines));
    stoch.turbineNodes = {turbines};

    for (auto _ : state) {
        param.outputFilename = dir.path + "/casc";
        stoch.stochSwing(param, rk);
    }
    state.counters["steps_per_second"] =
        benchmark::Counter(static_cast<double>(kSteps), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_CascadeSteps)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
