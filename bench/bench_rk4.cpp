// Cost of one Runge-Kutta step per line record, next to the floor set by the
// same number of bare std::sin calls.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "Function.h"
#include "Param.h"
#include "PowerGrid.h"
#include "RungeKutta.h"

namespace {

// A ring with n/2 random chords: about three line records per node.
struct BenchGrid {
    Param param;
    PowerGrid grid;
    std::unique_ptr<Function> function;
    std::unique_ptr<RungeKutta> rk;
    std::vector<double> omega, theta, omegaNext, thetaNext;
    long lineRecords = 0;

    explicit BenchGrid(int n) {
        std::mt19937 gen(20240601u);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        param.setRandSeed(1u);
        grid.setNumNodes(n);
        for (int i = 0; i < n; ++i) {
            Node* node = grid.getNode(i);
            node->setPowerMech(i % 2 == 0 ? 1.0 : -1.0);
            node->setDamping(0.1);
            node->setInertiaInv(1.0);
        }
        for (int i = 0; i < n; ++i) connect(i, (i + 1) % n);
        std::uniform_int_distribution<int> pick(0, n - 1);
        for (int c = 0; c < n / 2; ++c) {
            int a = pick(gen), b = pick(gen);
            if (a != b) connect(a, b);
        }
        for (int i = 0; i < n; ++i) lineRecords += static_cast<long>(grid.linesOf(i).size());
        function = std::make_unique<Function>(&param, &grid);
        rk = std::make_unique<RungeKutta>(n, function.get());
        omega.resize(n);
        theta.resize(n);
        for (int i = 0; i < n; ++i) omega[i] = 0.1 * unit(gen), theta[i] = 0.5 * unit(gen);
        omegaNext.resize(n);
        thetaNext.resize(n);
    }

    void connect(int a, int b) {
        grid.provideTrLine(a, b)->setCouplingMag(4.0);
        grid.provideTrLine(b, a)->setCouplingMag(4.0);
    }
};

void setLineCounter(benchmark::State& state, long evaluationsPerIteration) {
    state.counters["per_line_eval"] = benchmark::Counter(
        static_cast<double>(evaluationsPerIteration), benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
    state.counters["line_records"] = static_cast<double>(evaluationsPerIteration / 4);
}

void BM_Rk4Step(benchmark::State& state) {
    BenchGrid g(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        g.rk->rk4(0.01, g.omega.data(), g.theta.data(), g.omegaNext.data(), g.thetaNext.data());
        g.omega.swap(g.omegaNext);
        g.theta.swap(g.thetaNext);
        benchmark::DoNotOptimize(g.theta.data());
        benchmark::ClobberMemory();
    }
    setLineCounter(state, 4 * g.lineRecords);  // four stages, one sine per record each
}

// The same number of sines per iteration as one rk4 step, on arguments that
// change between calls so none can be folded away.
void BM_BareSin(benchmark::State& state) {
    BenchGrid g(static_cast<int>(state.range(0)));
    const long calls = 4 * g.lineRecords;
    std::vector<double> args(static_cast<size_t>(calls));
    std::mt19937 gen(7u);
    std::uniform_real_distribution<double> phase(-3.0, 3.0);
    for (double& a : args) a = phase(gen);
    for (auto _ : state) {
        double sum = 0;
        for (double a : args) sum += std::sin(a);
        benchmark::DoNotOptimize(sum);
    }
    setLineCounter(state, calls);
}

}  // namespace

BENCHMARK(BM_Rk4Step)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_BareSin)->Arg(100)->Arg(1000)->Arg(10000);

BENCHMARK_MAIN();
