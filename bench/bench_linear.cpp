// Linear stability: time of every solver path on rings with random chords
// (about three line records per node), from the linearisation to the
// participation factors of the 20 least-damped modes. The grids are
// linearised at phases 0, their steady state without injected powers.
//
// Argument 0: nodes; argument 1: the path (0 dense-symmetric, 1
// dense-proportional, 2 dense-general, 3 iterative). Damping per inertia is
// equal at every node for paths 0, 1 and 3 and differs (generators and
// loads) for path 2; path 1 gets phase shifts that make L not symmetric.
#include <benchmark/benchmark.h>

#include <random>

#include "analyses/linear/LinearModes.h"
#include "grid/PowerGrid.h"

namespace {

void buildGrid(PowerGrid& grid, int n, int path) {
    std::mt19937 gen(20240601u);
    std::uniform_int_distribution<int> pick(0, n - 1);
    grid.setNumNodes(n);
    for (int i = 0; i < n; ++i) {
        Node* node = grid.getNode(i);
        const double inertia = path == 2 && i % 2 == 1 ? 0.1 : 1.0;
        node->setInertia(inertia);
        node->setInertiaInv(1 / inertia);
        node->setDamping(path == 2 ? 1.0 : 0.5 * inertia);
    }
    auto connect = [&](int a, int b) {
        for (auto [from, to] : {std::pair<int, int>{a, b}, {b, a}}) {
            TransmissionLine* line = grid.provideTrLine(from, to);
            line->setCouplingMag(8.0);
            line->setCouplingAng(path == 1 ? 0.05 : 0.0);
        }
    };
    for (int i = 0; i < n; ++i) connect(i, (i + 1) % n);
    for (int c = 0; c < n / 2; ++c) {
        const int a = pick(gen), b = pick(gen);
        if (a != b) connect(a, b);
    }
}

void BM_LinearStability(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const SpectrumPath path = static_cast<SpectrumPath>(state.range(1));
    PowerGrid grid;
    buildGrid(grid, n, static_cast<int>(state.range(1)));
    // Phases 0 with phase shifts are no steady state, but linearise all the same.
    std::vector<double> theta(n, 0.0);
    for (int i = 0; path == SpectrumPath::proportional && i < n; ++i) theta[i] = 0.1 * std::sin(0.01 * i);
    const int modes = 20;
    std::size_t found = 0;
    for (auto _ : state) {
        const LinearSystem system = linearise(grid, theta);
        LinearModes result =
            analyseModes(system, computeSpectrum(system, path, system.rotationModes + 2 * modes + 2), modes);
        found = result.eigenvalues.size();
        benchmark::DoNotOptimize(result.participation.data());
    }
    state.SetLabel(std::string(spectrumPathName(path)) + ", " + std::to_string(found) + " eigenvalues");
}

BENCHMARK(BM_LinearStability)
    ->Args({500, 0})
    ->Args({2000, 0})
    ->Args({500, 1})
    ->Args({2000, 1})
    ->Args({500, 2})
    ->Args({2000, 2})
    ->Args({2000, 3})
    ->Args({10000, 3})
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
