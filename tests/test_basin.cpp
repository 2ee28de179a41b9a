// Basin stability: the classifier on trajectories whose class is known, the
// program on the two-node reduction of the one-machine infinite-bus
// benchmark and on closed-form limits, early decisions against full-length
// runs on every test grid, samples that depend on nothing but the seed and
// the node, and the input it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <set>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <tuple>

#include "RunComparison.h"
#include "TestSupport.h"
#include "analyses/basin/BasinClassifier.h"
#include "util/CodeUtils.h"

using namespace testsupport;
using Json = nlohmann::json;

namespace {

// ---- the classifier on made-up trajectories ----------------------------------------------

// Three nodes, blocks of 10 steps of 0.1 (windows of 8 t), 1000 steps.
BasinCriteria criteria(bool fullLength, double band) {
    BasinCriteria c;
    c.band = band;
    c.phaseTolerance = 0.1;
    c.blockSteps = 10;
    c.steps = 1000;
    c.stepWidth = 0.1;
    c.fullLength = fullLength;
    return c;
}

const std::vector<double> kSteady = {0.3, 0.0, -0.2};

// Shows the classifier the trajectory `state(t, phases, freqs)` at every
// step until it stops.
template <class State>
BasinClassifier::Outcome classify(bool fullLength, State state, double band = 0.01) {
    const BasinCriteria c = criteria(fullLength, band);
    BasinClassifier classifier(c, kSteady);
    std::vector<double> phases(3), freqs(3);
    state(0.0, phases, freqs);
    classifier.begin(phases.data());
    for (int step = 1; step <= c.steps; ++step) {
        state(step * c.stepWidth, phases, freqs);
        for (double& phase : phases) phase = CodeUtils::smallerAngle(phase);
        if (!classifier.afterStep(step, phases.data(), freqs.data())) break;
    }
    return classifier.outcome();
}

// Node k at rest at the steady state + shift[k], or turning at speed[k].
auto moving(std::vector<double> shift, std::vector<double> speed, double stopAt = 1e9) {
    return [shift, speed, stopAt](double t, std::vector<double>& phases, std::vector<double>& freqs) {
        const double turning = std::min(t, stopAt);
        for (int k = 0; k < 3; ++k) {
            phases[k] = kSteady[k] + shift[k] + speed[k] * turning;
            freqs[k] = t < stopAt ? speed[k] : 0.0;
        }
    };
}

}  // namespace

TEST(BasinClassifier, ClassifiesTrajectoriesWhoseClassIsKnown) {
    struct Case {
        const char* what;
        std::function<void(double, std::vector<double>&, std::vector<double>&)> state;
        BasinClass expected;
        int decidedAt;
        double band;
    };
    const Case cases[] = {
        // The whole grid turned by 1 rad: the steady state's phase differences.
        {"shifted", moving({1, 1, 1}, {0, 0, 0}), BasinClass::returned, 80, 0.01},
        {"a full turn apart", moving({0, 2 * M_PI, -2 * M_PI}, {0, 0, 0}), BasinClass::returned, 80, 0.01},
        {"node 2 elsewhere", moving({0, 0, 1.0}, {0, 0, 0}), BasinClass::otherFixedPoint, 80, 0.01},
        // Within a wide band but creeping away: settled once the creep stopped.
        {"creeping", moving({0, 0, 0}, {0, 0, 0.03}, 30), BasinClass::otherFixedPoint, 350, 0.05},
        // Two nodes circling apart: decided after two windows that agree.
        {"slipping", moving({0, 0, 0}, {1, -1, 0}), BasinClass::notReturned, 160, 0.01},
    };
    for (const Case& c : cases) {
        for (bool fullLength : {false, true}) {
            const BasinClassifier::Outcome outcome = classify(fullLength, c.state, c.band);
            EXPECT_EQ(outcome.basinClass, c.expected) << c.what << ", full length " << fullLength;
            EXPECT_EQ(outcome.decisionStep, c.decidedAt) << c.what << ", full length " << fullLength;
            EXPECT_FALSE(outcome.earlyDiffered) << c.what;
        }
    }
    // A state that stopped being finite is undecided, early and at the end.
    const auto blownUp = [](double t, std::vector<double>& phases, std::vector<double>& freqs) {
        moving({0, 0, 0}, {0, 0, 0})(t, phases, freqs);
        if (t > 5) phases[1] = freqs[1] = std::nan("");
    };
    EXPECT_EQ(classify(false, blownUp).basinClass, BasinClass::undecided);
    EXPECT_EQ(classify(false, blownUp).decisionStep, 80);
    EXPECT_EQ(classify(true, blownUp).decisionStep, 80);

    // Circling that stops abruptly after two windows (no physical grid does
    // this): the early decision says not returned, the end knows better, and
    // full length tells.
    const auto stops = moving({0, 0, 0}, {1, -1, 0}, 16.05);
    EXPECT_EQ(classify(false, stops).basinClass, BasinClass::notReturned);
    const BasinClassifier::Outcome atEnd = classify(true, stops);
    EXPECT_EQ(atEnd.basinClass, BasinClass::otherFixedPoint);
    EXPECT_TRUE(atEnd.earlyDiffered);
    EXPECT_EQ(atEnd.decisionStep, 1000);

    // Still swinging at the end: undecided, at the end.
    const auto swinging = [](double t, std::vector<double>& phases, std::vector<double>& freqs) {
        moving({0, 0, 0}, {0, 0, 0})(t, phases, freqs);
        phases[0] += 0.5 * std::sin(t);
        freqs[0] = 0.5 * std::cos(t);
    };
    EXPECT_EQ(classify(false, swinging).basinClass, BasinClass::undecided);
    EXPECT_EQ(classify(false, swinging).decisionStep, 1000);
}

namespace {

// ---- the program ----------------------------------------------------------------------------

// Two equal nodes (inertia 1, damping a, powers +T/2 and -T/2, coupling 1/2
// both ways): their phase difference obeys x'' = -a x' + T - sin x, the
// one-machine infinite-bus system, and a kick to node 0 kicks x.
std::string twoNodes(double damping, double power, int samples, int steps, const std::string& extra = "") {
    std::ostringstream in;
    in << "Random seed\n1\nRK steps\n" << steps << "\nRK stepwidth\n0.05\nOutput filename\nref\nMode basin\n"
       << "Basin nodes\n0\nBasin samples\n" << samples << "\n" << extra << "Number of nodes\n2\nPower mech\n"
       << power / 2 << " " << -power / 2 << "\nDamping\n" << damping << "\nInertia\n1\n"
       << "Coupling mag\n0 0.5\n0.5 0\nReference node\n1\n";
    return in.str();
}

struct BasinRun {
    RunResult run;
    Json manifest;
    std::vector<double> samples;    // 6 values per sample
    std::vector<double> stability;  // 8 values per node
};

BasinRun runBasin(const std::string& input, const std::string& name = "ref",
                  const std::vector<std::string>& options = {}) {
    ScratchDir dir;
    writeText(dir.file("input.txt"), input);
    std::vector<std::string> arguments = options;
    arguments.push_back("input.txt");
    BasinRun r{runWithArguments(dir.path(), arguments), Json(), {}, {}};
    if (fileExists(dir.file("Manifest" + name + ".json"))) {
        r.manifest = Json::parse(readText(dir.file("Manifest" + name + ".json")));
    }
    r.samples = readDoubles(dir.file("basin/basinSamples" + name));
    r.stability = readDoubles(dir.file("basin/basinStability" + name));
    return r;
}

}  // namespace

// The benchmark: 0.152 +- 0.0036 with 10,000 samples integrated to t = 1000.
TEST(BasinRun, ReferenceCaseGivesTheBenchmarksBasinStability) {
    const BasinRun r = runBasin(twoNodes(0.1, 0.5, 10000, 20000));
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_EQ(r.run.err, "");
    ASSERT_EQ(r.stability.size(), 8u);
    ASSERT_EQ(r.samples.size(), 6u * 10000);
    const double stability = r.stability[6];
    const double error = r.stability[7];
    EXPECT_EQ(r.stability[1], 10000);
    EXPECT_EQ(r.stability[2] + r.stability[4], 10000) << "only returned and not returned";
    EXPECT_NEAR(error, std::sqrt(stability * (1 - stability) / 10000), 1e-15);
    EXPECT_LE(std::fabs(stability - 0.152), 3 * error) << stability << " +- " << error;
    // The console table holds the same.
    std::ostringstream row;
    row << std::fixed << std::setprecision(6) << stability << std::setw(11) << error;
    EXPECT_TRUE(contains(r.run.out, row.str())) << r.run.out;
    // Offsets uniform in the box: about a tenth of the samples per tenth.
    std::vector<int> phaseTenths(10), freqTenths(10);
    for (std::size_t k = 0; k < 10000; ++k) {
        const double phase = r.samples[6 * k + 2];
        const double freq = r.samples[6 * k + 3];
        ASSERT_TRUE(phase >= -M_PI && phase < M_PI && freq >= -10 && freq < 10);
        ++phaseTenths[static_cast<int>((phase + M_PI) / (0.2 * M_PI))];
        ++freqTenths[static_cast<int>((freq + 10) / 2)];
    }
    for (int t = 0; t < 10; ++t) {
        EXPECT_NEAR(phaseTenths[t], 1000, 120);
        EXPECT_NEAR(freqTenths[t], 1000, 120);
    }
    // The energy E = x'^2/2 - T x - cos x only falls: a kick below the
    // saddle's energy, left of the saddle at pi - asin T, cannot leave the
    // well and must return.
    const double fixedPoint = std::asin(0.5);
    const double saddle = M_PI - fixedPoint;
    const auto energy = [](double x, double v) { return v * v / 2 - 0.5 * x - std::cos(x); };
    int trapped = 0;
    for (std::size_t k = 0; k < 10000; ++k) {
        const double x = fixedPoint + r.samples[6 * k + 2];
        const double e = energy(x, r.samples[6 * k + 3]);
        if (e < energy(saddle, 0) && x < saddle) {
            ++trapped;
            EXPECT_EQ(r.samples[6 * k + 4], 0) << "sample " << k;
        }
    }
    EXPECT_GT(trapped, 200);
    // Early decisions: far fewer steps than integrating every sample to the end.
    const Json& basin = r.manifest["basin"];
    EXPECT_EQ(basin["steps_at_full_length"], 10000LL * 20000);
    EXPECT_LT(basin["steps_integrated"].get<long long>() * 5, basin["steps_at_full_length"].get<long long>());
}

// x'' = -a x' + T - sin x: below T = (4/pi) a (the limit cycle's birth for
// small damping) every kick returns.
TEST(BasinRun, EveryKickReturnsWhereThereIsNoLimitCycle) {
    const BasinRun returning = runBasin(twoNodes(0.1, 0.05, 300, 6000));
    ASSERT_EQ(returning.run.status, 0) << returning.run.err;
    EXPECT_EQ(std::vector<double>(returning.stability.begin() + 1, returning.stability.end()),
              (std::vector<double>{300, 300, 0, 0, 0, 1, 0}));
}

namespace {

// An input without its mode switches, with `extra` keys after it.
std::string withoutModes(const std::string& input, const std::string& extra) {
    std::istringstream in(input);
    std::string text;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Mode ", 0) != 0) text += line + "\n";
    }
    return text + extra;
}

std::string exampleGrid(const std::string& name, const std::string& extra) {
    return withoutModes(readText(examplesDir() + "/" + name), extra);
}

// Class and decision time of every sample.
std::vector<std::pair<double, double>> classes(const std::vector<double>& samples) {
    std::vector<std::pair<double, double>> out;
    for (std::size_t k = 0; k + 5 < samples.size(); k += 6) out.emplace_back(samples[k + 4], samples[k + 5]);
    return out;
}

}  // namespace

// On every test grid: the example grids, the ring of the parallel tests and
// the bistable two-node grid, with kicks wide enough to desynchronise some.
TEST(BasinRun, EarlyDecisionsNeverChangeAClass) {
    const std::string kicks = "Basin freq minimum\n-30\nBasin freq maximum\n30\n";
    const std::vector<std::tuple<std::string, std::string, std::string>> grids = {
        {"demo", exampleGrid("demo.txt", "Mode basin\nBasin samples\n12\nRK steps\n3000\n" + kicks), "demo"},
        {"raster", exampleGrid("raster.txt", "Mode basin\nBasin samples\n12\nRK steps\n6000\n" + kicks), "raster"},
        {"wind", exampleGrid("wind.txt", "Mode basin\nBasin samples\n12\nRK steps\n4000\n" + kicks), "wind"},
        {"ieee118",
         exampleGrid("ieee118.txt", "Mode basin\nBasin nodes\n14 55 116\nBasin samples\n5\nRK steps\n3000\n"),
         "ieee118"},
        {"ring", withoutModes(kEveryRasterMode, "Mode basin\nBasin samples\n12\nRK steps\n3000\n" + kicks), "all"},
        {"two nodes", twoNodes(0.1, 0.5, 60, 4000), "ref"},
    };
    std::map<double, int> seen;
    for (const auto& [label, input, name] : grids) {
        const BasinRun early = runBasin(input, name);
        ASSERT_EQ(early.run.status, 0) << label << ": " << early.run.err;
        const BasinRun full = runBasin(input + "Basin full length\n", name);
        ASSERT_EQ(full.run.status, 0) << label << ": " << full.run.err;
        EXPECT_FALSE(contains(full.run.err, "early decision")) << label << ": " << full.run.err;
        EXPECT_EQ(full.manifest["basin"]["early_decisions_differing"], 0) << label;
        EXPECT_EQ(classes(early.samples), classes(full.samples)) << label;
        EXPECT_EQ(early.stability, full.stability) << label;
        for (const auto& [c, time] : classes(early.samples)) ++seen[c];
    }
    // Both ways out of the box occur, so the comparison is not an empty one.
    EXPECT_GT(seen[0], 50);
    EXPECT_GT(seen[2], 50);
}

namespace {

// (node, sample) -> the rest of its record.
std::map<std::pair<double, double>, std::vector<double>> byNodeAndSample(const std::vector<double>& samples) {
    std::map<std::pair<double, double>, std::vector<double>> out;
    for (std::size_t k = 0; k + 5 < samples.size(); k += 6) {
        out[{samples[k], samples[k + 1]}] = std::vector<double>(samples.begin() + k + 2, samples.begin() + k + 6);
    }
    return out;
}

// Three nodes whose basin stabilities differ: a target of 0.03 stops them at
// different sample counts.
const std::string kThreeNodes =
    "Random seed\n3\nRK steps\n4000\nRK stepwidth\n0.05\nOutput filename\nthree\nNumber of nodes\n3\n"
    "Power mech\n0.25 -0.25 0\nDamping\n0.1\nInertia\n1\nCoupling mag\n0 0.5 0\n0.5 0 3\n0 3 0\n"
    "Reference node\n1\nMode basin\nBasin samples\n250\n";
const std::string kBatched = kThreeNodes + "Basin nodes\n2 0 1\nBasin standard error\n0.03\n";

}  // namespace

// Batches until a node's standard error is small enough: the same bytes on
// any thread count, and every sample the one a run without batches, or of
// that node alone, draws.
TEST(BasinRun, SamplesDependOnTheSeedAndTheNodeAlone) {
    const Outcome one = runWithThreads(kBatched, 1);
    ASSERT_EQ(one.run.status, 0) << one.run.err;
    for (int threads : {2, 3}) expectSameRun(runWithThreads(kBatched, threads), one, std::to_string(threads));

    const BasinRun batched = runBasin(kBatched, "three");
    EXPECT_EQ(batched.manifest["basin"]["batch"], 100);
    EXPECT_EQ(batched.manifest["basin"]["nodes"], Json::parse("[2, 0, 1]"));
    // Nodes stop at different counts, in whole batches, once below the target.
    std::set<double> counts;
    for (std::size_t p = 0; p < 3; ++p) {
        const double samples = batched.stability[8 * p + 1];
        EXPECT_TRUE(std::fmod(samples, 100) == 0 || samples == 250) << samples;
        EXPECT_TRUE(batched.stability[8 * p + 7] <= 0.03 || samples == 250) << p;
        counts.insert(samples);
    }
    EXPECT_GT(counts.size(), 1u) << "the target stops the nodes at different counts";

    const auto alone = byNodeAndSample(runBasin(kThreeNodes + "Basin nodes\n2\n", "three").samples);
    ASSERT_EQ(alone.size(), 250u);
    int compared = 0;
    for (const auto& [key, rest] : byNodeAndSample(batched.samples)) {
        if (key.first != 2) continue;
        EXPECT_EQ(rest, alone.at(key)) << "sample " << key.second;
        ++compared;
    }
    EXPECT_GE(compared, 200);
}

TEST(BasinRun, RefusesSettingsItCannotRunWith) {
    const std::string base = twoNodes(0.1, 0.5, 10, 400);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Basin nodes\n2\n", "\"Basin nodes\" lists 2, but the grid has 2 nodes (allowed 0..1)"},
        {"Basin nodes\n0 1 0\n", "\"Basin nodes\" lists node 0 twice"},
        {"Basin freq minimum\n20\n", "\"Basin freq minimum\" is 20 and \"Basin freq maximum\" is 10"},
        {"Basin phase maximum\ninf\n", "\"Basin phase maximum\" is inf, but it must be finite"},
        {"Basin band\n0\n", "\"Basin band\" is 0, but it must be finite and greater than 0"},
        {"Basin settle time\n30\n", "\"Basin settle time\" is 30, longer than the 400 steps of 0.05"},
        {"Basin standard error\n-1\n", "\"Basin standard error\" is -1"},
    };
    for (const auto& [extra, message] : cases) {
        ScratchDir dir;
        const RunResult r = runOnInput(dir.path(), base + extra);
        EXPECT_EQ(r.status, 2) << extra;
        EXPECT_TRUE(contains(r.err, "tessaly: error: " + message)) << r.err;
        EXPECT_EQ(entries(dir.path()), std::set<std::string>{"input.txt"}) << extra;
    }
    // The default settle time needs every node to be damped.
    ScratchDir dir;
    const RunResult r = runOnInput(dir.path(), twoNodes(0, 0.5, 10, 4000));
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "node 0 has \"Damping\" 0 and \"Inertia\" 1")) << r.err;
}

// Samples still swinging at the end, and samples that blow up.
TEST(BasinRun, WarnsAboutSamplesItCouldNotDecide) {
    const BasinRun shortRun = runBasin(twoNodes(0.1, 0.5, 40, 800));
    EXPECT_EQ(shortRun.run.status, 0);
    EXPECT_TRUE(contains(shortRun.run.err, "tessaly: warning: the basin analysis: ")) << shortRun.run.err;
    EXPECT_TRUE(contains(shortRun.run.err, " of 40 samples are undecided (still moving at the end, t = 40"))
        << shortRun.run.err;

    // A node that drives itself ever faster (negative damping).
    std::string stiff = twoNodes(0.1, 0.5, 20, 400, "Basin settle time\n5\n");
    stiff.replace(stiff.find("Damping\n0.1\n"), 12, "Damping\n0.1 -1000\n");
    const BasinRun blown = runBasin(stiff);
    EXPECT_EQ(blown.run.status, 5) << blown.run.err;
    EXPECT_TRUE(contains(blown.run.err, "the basin analysis: 20 of 20 samples became non-finite")) << blown.run.err;
    EXPECT_TRUE(contains(blown.run.err, "the first: node 0, sample 0 (phase offset ")) << blown.run.err;
    EXPECT_EQ(blown.stability[5], 20) << "undecided";
    EXPECT_EQ(blown.manifest["non_finite"][0]["unit"], "samples");
}
