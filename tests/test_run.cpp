// The whole program run the way a user runs it: input file name on standard
// input, console text, exit status and the run report.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TestSupport.h"

using testsupport::contains;
using testsupport::fileExists;
using testsupport::readText;
using testsupport::runOnInput;
using testsupport::runProgram;
using testsupport::RunResult;
using testsupport::ScratchDir;
using testsupport::writeText;

namespace {

const std::string kGreeting =
    "==================== Volmara V2.012 ====================\n"
    "Moin!\n"
    "Type in parameter file.\n";

const std::string kUnreadable = "file doesn't exist or is damaged.Program will exit.\n";

// Stdout of a complete run over a grid without nodes, after the "read " lines
// of the parameter reader; the timing numbers are masked as "#".
std::string emptyGridRunTail(const std::string& middle = "") {
    return "-------------------- PowerGrid reading  --------------------\n"
           "Finished reading parameters.\n"
           "==================== Newton Raphson Power Flow ====================\n"
           "The grid already fulfills the power flow condition.\n"
           "Total error: 0\n" +
           middle +
           "dclockt/cpu clock ticks = #\n"
           "ddoublet/real time (sec) = #\n"
           "Done.\n";
}

// Replaces the rest of every line that starts with `label` by "#".
std::string maskAfter(std::string text, const std::string& label) {
    for (std::size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1)) {
        std::size_t begin = at + label.size();
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) break;
        text.replace(begin, end - begin, "#");
    }
    return text;
}

std::string maskTimes(const std::string& out) {
    return maskAfter(maskAfter(out, "dclockt/cpu clock ticks = "), "ddoublet/real time (sec) = ");
}

std::string maskTimeTaken(const std::string& report) { return maskAfter(report, "TimeTaken(sec): "); }

const std::string kEmptyGridReport =
    "====================== Power grid =======================\n"
    "----------------- Power flow Parameters -----------------\n"
    "NRPrecision: 1e-09\n"
    "NRSolver: dense\n"
    "\n"
    "------------------------ Nodes --------------------------\n"
    "ReferenceNode: 0\n"
    "Power: \n"
    "\n"
    "Voltage phases SS: \n"
    "\n"
    "Node types: \n"
    "\n"
    "\n"
    "\n";

std::string parameterSection(const std::string& seed, const std::string& timeTaken) {
    return "========================= Param =========================\n"
           "---------------- Calculation Parameters -----------------\n"
           "RungeKuttaSteps: 100\n"
           "RungeKuttaStepWidth: 0.01\n"
           "Random Seed (start): " +
           seed + "\nRandom Seed (end): " + seed +
           "\n\n"
           "----------------------- Simulation ----------------------\n"
           "Version: 2012\n"
           "TimeTaken(sec): " +
           timeTaken + "\n\n\n";
}

}  // namespace

TEST(RunStart, MissingInputFileEndsWithStatusOne) {
    ScratchDir dir;
    RunResult r = runProgram(dir.path(), "nosuchfile.txt\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kGreeting + "I understood: nosuchfile.txt\n" + kUnreadable);
    EXPECT_EQ(r.err, kUnreadable + "tessaly: error: the input file \"nosuchfile.txt\" cannot be opened (No such file "
                                   "or directory)\n");
    EXPECT_FALSE(fileExists(dir.file("Param00")));
}

TEST(RunStart, EmptyStandardInputIsAMissingFile) {
    ScratchDir dir;
    RunResult r = runProgram(dir.path(), "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kGreeting + "I understood: \n" + kUnreadable);
    EXPECT_EQ(r.err, kUnreadable + "tessaly: error: the input file \"\" cannot be opened (No such file or directory)\n");
}

TEST(RunStart, OnlyTheFirstWordNamesTheFile) {
    ScratchDir dir;
    writeText(dir.file("input.txt"), "Random seed\n3\n");
    RunResult r = runProgram(dir.path(), "  \n input.txt other.txt\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "I understood: input.txt\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "read Random seed\n")) << r.out;
}

TEST(RunWithoutModes, PrintsTheWholeRunAndWritesTheReport) {
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(), "Random seed\n42\n// RK steps\nRK steps 2\n\nMode RMRT\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "tessaly: warning: line 4 \"RK steps 2\" is no key that any reader knows and is skipped; "
              "did you mean \"RK steps\"?\n"
              "tessaly: warning: line 5 is empty and ends the input: 1 line with text after it is ignored "
              "(remove the empty line to have it read)\n");
    EXPECT_EQ(maskTimes(r.out), kGreeting + "I understood: input.txt\n" +
                                    "-------------------- Param reading  --------------------\n"
                                    "read Random seed\n" +
                                    emptyGridRunTail());
    EXPECT_EQ(maskTimeTaken(readText(dir.file("Param00"))), parameterSection("42", "#") + kEmptyGridReport);
}

TEST(RunWithoutModes, SecondRunReplacesTheReport) {
    ScratchDir dir;
    std::string input = "Random seed\n9\nOutput filename\nrun\n";
    ASSERT_EQ(runOnInput(dir.path(), input).status, 0);
    std::string first = readText(dir.file("Paramrun"));
    ASSERT_EQ(runOnInput(dir.path(), input).status, 0);
    EXPECT_EQ(maskTimeTaken(readText(dir.file("Paramrun"))), maskTimeTaken(first));
    EXPECT_EQ(first.find("========================= Param"), 0u);
    EXPECT_EQ(first.find("========================= Param", 1), std::string::npos);
}

TEST(RunWithoutModes, ParamZeroWritesNoReport) {
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(), "Param\n0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "Done.\n"));
    EXPECT_FALSE(fileExists(dir.file("Param00")));
}

// The run goes on without its report, but ends saying its results are
// incomplete: the report is what documents the run's parameters and grid.
TEST(RunWithoutModes, UnwritableReportWarnsAndMakesTheResultsIncomplete) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("out/Paramrun").c_str(), 0755), 0);  // in the report's way
    writeText(dir.file("out/Paramrun/kept"), "");
    RunResult r = runOnInput(dir.path(), "Output filename\nout/run\n");
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(contains(r.out, "Done.\n"));
    EXPECT_EQ(r.err, "tessaly: warning: cannot write out/Paramrun: Is a directory\n"
                     "tessaly: warning: the results are incomplete: 1 file of the run could not be written (see "
                     "above); the run ends with exit status 4\n");
    const std::string manifest = readText(dir.file("out/Manifestrun.json"));
    EXPECT_TRUE(contains(manifest, "\"exit_status\": 4,")) << manifest;
    EXPECT_TRUE(contains(manifest, "\"report_write_error\": \"Is a directory\",")) << manifest;
}

TEST(RunModes, UnsupportedModesOnlyPrintAMessage) {
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(), "Mode PPERT\nMode mean rt\nMode NRonly\n");
    EXPECT_EQ(r.status, 0);
    std::string middle =
        "mode currently not supported.\nmode currently not supported.\nmode currently not supported.\n";
    EXPECT_EQ(maskTimes(r.out), kGreeting + "I understood: input.txt\n" +
                                    "-------------------- Param reading  --------------------\n"
                                    "read Mode PPERT\nread Mode mean rt\nread Mode NRonly\n" +
                                    emptyGridRunTail(middle));
}

TEST(RunModes, GraphvizMarkerGoesNextToTheOutputName) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("GraphVizout").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
    RunResult r = runOnInput(dir.path(), "Graphviz\nOutput filename\nout/run7\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(testsupport::fileSize(dir.file("GraphVizout/run7")), 0);
    EXPECT_TRUE(fileExists(dir.file("out/Paramrun7")));

    ScratchDir other;
    ASSERT_EQ(mkdir(other.file("elsewhere").c_str(), 0755), 0);
    r = runOnInput(other.path(), "Graphviz\nOutput filename\nelsewhere/run7\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "cannot write GraphVizelsewhere/run7: ")) << r.err;
    EXPECT_FALSE(fileExists(other.file("GraphVizelsewhere")));

    r = runOnInput(other.path(), "Output filename\nrun\n");
    EXPECT_FALSE(fileExists(other.file("GraphVizrun")));
}

TEST(RunInput, MalformedIntegerValueWarnsNamingTheKey) {
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(), "Draws\nlots\nMode NRonly\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(contains(r.out, "read Mode NRonly")) << r.out;
    EXPECT_FALSE(contains(r.out, "mode currently not supported.")) << r.out;
    EXPECT_TRUE(contains(r.err, "tessaly: warning: \"Draws\"")) << r.err;
    EXPECT_TRUE(contains(r.err, "\"lots\"")) << r.err;
}

TEST(RunResults, SecondRunAppendsToResultFilesAndReplacesTheReport) {
    ScratchDir dir;
    const std::string input =
        "Random seed\n5\nRK steps\n6\nOutput filename\nr\nMode raster rt\nMode RMRT\n"
        "Number of nodes\n2\nPower mech\n1 -1\nDamping\n0.1\nInertia\n1\nCoupling mag\n0 8\n8 0\n"
        "First pert node\n0\nLast pert node\n1\nFreq pert minimum\n0\nFreq pert maximum\n0.1\n"
        "Freq pert step\n0.1\nPhase pert minimum\n0\nPhase pert maximum\n0.1\nPhase pert step\n0.1\n"
        "RT threshold high\n0.1\n";
    RunResult first = runOnInput(dir.path(), input);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(contains(first.out, "Directory ijtor created\n")) << first.out;
    std::string report = maskTimeTaken(readText(dir.file("Paramr")));
    std::string returnTimes = readText(dir.file("ijtor/ijtorr"));
    ASSERT_FALSE(returnTimes.empty());
    ASSERT_EQ(returnTimes.size() % (2 * 5 * sizeof(double)), 0u);  // whole records of 2 nodes
    std::string frequencies = readText(dir.file("frequency/frequencyr"));

    RunResult second = runOnInput(dir.path(), input);
    ASSERT_EQ(second.status, 0);
    EXPECT_EQ(second.err, "tessaly: warning: 3 result files of output name \"r\" exist already: this run appends "
                          "its records to them (use a fresh output name or directory per run)\n");
    EXPECT_FALSE(contains(second.out, "Directory")) << second.out;
    EXPECT_EQ(readText(dir.file("ijtor/ijtorr")), returnTimes + returnTimes);
    EXPECT_EQ(readText(dir.file("frequency/frequencyr")), frequencies + frequencies);
    EXPECT_EQ(maskTimeTaken(readText(dir.file("Paramr"))), report);
    EXPECT_TRUE(contains(report, "=============== Raster return time Input ================\n")) << report;
    EXPECT_LT(report.find("Raster return time Input"), report.find("Power grid"));
}

TEST(RunPowerFlow, FailureOnALargeGridWithRandomStartSuggestsAnotherStart) {
    // A chain of n - 1 nodes and one node without lines: the Jacobian is
    // singular, so every try fails at once.
    auto input = [](int n, const std::string& start) {
        std::string text = "Number of nodes\n" + std::to_string(n) + "\nNR solver\nsparse\nNR start\n" + start +
                           "\nPower mech\n0.1\nLine list\n";
        for (int k = 0; k + 2 < n; ++k) {
            text += std::to_string(k) + " " + std::to_string(k + 1) + " 5 0\n";
            text += std::to_string(k + 1) + " " + std::to_string(k) + " 5 0\n";
        }
        return text;
    };
    const std::string failure = "tessaly: warning: the power flow did not converge";
    const std::string suggestion = "the random starting phases lie far from the steady state on 301 nodes; "
                                   "\"NR start\" flat";
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(), input(301, "random"));
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.out, "The Newton Raphson iteration did not converge.\n")) << r.out;
    EXPECT_TRUE(contains(r.err, failure)) << r.err;
    EXPECT_TRUE(contains(r.err, suggestion)) << r.err;
    EXPECT_TRUE(contains(readText(dir.file("Param00")), "NRSolver: sparse\n"));

    for (const auto& other : {input(301, "flat"), input(300, "random")}) {
        r = runOnInput(dir.path(), other);
        EXPECT_TRUE(contains(r.out, "did not converge")) << r.out;
        EXPECT_TRUE(contains(r.err, failure)) << r.err;
        EXPECT_FALSE(contains(r.err, "NR start")) << r.err;
    }
}
