// The all-node right-hand side: exact bits against a per-record evaluation,
// the fast variants against the exact one, and the kernel following the grid
// between steps without allocating.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dynamics/Function.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "dynamics/RungeKutta.h"
#include "dynamics/SwingKernel.h"
#include "SwingReference.h"

// Counts every allocation of this test program, for the allocation-free step.
namespace {
long allocations = 0;
}
void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

const double kInf = std::numeric_limits<double>::infinity();

uint64_t bitsOf(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double nanWithPayload(uint64_t payload, bool negative) {
    uint64_t b = 0x7ff8000000000000ull | payload | (negative ? 0x8000000000000000ull : 0);
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// 37 nodes (not a multiple of any vector width) on a ring with chords. Ring
// lines alternate between no phase shift, φ_ji = -φ_ij (one of them the
// signed-zero pair +0/-0), φ_ji = φ_ij != 0 and one direction only; every
// fifth line is out of service. Returns the number of lines whose records
// can share one sine.
int buildMixedGrid(PowerGrid& grid) {
    const int n = 37;
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> u(-1, 1);
    grid.setNumNodes(n);
    for (int i = 0; i < n; ++i) {
        Node* node = grid.getNode(i);
        node->setPowerMech(u(gen));
        node->setPowerDiag(0.1 * u(gen));
        node->setDamping(0.4 + 0.2 * u(gen));
        node->setInertiaInv(1 / (2 + u(gen)));
    }
    int shared = 0;
    int lineCount = 0;
    auto connect = [&](int a, int b, int kind) {
        const double k = 3 + u(gen);
        const double phi = 0.2 * u(gen);
        TransmissionLine* forward = grid.provideTrLine(a, b);
        forward->setCouplingMag(k);
        forward->setCouplingAng(kind == 0 ? 0.0 : phi);
        if (kind != 3) {
            TransmissionLine* backward = grid.provideTrLine(b, a);
            backward->setCouplingMag(k * 0.9);
            backward->setCouplingAng(kind == 0 ? (lineCount % 2 ? -0.0 : 0.0) : kind == 1 ? -phi : phi);
            if (kind < 2) ++shared;
            if (++lineCount % 5 == 0) {
                forward->setOnline(false);
                backward->setOnline(false);
            }
        }
    };
    for (int i = 0; i < n; ++i) connect(i, (i + 1) % n, i % 4);
    for (int i = 0; i < n; i += 3) connect(i, (i + n / 2) % n, (i / 3) % 3);
    return shared;
}

struct State {
    std::vector<double> theta, omega;
};

// Random phases, then the same grid with equal phases, signed zeros, a huge
// phase, infinities and NaNs of both signs with payloads.
std::vector<State> testStates(int n) {
    std::mt19937 gen(3);
    std::uniform_real_distribution<double> u(-1, 1);
    State plain;
    for (int i = 0; i < n; ++i) {
        plain.theta.push_back(3.3 * u(gen));
        plain.omega.push_back(u(gen));
    }
    State special = plain;
    special.theta[4] = special.theta[5];
    special.theta[8] = -0.0;
    special.theta[9] = 0.0;
    special.theta[10] = -0.0;
    special.theta[14] = 1e22;
    special.theta[20] = kInf;
    special.theta[25] = -kInf;
    special.theta[30] = nanWithPayload(0x1234, true);
    special.theta[31] = nanWithPayload(0x99, false);
    special.theta[33] = std::nan("");
    return {plain, special};
}

void expectExactBits(PowerGrid& grid, const char* when) {
    const int n = grid.getNumNodes();
    SwingKernel::Scratch scratch;
    std::vector<double> slopes(n);
    for (const State& s : testStates(n)) {
        grid.swingKernel().evaluate(KernelVariant::exact, s.theta.data(), s.omega.data(), slopes.data(), scratch);
        for (int i = 0; i < n; ++i) {
            const double expected = perRecordSwingEq(grid, s.theta.data(), s.omega.data(), i);
            ASSERT_EQ(bitsOf(slopes[i]), bitsOf(expected))
                << when << ", node " << i << ": " << slopes[i] << " vs " << expected;
        }
    }
}

std::vector<KernelVariant> supportedFastVariants() {
    std::vector<KernelVariant> out;
    for (KernelVariant v : {KernelVariant::fastAvx512, KernelVariant::fastAvx2, KernelVariant::fastSse2,
                            KernelVariant::fastScalar}) {
        if (kernelVariantSupported(v)) out.push_back(v);
    }
    return out;
}

}  // namespace

// glibc's sin is odd bit for bit: the exact kernel's one sine per line pair
// relies on it. A libm without this property fails here first.
TEST(SwingKernel, SineIsOddBitForBit) {
    std::mt19937_64 gen(17);
    std::uniform_real_distribution<double> phase(-8, 8);
    std::uniform_real_distribution<double> exponent(-30, 80);
    for (int k = 0; k < 300000; ++k) {
        for (double x : {phase(gen), std::pow(2.0, exponent(gen))}) {
            ASSERT_EQ(bitsOf(std::sin(-x)), bitsOf(-std::sin(x))) << x;
        }
    }
    for (int q = -8; q <= 8; ++q) {
        double x = q * (M_PI / 2);
        for (int k = 0; k < 64; ++k, x = std::nextafter(x, kInf)) {
            ASSERT_EQ(bitsOf(std::sin(-x)), bitsOf(-std::sin(x))) << x;
        }
    }
}

TEST(SwingKernel, ExactVariantGivesThePerRecordBits) {
    PowerGrid grid;
    const int shared = buildMixedGrid(grid);
    ASSERT_GT(shared, 10);
    EXPECT_EQ(grid.swingKernel().numSharedPairs(), shared);
    expectExactBits(grid, "mixed angles");

    // No phase shift anywhere: every two-way line shares its sine.
    PowerGrid ring;
    ring.setNumNodes(12);
    for (int i = 0; i < 12; ++i) {
        ring.getNode(i)->setPowerMech(i % 2 ? 1.0 : -1.0);
        ring.getNode(i)->setInertiaInv(1);
        for (int j : {(i + 1) % 12, (i + 5) % 12}) {
            ring.provideTrLine(i, j)->setCouplingMag(2);
            ring.provideTrLine(j, i)->setCouplingMag(2);
        }
    }
    EXPECT_EQ(ring.swingKernel().numSharedPairs(), ring.swingKernel().numRecords() / 2);
    State s = testStates(37)[1];
    s.theta.resize(12);
    s.omega.resize(12);
    SwingKernel::Scratch scratch;
    std::vector<double> slopes(12);
    ring.swingKernel().evaluate(KernelVariant::exact, s.theta.data(), s.omega.data(), slopes.data(), scratch);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(bitsOf(slopes[i]), bitsOf(perRecordSwingEq(ring, s.theta.data(), s.omega.data(), i))) << i;
        EXPECT_EQ(bitsOf(slopes[i]), bitsOf(ring.swingEq(s.theta.data(), s.omega.data(), i))) << i;
    }
}

TEST(SwingKernel, FastVariantsAgreeWithTheExactOne) {
    PowerGrid grid;
    buildMixedGrid(grid);
    const int n = grid.getNumNodes();
    std::vector<State> states = testStates(n);
    SwingKernel::Scratch scratch;
    std::vector<double> exact(n), fast(n);
    const SwingKernel& kernel = grid.swingKernel();
    ASSERT_FALSE(supportedFastVariants().empty());
    for (KernelVariant v : supportedFastVariants()) {
        SCOPED_TRACE(kernelVariantName(v));
        kernel.evaluate(KernelVariant::exact, states[0].theta.data(), states[0].omega.data(), exact.data(), scratch);
        kernel.evaluate(v, states[0].theta.data(), states[0].omega.data(), fast.data(), scratch);
        for (int i = 0; i < n; ++i) EXPECT_NEAR(fast[i], exact[i], 2e-12) << i;

        // A phase that is NaN or infinite spoils the same nodes in both.
        kernel.evaluate(KernelVariant::exact, states[1].theta.data(), states[1].omega.data(), exact.data(), scratch);
        kernel.evaluate(v, states[1].theta.data(), states[1].omega.data(), fast.data(), scratch);
        for (int i = 0; i < n; ++i) EXPECT_EQ(std::isnan(fast[i]), std::isnan(exact[i])) << i;
    }
}

TEST(SwingKernel, VariantsHaveDistinctNamesAndFastModeSelectsTheWidestOfThisCpu) {
    std::set<std::string> names;
    for (KernelVariant v : {KernelVariant::exact, KernelVariant::fastAvx512, KernelVariant::fastAvx2,
                            KernelVariant::fastSse2, KernelVariant::fastScalar}) {
        names.insert(kernelVariantName(v));
    }
    EXPECT_EQ(names.size(), 5u);
    EXPECT_EQ(supportedFastVariants().front(), fastKernelVariant());

    Param param;
    PowerGrid grid;
    EXPECT_STREQ(Function(&param, &grid).kernelName(), "exact");
    param.setModeFast(true);
    Function function(&param, &grid);
    EXPECT_EQ(function.kernelVariant(), fastKernelVariant());
    function.useFastKernel(false);
    EXPECT_STREQ(function.kernelName(), "exact");
    function.setKernelVariant(KernelVariant::fastScalar);
    EXPECT_STREQ(function.kernelName(), "fast-scalar");
}

TEST(SwingKernel, CopiedGridEvaluatesItsOwnNodes) {
    auto original = std::make_unique<PowerGrid>();
    buildMixedGrid(*original);
    original->swingKernel();
    PowerGrid copy(*original);
    original.reset();
    copy.setPowerMech(2, 5.0);
    expectExactBits(copy, "copied grid");
}

TEST(SwingKernel, BuildRefusesRecordsOutsideTheGrid) {
    std::vector<Node> nodes(2, Node(0));
    SwingKernel kernel;
    EXPECT_THROW(kernel.build(nodes.data(), 2, {0, 1, 1}, {{2, 1.0, 0.0}}), std::invalid_argument);
    EXPECT_THROW(kernel.build(nodes.data(), 2, {0, 1}, {{1, 1.0, 0.0}}), std::invalid_argument);
    EXPECT_THROW(kernel.build(nodes.data(), 2, {0, 2, 1}, {{1, 1.0, 0.0}}), std::invalid_argument);
    kernel.build(nodes.data(), 2, {0, 1, 2}, {{1, 1.0, 0.5}, {0, 1.0, -0.5}});
    EXPECT_EQ(kernel.numSharedPairs(), 1);
}

// Powers set between steps and lines switched off between steps reach the
// next step: it gives the bits of a step on a grid built that way from the
// start. After the first step nothing is allocated.
TEST(SwingKernel, StepsFollowTheGridAndAllocateNothing) {
    Param param;
    PowerGrid grid, changed;
    buildMixedGrid(grid);
    buildMixedGrid(changed);
    const int n = grid.getNumNodes();
    const int offTo = grid.linesOf(6).front().getToNode();
    const double power = grid.getPowerMech(3);
    changed.setPowerMech(3, 0.75);
    changed.getTrLine(6, offTo)->setOnline(false);
    changed.getTrLine(offTo, 6)->setOnline(false);

    for (KernelVariant v : {KernelVariant::exact, fastKernelVariant()}) {
        SCOPED_TRACE(kernelVariantName(v));
        Function onGrid(&param, &grid), onChanged(&param, &changed);
        onGrid.setKernelVariant(v);
        onChanged.setKernelVariant(v);
        RungeKutta rk(n, &onGrid), rkChanged(n, &onChanged);
        State s = testStates(n)[0];
        std::vector<double> om(n), th(n), omRef(n), thRef(n);
        rk.rk4(0.01, s.omega.data(), s.theta.data(), om.data(), th.data());

        const long before = allocations;
        for (int step = 0; step < 5; ++step) rk.rk4(0.01, s.omega.data(), s.theta.data(), om.data(), th.data());
        EXPECT_EQ(allocations, before);

        grid.setPowerMech(3, 0.75);
        grid.getTrLine(6, offTo)->setOnline(false);
        grid.getTrLine(offTo, 6)->setOnline(false);
        rk.rk4(0.01, s.omega.data(), s.theta.data(), om.data(), th.data());
        rkChanged.rk4(0.01, s.omega.data(), s.theta.data(), omRef.data(), thRef.data());
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(bitsOf(om[i]), bitsOf(omRef[i])) << i;
            EXPECT_EQ(bitsOf(th[i]), bitsOf(thRef[i])) << i;
        }
        grid.getTrLine(6, offTo)->setOnline(true);
        grid.getTrLine(offTo, 6)->setOnline(true);
        grid.setPowerMech(3, power);
    }

    Function function(&param, &grid);
    RungeKutta tooSmall(n - 1, &function);
    std::vector<double> state(n);
    EXPECT_THROW(tooSmall.rk4(0.01, state.data(), state.data(), state.data(), state.data()), std::out_of_range);
}
