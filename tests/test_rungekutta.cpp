#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "util/CodeUtils.h"
#include "dynamics/Function.h"
#include "util/MTRand.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "dynamics/RungeKutta.h"

namespace {

struct NodeValues {
    double powerMech, powerDiag, damping, inertiaInv;
};

struct Line {
    int from, to;
    double k, phi;
};

void buildGrid(PowerGrid& grid, const std::vector<NodeValues>& nodes, const std::vector<Line>& lines) {
    grid.setNumNodes(static_cast<int>(nodes.size()));
    for (size_t i = 0; i < nodes.size(); ++i) {
        Node* node = grid.getNode(static_cast<int>(i));
        node->setPowerMech(nodes[i].powerMech);
        node->setPowerDiag(nodes[i].powerDiag);
        node->setDamping(nodes[i].damping);
        node->setInertiaInv(nodes[i].inertiaInv);
    }
    for (const Line& l : lines) {
        TransmissionLine* line = grid.provideTrLine(l.from, l.to);
        line->setCouplingMag(l.k);
        line->setCouplingAng(l.phi);
    }
}

// Textbook right-hand side and classical RK4 step, written independently of
// the grid and integrator: y' = y + h/6 (s1 + 2 s2 + 2 s3 + s4), no wrapping.
struct Reference {
    std::vector<NodeValues> nodes;
    std::vector<Line> lines;

    void slopes(const std::vector<double>& om, const std::vector<double>& th, std::vector<double>& dOm,
                std::vector<double>& dTh) const {
        size_t n = nodes.size();
        dOm.assign(n, 0.0);
        dTh = om;
        for (size_t i = 0; i < n; ++i) {
            double flow = 0;
            for (const Line& l : lines)
                if (l.from == static_cast<int>(i)) flow += l.k * std::sin(th[i] - th[l.to] - l.phi);
            const NodeValues& v = nodes[i];
            dOm[i] = (v.powerMech - v.powerDiag - v.damping * om[i] - flow) * v.inertiaInv;
        }
    }

    void step(double h, std::vector<double>& om, std::vector<double>& th) const {
        size_t n = om.size();
        std::vector<double> o1, t1, o2, t2, o3, t3, o4, t4, om2(n), th2(n);
        slopes(om, th, o1, t1);
        for (size_t i = 0; i < n; ++i) om2[i] = om[i] + 0.5 * h * o1[i], th2[i] = th[i] + 0.5 * h * t1[i];
        slopes(om2, th2, o2, t2);
        for (size_t i = 0; i < n; ++i) om2[i] = om[i] + 0.5 * h * o2[i], th2[i] = th[i] + 0.5 * h * t2[i];
        slopes(om2, th2, o3, t3);
        for (size_t i = 0; i < n; ++i) om2[i] = om[i] + h * o3[i], th2[i] = th[i] + h * t3[i];
        slopes(om2, th2, o4, t4);
        for (size_t i = 0; i < n; ++i) {
            om[i] += h / 6 * (o1[i] + 2 * o2[i] + 2 * o3[i] + o4[i]);
            th[i] += h / 6 * (t1[i] + 2 * t2[i] + 2 * t3[i] + t4[i]);
        }
    }
};

class RungeKuttaTest : public ::testing::Test {
protected:
    RungeKuttaTest() { param.setRandSeed(12345u); }

    // Builds the grid and an integrator over it.
    void use(const std::vector<NodeValues>& nodes, const std::vector<Line>& lines) {
        ref.nodes = nodes;
        ref.lines = lines;
        buildGrid(grid, nodes, lines);
        function = std::make_unique<Function>(&param, &grid);
        rk = std::make_unique<RungeKutta>(grid.getNumNodes(), function.get());
    }

    // Advances (om, th) by `steps` steps of width h, swapping buffers.
    void run(double h, int steps, std::vector<double>& om, std::vector<double>& th) {
        std::vector<double> omOut(om.size()), thOut(th.size());
        for (int s = 0; s < steps; ++s) {
            rk->rk4(h, om.data(), th.data(), omOut.data(), thOut.data());
            om.swap(omOut);
            th.swap(thOut);
        }
    }

    // A hundred steps from one state by the integrator and by the stage
    // formulas written out over slopes(omega, theta, out) (stageFormulaStep,
    // below), bit for bit: any reordering shows up somewhere along them.
    template <typename Slopes>
    void expectTheBitsOfTheStageFormulas(Slopes slopes);

    Param param;
    PowerGrid grid;
    Reference ref;
    std::unique_ptr<Function> function;
    std::unique_ptr<RungeKutta> rk;
};

// Three coupled nodes with damping, unequal inertias and line angles.
const std::vector<NodeValues> kNodes = {
    {1.5, 0.2, 0.1, 1.0 / 3.0}, {0.0, 0.6, 0.4, 2.0}, {-0.3, 0.4, 0.25, 0.8}};
const std::vector<Line> kLines = {{0, 1, 2.0, 0.05}, {1, 0, 2.0, 0.05}, {1, 2, 1.5, -0.1},
                                  {2, 1, 1.5, -0.1}, {0, 2, 0.7, 0.0},  {2, 0, 0.7, 0.0}};

// One step of the three-node grid in the program's operation order: stage
// increments slope * h / 2 (then slope * h), each stage from y + k, the new
// state k1/3 + y + (2/3) k2 + k3/3 + k4/6 summed left to right and its phase
// wrapped. slopes(omega, theta, out) gives dω/dt of the three nodes.
template <typename Slopes>
void stageFormulaStep(double h, std::vector<double>& om, std::vector<double>& th, Slopes slopes) {
    const int n = 3;
    double k[4][2][3], slope[3], tOm[3], tTh[3];
    const double* curOm = om.data();
    const double* curTh = th.data();
    for (int s = 0; s < 4; ++s) {
        slopes(curOm, curTh, slope);
        for (int i = 0; i < n; ++i) {
            k[s][0][i] = s < 2 ? slope[i] * h / 2 : slope[i] * h;
            k[s][1][i] = s < 2 ? curOm[i] * h / 2 : curOm[i] * h;
        }
        for (int i = 0; i < n; ++i) tOm[i] = om[i] + k[s][0][i], tTh[i] = th[i] + k[s][1][i];
        curOm = tOm;
        curTh = tTh;
    }
    for (int i = 0; i < n; ++i) {
        om[i] = k[0][0][i] / 3 + om[i] + (2.0 / 3.0) * k[1][0][i] + k[2][0][i] / 3 + k[3][0][i] / 6;
        th[i] = CodeUtils::smallerAngle(k[0][1][i] / 3 + th[i] + (2.0 / 3.0) * k[1][1][i] + k[2][1][i] / 3 +
                                        k[3][1][i] / 6);
    }
}

template <typename Slopes>
void RungeKuttaTest::expectTheBitsOfTheStageFormulas(Slopes slopes) {
    std::vector<double> om = {0.3, -0.2, 0.45}, th = {0.4, -0.1, -0.7};
    std::vector<double> omRef = om, thRef = th;
    for (int s = 0; s < 100; ++s) {
        run(0.07, 1, om, th);
        stageFormulaStep(0.07, omRef, thRef, slopes);
        ASSERT_EQ(om, omRef) << "frequencies after step " << s + 1;
        ASSERT_EQ(th, thRef) << "phases after step " << s + 1;
    }
}

}  // namespace

TEST_F(RungeKuttaTest, PowerFlowSteadyStateStaysAtRest) {
    // Two nodes, K = 1: the balance P0 = K sin(th0 - th1) holds for th0 - th1 = pi/6.
    use({{0.5, 0.0, 0.3, 1.0}, {-0.5, 0.0, 0.3, 1.0}}, {{0, 1, 1.0, 0.0}, {1, 0, 1.0, 0.0}});
    const double half = std::asin(0.5) / 2;
    std::vector<double> om = {0.0, 0.0}, th = {half, -half};
    run(0.01, 100, om, th);
    EXPECT_NEAR(om[0], 0.0, 1e-14);
    EXPECT_NEAR(om[1], 0.0, 1e-14);
    EXPECT_NEAR(th[0], half, 1e-13);
    EXPECT_NEAR(th[1], -half, 1e-13);
}

TEST_F(RungeKuttaTest, FreeNodeKeepsItsFrequencyAndWrapsOnlyTheFinalPhase) {
    // No lines, P = Pdiag, D = 0: the frequency is constant (even above pi,
    // since frequencies are never wrapped) and the phase advances by h * omega.
    use({{0.3, 0.3, 0.0, 1.0}, {0.0, 0.0, 0.0, 2.0}}, {});
    std::vector<double> om = {0.7, 5.0}, th = {0.1, 3.0};
    std::vector<double> omOut(2), thOut(2);
    rk->rk4(0.1, om.data(), th.data(), omOut.data(), thOut.data());
    EXPECT_EQ(omOut[0], 0.7);
    EXPECT_EQ(omOut[1], 5.0);
    EXPECT_NEAR(thOut[0], 0.17, 1e-14);
    EXPECT_NEAR(thOut[1], 3.5 - 6.28318530718, 1e-14);
    EXPECT_EQ(thOut[1], CodeUtils::smallerAngle(thOut[1]));
    // The inputs are only read.
    EXPECT_EQ(om, (std::vector<double>{0.7, 5.0}));
    EXPECT_EQ(th, (std::vector<double>{0.1, 3.0}));

    run(0.1, 100, om, th);
    EXPECT_EQ(om[1], 5.0);
    EXPECT_NEAR(th[0], CodeUtils::smallerAngle(0.1 + 100 * 0.1 * 0.7), 1e-12);
}

TEST_F(RungeKuttaTest, OneStepMatchesClassicalRungeKutta) {
    use(kNodes, kLines);
    std::vector<double> om0 = {0.3, -0.2, 0.45}, th0 = {0.4, -0.1, -0.7};
    std::vector<double> omOut(3), thOut(3);
    rk->rk4(0.05, om0.data(), th0.data(), omOut.data(), thOut.data());

    std::vector<double> om = om0, th = th0;
    ref.step(0.05, om, th);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(omOut[i], om[i], 1e-14) << "node " << i;
        EXPECT_NEAR(thOut[i], th[i], 1e-14) << "node " << i;
    }
}

TEST_F(RungeKuttaTest, StepGivesTheBitsOfTheStageFormulasInTheirOrder) {
    // Stage increments are slope * h / 2 (then slope * h), the new state is
    // k1/3 + y + (2/3) k2 + k3/3 + k4/6 summed left to right. Written out here
    // with the balance summed in line-list order; any reordering shows up in
    // the last bits somewhere along a hundred steps.
    use(kNodes, kLines);
    auto slope = [&](const double* om, const double* th, int i) {
        double flow = 0;
        for (const Line& l : kLines)
            if (l.from == i) flow += l.k * std::sin(th[i] - th[l.to] - l.phi);
        const NodeValues& v = kNodes[i];
        return (-v.damping * om[i] + v.powerMech - v.powerDiag - flow) * v.inertiaInv;
    };
    expectTheBitsOfTheStageFormulas([&](const double* o, const double* t, double* out) {
        for (int i = 0; i < 3; ++i) out[i] = slope(o, t, i);
    });
}

TEST_F(RungeKuttaTest, FastStepGivesTheBitsOfItsKernelInTheStageFormulas) {
    // The step runs each stage's bookkeeping in one pass after the kernel's
    // slopes; written out here as separate passes per vector operation, for
    // every fast variant this CPU runs.
    use(kNodes, kLines);
    for (KernelVariant v : {KernelVariant::fastAvx512, KernelVariant::fastAvx2, KernelVariant::fastSse2,
                            KernelVariant::fastScalar}) {
        if (!kernelVariantSupported(v)) continue;
        SCOPED_TRACE(kernelVariantName(v));
        function->setKernelVariant(v);
        SwingKernel::Scratch scratch;
        expectTheBitsOfTheStageFormulas([&](const double* o, const double* t, double* out) {
            function->kernel().evaluate(v, t, o, out, scratch);
        });
    }
}

TEST_F(RungeKuttaTest, IntermediatePhasesAreNotWrapped) {
    // Node 0 crosses +pi inside the step. Wrapping an intermediate phase with
    // the rounded period would shift the strong coupling term by ~1e-11.
    use({{0.0, 0.0, 0.0, 1.0}, {0.0, 0.0, 0.0, 1.0}}, {{0, 1, 50.0, 0.0}, {1, 0, 50.0, 0.0}});
    std::vector<double> om0 = {2.0, -2.0}, th0 = {3.05, 0.05}, omOut(2), thOut(2);
    rk->rk4(0.2, om0.data(), th0.data(), omOut.data(), thOut.data());
    std::vector<double> om = om0, th = th0;
    ref.step(0.2, om, th);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(omOut[i], om[i], 1e-13) << "node " << i;
        EXPECT_NEAR(thOut[i], CodeUtils::smallerAngle(th[i]), 1e-13) << "node " << i;
    }
    EXPECT_LT(thOut[0], 0.0);  // the final phase did wrap
}

TEST_F(RungeKuttaTest, ErrorShrinksWithTheFourthPowerOfTheStep) {
    use(kNodes, kLines);
    const std::vector<double> om0 = {0.3, -0.2, 0.45}, th0 = {0.4, -0.1, -0.7};
    const double T = 2.0;
    std::vector<double> omRef = om0, thRef = th0;
    run(T / 4096, 4096, omRef, thRef);

    auto errorWith = [&](int steps) {
        std::vector<double> om = om0, th = th0;
        run(T / steps, steps, om, th);
        double e = 0;
        for (int i = 0; i < 3; ++i) e = std::max(e, std::max(std::fabs(om[i] - omRef[i]), std::fabs(th[i] - thRef[i])));
        return e;
    };
    double e10 = errorWith(10), e20 = errorWith(20), e40 = errorWith(40);
    EXPECT_NEAR(e10 / e20, 16.0, 3.0);
    EXPECT_NEAR(e20 / e40, 16.0, 3.0);
}

TEST_F(RungeKuttaTest, OutOfServiceLineDropsOutOfItsSendingNodeOnly) {
    use(kNodes, kLines);
    std::vector<double> om = {0.3, -0.2, 0.45}, th = {0.4, -0.1, -0.7};
    run(0.05, 3, om, th);  // the grid has been evaluated before the switch-off

    grid.getTrLine(0, 1)->setOnline(false);
    ref.lines[0].k = 0.0;
    std::vector<double> omOut(3), thOut(3);
    rk->rk4(0.05, om.data(), th.data(), omOut.data(), thOut.data());
    std::vector<double> omRef = om, thRef = th;
    ref.step(0.05, omRef, thRef);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(omOut[i], omRef[i], 1e-14) << "node " << i;
        EXPECT_NEAR(thOut[i], thRef[i], 1e-14) << "node " << i;
    }
    // Node 1 keeps its record towards node 0: the reference still couples it.
    EXPECT_GT(std::fabs(omOut[1] - om[1]), 1e-3);
}

TEST_F(RungeKuttaTest, SlopeAccessorsTakeFrequenciesBeforePhases) {
    use(kNodes, kLines);
    std::vector<double> om = {0.3, -0.2, 0.45}, th = {0.4, -0.1, -0.7};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rk->valThAt(i, om.data(), th.data()), om[i]);
        EXPECT_EQ(rk->valOmAt(i, om.data(), th.data()), grid.swingEq(th.data(), om.data(), i));
        EXPECT_EQ(function->secDeriv(i, om.data(), th.data()), grid.swingEq(th.data(), om.data(), i));
    }
    std::vector<double> dOm, dTh;
    ref.slopes(om, th, dOm, dTh);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(rk->valOmAt(i, om.data(), th.data()), dOm[i], 1e-14);
}

TEST(FunctionSeeding, FunctionsFromTheSameParametersDrawTheSameNumbers) {
    Param param;
    param.setRandSeed(777u);
    PowerGrid grid;
    Function a(&param, &grid);
    StochFunction b(&param, &grid);
    MTRand expected(777u);
    for (int i = 0; i < 50; ++i) {
        uint32_t e = expected.randInt();
        ASSERT_EQ(a.mtrand.randInt(), e);
        ASSERT_EQ(b.mtrand.randInt(), e);
    }
}
