// Cost of the right-hand side per line record and of one Runge-Kutta step, for
// the record-by-record reference (the evaluation before the all-node kernel),
// the exact kernel and every fast kernel this CPU runs, next to the floor set
// by the same number of bare std::sin calls, and the fast kernel's step next
// to a hand-written step of the same arithmetic (HandWrittenRk4.h).

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <string>
#include <random>
#include <vector>

#include "dynamics/Function.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "dynamics/RungeKutta.h"
#include "dynamics/SwingKernel.h"
#include "HandWrittenRk4.h"

namespace {

// Second benchmark argument: the reference or a kernel variant.
const int kReference = -1;

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

    void advance() {
        omega.swap(omegaNext);
        theta.swap(thetaNext);
        benchmark::DoNotOptimize(theta.data());
        benchmark::ClobberMemory();
    }
};

// Labels the run with the variant and skips variants this CPU cannot run;
// false when skipped.
bool selectVariant(benchmark::State& state, BenchGrid& g) {
    const int arg = static_cast<int>(state.range(1));
    if (arg == kReference) {
        state.SetLabel("reference");
        return true;
    }
    const KernelVariant variant = static_cast<KernelVariant>(arg);
    if (!kernelVariantSupported(variant)) {
        state.SkipWithError("not supported on this CPU");
        return false;
    }
    g.function->setKernelVariant(variant);
    state.SetLabel(kernelVariantName(variant));
    return true;
}

void setRecordCounter(benchmark::State& state, long evaluationsPerIteration, long lineRecords) {
    state.counters["per_record"] = benchmark::Counter(
        static_cast<double>(evaluationsPerIteration),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["line_records"] = static_cast<double>(lineRecords);
}

// The right-hand side as it was evaluated before the all-node kernel: one
// call per node, one sine per record.
void referenceSlopes(const SwingKernel& kernel, const double* theta, const double* omega, double* out, int n) {
    for (int i = 0; i < n; ++i) out[i] = kernel.nodeDerivative(theta, omega, i);
}

// The whole step as it was: the reference right-hand side per stage and fmod
// in every wrap.
void referenceRk4(BenchGrid& g, double h, std::vector<double> (&k)[8], std::vector<double>& tmpOm,
                  std::vector<double>& tmpTh) {
    const int n = static_cast<int>(g.omega.size());
    const SwingKernel& kernel = g.function->kernel();
    const double* om = g.omega.data();
    const double* th = g.theta.data();
    auto stage = [&](const double* o, const double* t, std::vector<double>& kOm, std::vector<double>& kTh,
                     bool half) {
        referenceSlopes(kernel, t, o, kOm.data(), n);
        for (int i = 0; i < n; ++i) {
            kOm[i] = half ? kOm[i] * h / 2 : kOm[i] * h;
            kTh[i] = half ? o[i] * h / 2 : o[i] * h;
        }
    };
    auto shift = [&](const std::vector<double>& kOm, const std::vector<double>& kTh) {
        for (int i = 0; i < n; ++i) tmpOm[i] = om[i] + kOm[i], tmpTh[i] = th[i] + kTh[i];
    };
    stage(om, th, k[0], k[1], true);
    shift(k[0], k[1]);
    stage(tmpOm.data(), tmpTh.data(), k[2], k[3], true);
    shift(k[2], k[3]);
    stage(tmpOm.data(), tmpTh.data(), k[4], k[5], false);
    shift(k[4], k[5]);
    stage(tmpOm.data(), tmpTh.data(), k[6], k[7], false);
    for (int i = 0; i < n; ++i) {
        g.omegaNext[i] = k[0][i] / 3 + om[i] + (2.0 / 3.0) * k[2][i] + k[4][i] / 3 + k[6][i] / 6;
        double t = k[1][i] / 3 + th[i] + (2.0 / 3.0) * k[3][i] + k[5][i] / 3 + k[7][i] / 6;
        double r = std::fmod(std::fabs(t) + 3.14159265359, 6.28318530718) - 3.14159265359;
        g.thetaNext[i] = r * (t > 0 ? 1.0 : (t < 0 ? -1.0 : 0.0));
    }
}

void BM_RightHandSide(benchmark::State& state) {
    BenchGrid g(static_cast<int>(state.range(0)));
    if (!selectVariant(state, g)) return;
    const int n = static_cast<int>(g.omega.size());
    const SwingKernel& kernel = g.function->kernel();
    const KernelVariant variant = g.function->kernelVariant();
    SwingKernel::Scratch scratch;
    for (auto _ : state) {
        if (state.range(1) == kReference) {
            referenceSlopes(kernel, g.theta.data(), g.omega.data(), g.omegaNext.data(), n);
        } else {
            kernel.evaluate(variant, g.theta.data(), g.omega.data(), g.omegaNext.data(), scratch);
        }
        benchmark::DoNotOptimize(g.omegaNext.data());
        benchmark::ClobberMemory();
    }
    setRecordCounter(state, g.lineRecords, g.lineRecords);
}

void BM_Rk4Step(benchmark::State& state) {
    BenchGrid g(static_cast<int>(state.range(0)));
    if (!selectVariant(state, g)) return;
    const std::size_t n = g.omega.size();
    std::vector<double> k[8], tmpOm(n), tmpTh(n);
    for (std::vector<double>& v : k) v.resize(n);
    for (auto _ : state) {
        if (state.range(1) == kReference) {
            referenceRk4(g, 0.01, k, tmpOm, tmpTh);
        } else {
            g.rk->rk4(0.01, g.omega.data(), g.theta.data(), g.omegaNext.data(), g.thetaNext.data());
        }
        g.advance();
    }
    setRecordCounter(state, 4 * g.lineRecords, g.lineRecords);  // four stages
}

// The hand-written step with the sincos of the variant in the second argument.
void BM_HandWrittenRk4Step(benchmark::State& state) {
    BenchGrid g(static_cast<int>(state.range(0)));
    const KernelVariant variant = static_cast<KernelVariant>(state.range(1));
    if (!kernelVariantSupported(variant)) {
        state.SkipWithError("not supported on this CPU");
        return;
    }
    handwritten::SinCos sinCos = variant == KernelVariant::fastAvx512 ? handwritten::sinCosAvx512
                                 : variant == KernelVariant::fastAvx2 ? handwritten::sinCosAvx2
                                                                      : handwritten::sinCosSse2;
    const int n = static_cast<int>(g.omega.size());
    std::vector<int> start(1, 0), to;
    std::vector<double> a, damping, power, powerDiag, inertiaInv;
    for (int i = 0; i < n; ++i) {
        for (const TransmissionLine& line : g.grid.linesOf(i)) {
            to.push_back(line.getToNode());
            a.push_back(g.grid.getCouplingMag(i, line.getToNode()));
        }
        start.push_back(static_cast<int>(to.size()));
        const Node* node = g.grid.getNode(i);
        damping.push_back(node->getDamping());
        power.push_back(node->getPowerMech());
        powerDiag.push_back(node->getPowerDiag());
        inertiaInv.push_back(node->getInertiaInv());
    }
    handwritten::Rk4 rk(start, to, a, damping, power, powerDiag, inertiaInv, sinCos);
    for (auto _ : state) {
        rk.step(0.01, g.omega.data(), g.theta.data(), g.omegaNext.data(), g.thetaNext.data());
        g.advance();
    }
    state.SetLabel(std::string("hand-written ") + (kernelVariantName(variant) + 5));
    setRecordCounter(state, 4 * g.lineRecords, g.lineRecords);
}

// The same number of sines per iteration as one reference step, on arguments
// that change between calls so none can be folded away.
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
    setRecordCounter(state, calls, g.lineRecords);
}

const std::vector<int64_t> kVariantArgs = {kReference,
                                           static_cast<int64_t>(KernelVariant::exact),
                                           static_cast<int64_t>(KernelVariant::fastAvx512),
                                           static_cast<int64_t>(KernelVariant::fastAvx2),
                                           static_cast<int64_t>(KernelVariant::fastSse2),
                                           static_cast<int64_t>(KernelVariant::fastScalar)};

}  // namespace

BENCHMARK(BM_RightHandSide)->ArgsProduct({{100, 1000, 10000}, kVariantArgs});
BENCHMARK(BM_Rk4Step)->ArgsProduct({{100, 1000, 10000}, kVariantArgs});
BENCHMARK(BM_HandWrittenRk4Step)
    ->ArgsProduct({{100, 1000, 10000},
                   {static_cast<int64_t>(KernelVariant::fastAvx512), static_cast<int64_t>(KernelVariant::fastAvx2),
                    static_cast<int64_t>(KernelVariant::fastSse2)}});
BENCHMARK(BM_BareSin)->Arg(100)->Arg(1000)->Arg(10000);

BENCHMARK_MAIN();
