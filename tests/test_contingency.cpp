// The dynamic contingency analysis end to end: a transient overload that a
// static check misses, the same bytes on any number of threads, one
// contingency against the stochastic cascade given the same trip, and the
// input it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "ContingencyGrids.h"
#include "RunComparison.h"
#include "TestSupport.h"
#include "grid/PowerGrid.h"
#include "input/InputText.h"

using namespace testsupport;

namespace {

struct Trip {
    int from;
    int to;
    double time;
};

struct Summary {
    int from, to, trips, islands, desynchronised;
    double maxFrequency, maxLoadRatio;
    bool returned;
};

std::vector<Summary> summaries(const std::string& dir) {
    const std::vector<double> v = readDoubles(dir + "/contingency/summaryfive");
    std::vector<Summary> out;
    for (std::size_t at = 0; at + 8 <= v.size(); at += 8) {
        out.push_back({int(v[at]), int(v[at + 1]), int(v[at + 2]), int(v[at + 3]), int(v[at + 4]), v[at + 5],
                       v[at + 6], v[at + 7] != 0});
    }
    return out;
}

// The trips of contingency k.
std::vector<Trip> tripsOf(const std::string& dir, int k) {
    const std::vector<double> v = readDoubles(dir + "/contingency/tripsfive");
    std::vector<Trip> out;
    for (std::size_t at = 0; at + 4 <= v.size(); at += 4) {
        if (int(v[at]) == k) out.push_back({int(v[at + 1]), int(v[at + 2]), v[at + 3]});
    }
    return out;
}

// The flow of every record at the steady state of `input` without the line
// i-j: what a static N-1 check compares with the capacities.
std::vector<std::pair<TransmissionLine, double>> staticFlowsWithout(const std::string& input, int i, int j) {
    ScratchDir dir;
    writeText(dir.file("input.txt"), input);
    PowerGrid grid;
    InputText in(dir.file("input.txt"));
    std::ostringstream console;
    grid.read(in, console);
    EXPECT_TRUE(grid.switchOffLine(i, j));
    EXPECT_TRUE(grid.NRPF());
    const std::vector<double> phases = grid.getVoltAngSS();
    std::vector<std::pair<TransmissionLine, double>> flows;
    for (int node = 0; node < grid.getNumNodes(); ++node) {
        for (const TransmissionLine& record : grid.linesOf(node)) {
            flows.emplace_back(record, grid.flowOf(*grid.getTrLine(node, record.getToNode()), phases.data()));
        }
    }
    return flows;
}

}  // namespace

TEST(Contingency, TransientOverloadThatAStaticCheckMisses) {
    FiveNodeGrid grid;
    grid.extraKeys = "Mode contingency\nContingency lines\n4 0\n";
    const std::string input = grid.text();

    // At the steady state without the line 4-0 every record is within its capacity.
    for (const auto& [record, flow] : staticFlowsWithout(input, 4, 0)) {
        EXPECT_LE(flow, record.getCapacity()) << record.getFromNode() << " -> " << record.getToNode();
        if (record.getFromNode() == 2 && record.getToNode() == 3) {
            EXPECT_NEAR(flow, 0.775, 0.001);
        }
    }

    ScratchDir dir;
    const RunResult run = runOnInput(dir.path(), input);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::vector<Summary> s = summaries(dir.path());
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].from, 4);
    EXPECT_EQ(s[0].to, 0);
    // The dynamics overload 2-3 in the first swing after the outage at t = 1.
    const std::vector<Trip> trips = tripsOf(dir.path(), 0);
    ASSERT_GE(trips.size(), 1u);
    EXPECT_EQ(trips[0].from, 2);
    EXPECT_EQ(trips[0].to, 3);
    EXPECT_GT(trips[0].time, 1.0);
    EXPECT_LT(trips[0].time, 2.5);
    EXPECT_EQ(s[0].trips, static_cast<int>(trips.size()));
    // 1-3 follows, and the loads 3 and 4 are cut off from the generators.
    ASSERT_EQ(trips.size(), 2u);
    EXPECT_EQ(trips[1].from, 1);
    EXPECT_EQ(trips[1].to, 3);
    EXPECT_EQ(s[0].islands, 2);
    EXPECT_EQ(s[0].desynchronised, 5);
    EXPECT_FALSE(s[0].returned);
    EXPECT_GT(s[0].maxLoadRatio, 1.0);
    // The islands of the node record: {0, 1, 2} and {3, 4}, the latter at -2/(0.5 + 0.5).
    const std::vector<double> nodes = readDoubles(dir.file("contingency/nodesfive"));
    ASSERT_EQ(nodes.size(), 15u);
    EXPECT_EQ((std::vector<double>{nodes[2], nodes[5], nodes[8], nodes[11], nodes[14]}),
              (std::vector<double>{0, 0, 0, 1, 1}));
    EXPECT_NEAR(nodes[9], -2.0, 0.01);
    EXPECT_TRUE(contains(run.out, "Largest cascade: 2 trips after the outage of line 4-0\n")) << run.out;

    // With room for the first swing nothing trips and the grid returns.
    grid.capacity23 = 1.3;
    ScratchDir roomy;
    ASSERT_EQ(runOnInput(roomy.path(), grid.text()).status, 0);
    const std::vector<Summary> calm = summaries(roomy.path());
    ASSERT_EQ(calm.size(), 1u);
    EXPECT_EQ(calm[0].trips, 0);
    EXPECT_EQ(calm[0].islands, 1);
    EXPECT_TRUE(calm[0].returned);
    EXPECT_NEAR(calm[0].maxLoadRatio, 1.227 / 1.3, 0.01);
}

// Every line once (six contingencies), the lossy grid with its losses taken
// out with the lines.
TEST(Contingency, ThreadsGiveTheSameBytes) {
    FiveNodeGrid grid;
    grid.lossy = true;
    grid.extraKeys = "Mode contingency\n";
    const Outcome one = runWithThreads(grid.text(), 1);
    ASSERT_EQ(one.run.status, 0) << one.run.err;
    ASSERT_EQ(one.files.count("contingency/summaryfive"), 1u);
    EXPECT_EQ(one.files.at("contingency/summaryfive").size(), 6 * 8 * sizeof(double));
    EXPECT_FALSE(one.files.at("contingency/tripsfive").empty());
    for (int threads : {2, 3}) expectSameRun(runWithThreads(grid.text(), threads), one, std::to_string(threads));
}

// The stochastic cascade with its wind held at the steady state's powers
// (a turbine at the reference node, rated and mean speed 1, every speed 1)
// and the line 4-0 without room, so that it trips at the first step: the
// contingency that takes the line out after the first step sees the same
// trips at the same states. The cascade stamps the state after step s + 1
// with s h, the contingency with (s + 1) h.
TEST(Contingency, OneContingencyTripsAsTheStochasticCascadeDoes) {
    FiveNodeGrid grid;
    grid.lossy = true;
    grid.capacity40 = 1e-3;
    std::string speeds;
    for (int s = 0; s < 2000; ++s) speeds += "1 ";
    grid.extraKeys = "Mode given series\nMode stoch casc\nTurbine nodes\n0\nTurbine vrated\n1\nTurbine vmean\n1\n"
                     "Wind series\n" + speeds + "\n";
    ScratchDir cascadeDir;
    const RunResult cascade = runOnInput(cascadeDir.path(), grid.text());
    ASSERT_EQ(cascade.status, 0) << cascade.err;
    const std::vector<int> from = readInts(cascadeDir.file("stochcas/stochcasIfivetn0"));
    const std::vector<int> to = readInts(cascadeDir.file("stochcas/stochcasIIfivetn0"));
    const std::vector<double> time = readDoubles(cascadeDir.file("stochcas/stochcasTfivetn0"));
    ASSERT_GE(time.size(), 3u);
    EXPECT_EQ(from[0], 0);
    EXPECT_EQ(to[0], 4);
    EXPECT_EQ(time[0], 0.0);

    grid.extraKeys = "Mode contingency\nContingency lines\n0 4\nContingency time\n0.01\n";
    ScratchDir dir;
    const RunResult run = runOnInput(dir.path(), grid.text());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.err, "2 line records carry more than their capacity at the steady state (most loaded 0 -> 4")) << run.err;
    const std::vector<Trip> trips = tripsOf(dir.path(), 0);
    ASSERT_EQ(trips.size() + 1, time.size());
    for (std::size_t k = 0; k < trips.size(); ++k) {
        EXPECT_EQ(trips[k].from, from[k + 1]) << k;
        EXPECT_EQ(trips[k].to, to[k + 1]) << k;
        EXPECT_EQ(std::lround(trips[k].time / 0.01), std::lround(time[k + 1] / 0.01) + 1) << k;
    }
}

TEST(Contingency, RefusedInput) {
    const struct {
        const char* keys;
        const char* message;
    } cases[] = {
        {"Contingency lines\n4 0\n2 3\n0 4\n",
         "\"Contingency lines\" row 3 (line 15) \"0 4\" repeats the line of row 1 (allowed one row per line)"},
        {"Contingency lines\n0 3\n", "names no line: the grid has no record 0 -> 3 or back"},
        {"Contingency lines\n0 5\n", "names node 5, but the grid has 5 nodes (allowed whole numbers 0..4)"},
        {"Contingency lines\n0 1 2\n", "has 3 values (allowed 2: from to)"},
        {"Contingency time\n20\n", "\"Contingency time\" is 20, but the run ends at \"RK steps\" x \"RK stepwidth\" = 20"},
        {"Contingency time\n-1\n", "\"Contingency time\" is -1"},
        {"Contingency band\n0\n", "\"Contingency band\" is 0 (allowed a positive finite frequency deviation)"},
        {"Contingency settle time\n19.5\n", "\"Contingency settle time\" is 19.5, but the run goes on 19 after the outage"},
    };
    for (const auto& c : cases) {
        FiveNodeGrid grid;
        grid.extraKeys = std::string("Mode contingency\n") + c.keys;
        ScratchDir dir;
        const RunResult run = runOnInput(dir.path(), grid.text());
        EXPECT_EQ(run.status, 2) << c.keys;
        EXPECT_TRUE(contains(run.err, c.message)) << run.err;
        EXPECT_EQ(entries(dir.path()), std::set<std::string>{"input.txt"}) << c.keys;
    }
}

// The diagonal power of a node depends on which of its records are out, not
// on the order they went out in, and comes back whole with the lines.
TEST(Contingency, LossTermsLeaveInAnyOrderAndComeBack) {
    ScratchDir dir;
    writeText(dir.file("input.txt"),
              "Number of nodes\n4\nPower diag\n0.3 1.6 0.2 0.5\nVoltage mag\n1.1\nLine losses in diag\nLine list\n"
              "1 0 5 0.1 9 2 1.3\n0 1 5 0.1 9 3 1.5\n1 2 5 0.1 9 0.3 0.5\n1 3 5 0.1 9 1 1.1\n3 1 5 0.1 9 1.1 1.2\n");
    PowerGrid first;
    std::ostringstream console;
    {
        InputText in(dir.file("input.txt"));
        first.read(in, console);
    }
    PowerGrid second = first;
    ASSERT_TRUE(first.switchOffLine(1, 0));
    ASSERT_TRUE(first.switchOffLine(3, 1));
    ASSERT_TRUE(second.switchOffLine(1, 3));
    ASSERT_TRUE(second.switchOffLine(0, 1));
    const double term10 = first.lossTerm(first.linesOf(1)[0]);
    const double term13 = first.lossTerm(first.linesOf(1)[2]);
    EXPECT_EQ(first.getNode(1)->getPowerDiag(), 1.6 - (term10 + term13));
    EXPECT_EQ(second.getNode(1)->getPowerDiag(), first.getNode(1)->getPowerDiag());
    EXPECT_EQ(first.getNode(0)->getPowerDiag(), 0.3 - 1.1 * 1.1 * 3 * std::cos(1.5));
    EXPECT_EQ(first.getNode(2)->getPowerDiag(), 0.2);  // its node has no record: nothing to take
    EXPECT_FALSE(first.switchOffLine(0, 2));
    first.putLinesInService();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(first.getNode(i)->getPowerDiag(), std::vector<double>({0.3, 1.6, 0.2, 0.5})[i]);

    // The active flow of a record: its term plus its coupling term.
    first.lineRules().flowMeasure = FlowMeasure::active;
    const double theta[4] = {0.2, -0.1, 0, 0.4};
    TransmissionLine& record = *first.getTrLine(1, 0);
    const double active = std::fabs(term10 + 5 * std::sin(-0.1 - 0.2 - 0.1));
    EXPECT_DOUBLE_EQ(first.flowOf(record, theta), active);
    // The flow statistics measure it too: mean and largest flow of its record.
    first.resetLineFlows();
    first.measureFlow(const_cast<double*>(theta));
    std::vector<double> flows;
    first.getFIJ(&flows, 1);
    EXPECT_EQ(flows[0], 0);  // the record 0 -> 1
    EXPECT_EQ(flows[4], 1);  // 1 -> 0
    EXPECT_EQ(flows[6], first.flowOf(record, theta));
    EXPECT_EQ(flows[7], first.flowOf(record, theta));
}
