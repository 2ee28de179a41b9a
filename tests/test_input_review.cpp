// How the program treats the input a user wrote: Windows line ends, lines no
// reader knows, lines after the ending empty line, "ext" files that cannot be
// read, lists and matrices that do not fit the grid, and integration limits.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>

#include "util/CodeUtils.h"
#include "grid/PowerGrid.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

// Every result file under `dir` with its bytes (the input files and the run
// manifest excluded).
std::string resultBytes(const std::string& dir) {
    std::string all;
    for (const std::string& file : filesUnder(dir)) {
        if (file.find(".txt") == std::string::npos && !isRunManifest(file)) {
            all += "== " + file + "\n" + maskReportTime(readText(dir + "/" + file));
        }
    }
    return all;
}

std::string withCrLf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// Two nodes, one line; the raster perturbs node 0 once.
const std::string kTwoNodeRaster =
    "Random seed\n3\nRK steps\n20\nOutput filename\nr\nMode raster rt\nMode RMRT\n"
    "Number of nodes\n2\nPower mech\n0.5 -0.5\nDamping\n0.5\nInertia\n1\nCoupling mag\n0 4\n4 0\n"
    "First pert node\n0\nLast pert node\n1\nFreq pert minimum\n0\nFreq pert maximum\n0.1\nFreq pert step\n0.1\n"
    "RT threshold high\n0.1\n";

// Reads `text` as a grid file; returns the warnings.
std::string gridWarnings(PowerGrid& grid, const ScratchDir& dir, const std::string& text) {
    writeText(dir.file("grid.txt"), text);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    grid.readFromFile(dir.file("grid.txt"));
    testing::internal::GetCapturedStdout();
    return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(InputLineEnds, CrLfInputRunsExactlyLikeLfInput) {
    ScratchDir unix, windows;
    writeText(unix.file("series.txt"), "8 8 8\n");
    writeText(windows.file("series.txt"), withCrLf("8 8 8\n"));
    // The stochastic reader names its "ext" file and the series file stem on
    // value lines: a CR left in either would change the result paths.
    const std::string input = kTwoNodeRaster +
                              "Mode stepfunc\nMode surv all\nTurbine nodes\n0\nWrite stoch\n1\n"
                              "Stoch filename\nS\nWind series ext\nseries.txt\n";
    RunResult lf = runOnInput(unix.path(), input);
    RunResult crlf = runOnInput(windows.path(), withCrLf(input));
    ASSERT_EQ(lf.status, 0) << lf.err;
    EXPECT_EQ(crlf.status, 0) << crlf.err;
    EXPECT_EQ(crlf.err, lf.err);
    EXPECT_EQ(maskTimes(crlf.out), maskTimes(lf.out));
    EXPECT_TRUE(contains(lf.out, "read Wind series ext\n")) << lf.out;
    EXPECT_TRUE(fileExists(windows.file("windspeedS")));
    EXPECT_TRUE(fileExists(windows.file("surv/survrtn0")));
    EXPECT_EQ(resultBytes(windows.path()), resultBytes(unix.path()));
}

TEST(InputReview, LinesNoReaderKnowsAreNamedWithTheClosestKey) {
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(),
                             "// a comment\n"
                             "Output filename\n"
                             "some name\n"          // a line value
                             "Number of nodes\n2\n"
                             "Intertia\n1\n"        // line 6: misspelt
                             "mode rmrt\n"          // line 8: wrong case
                             "Power mech \n0 0\n"   // line 9: trailing blank
                             "Coupling mag\n0 1\n1 0\n"
                             "Freq pert step\n0.5\n"  // a raster key while the raster is off
                             "Turbine nodes\n0 1\n1\n"  // a stochastic matrix while the analysis is off
                             "   \n"
                             "completely different words\n"  // line 20
                             "Edges\nmany\n"        // a value the parameters cannot read ends their block,
                             "Draws\n");            // so a known key after it is no unknown line
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "tessaly: warning: \"Edges\" needs an integer value line in the range -2147483648..2147483647, "
              "but got \"many\"; the lines after it are not read\n"
              "tessaly: warning: line 6 \"Intertia\" is no key that any reader knows and is skipped; "
              "did you mean \"Inertia\"?\n"
              "tessaly: warning: line 8 \"mode rmrt\" is no key that any reader knows and is skipped; "
              "did you mean \"Mode RMRT\"?\n"
              "tessaly: warning: line 9 \"Power mech \" is no key that any reader knows and is skipped; "
              "did you mean \"Power mech\"?\n"
              "tessaly: warning: line 20 \"completely different words\" is no key that any reader knows and is "
              "skipped\n"
              "tessaly: warning: \"Freq pert step\" and the raster's other keys are given, but \"Mode raster rt\" "
              "is off: no raster runs\n"
              "tessaly: warning: \"Turbine nodes\" and the stochastic input's other keys are given, but no "
              "stochastic input is on: no stochastic run (switch on one of \"Mode stepfunc\", \"Mode sif\", "
              "\"Mode given series\" or \"Mode stoch inp\")\n");
    // The run itself is what it was: the misspelt keys have no effect.
    EXPECT_TRUE(contains(r.out, "read Output filename\nread Number of nodes\nread Edges\n")) << r.out;
}

TEST(InputReview, LinesAfterTheEndingEmptyLineAreCountedOnce) {
    ScratchDir dir;
    // A stray empty line before the raster block switches the raster keys off.
    std::string input = kTwoNodeRaster;
    input.insert(input.find("First pert node"), "\n// raster\n");
    const int emptyLine = 20;
    RunResult r = runOnInput(dir.path(), input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "tessaly: warning: line " + std::to_string(emptyLine) +
                         " is empty and ends the input: 12 lines with text after it are ignored "
                         "(remove the empty line to have them read)\n"
                         "tessaly: warning: \"Mode raster rt\" is on, but the raster integrates nothing: \"First "
                         "pert node\" (0) is not below \"Last pert node\" (0), so no node is kicked (the nodes First "
                         ".. Last - 1 are)\n");
    EXPECT_FALSE(fileExists(dir.file("ijtor/ijtorr")));

    // Empty lines at the end of the input hide nothing.
    ScratchDir other;
    r = runOnInput(other.path(), kTwoNodeRaster + "\n\n// done\n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST(InputReview, ExternalFileThatCannotBeReadStopsTheRunBeforeAnythingIsWritten) {
    struct Case {
        std::string input;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"Number of nodes\n2\nCoupling mag ext\nlines.txt\n",
         "tessaly: error: \"Coupling mag ext\" names the file \"lines.txt\", which cannot be read "
         "(No such file or directory)\n"},
        {"Number of nodes\n2\nPower mech ext\npowers\n",
         "tessaly: error: \"Power mech ext\" names the file \"powers\", which cannot be read (Is a directory)\n"},
        {"Mode stoch inp\nNumber of nodes\n2\nWind series ext\nwind.txt\n",
         "tessaly: error: \"Wind series ext\" names the file \"wind.txt\", which cannot be read "
         "(No such file or directory)\n"},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        ASSERT_EQ(mkdir(dir.file("powers").c_str(), 0755), 0);
        RunResult r = runOnInput(dir.path(), c.input);
        EXPECT_EQ(r.status, 2) << c.input;
        EXPECT_EQ(r.err, c.error);
        EXPECT_FALSE(contains(r.out, "Newton Raphson")) << r.out;
        EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"input.txt", "powers"}));
    }
    // The stochastic reader of an analysis that is off reads no file.
    ScratchDir off;
    RunResult r = runOnInput(off.path(), "Number of nodes\n2\nCoupling mag\n0 1\n1 0\nWind series ext\nwind.txt\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "tessaly: warning: \"Wind series ext\" and the stochastic input's other keys are given, but no "
                     "stochastic input is on: no stochastic run (switch on one of \"Mode stepfunc\", \"Mode sif\", "
                     "\"Mode given series\" or \"Mode stoch inp\")\n");
}

TEST(InputShapes, ListsAndMatricesThatDoNotFitTheGridWarnAndStayInsideIt) {
    ScratchDir dir;
    PowerGrid grid;
    std::string err = gridWarnings(grid, dir,
                                   "Number of nodes\n3\n"
                                   "Damping\n1 2 3 4 5\n"
                                   "Coupling mag\n0 1 0 7\n1 0 1\n0 1 0 0 9\n"
                                   "Line capacity\n0 5 0\n5 0 5\n0 5 0\n1 1 1\n1 1 1\n"
                                   "Node type\n0 1 1 0\n");
    EXPECT_EQ(err,
              "tessaly: warning: \"Damping\" has 5 values, but the grid has 3 nodes; values after the first 3 "
              "are ignored\n"
              "tessaly: warning: \"Coupling mag\" row 0 has 4 entries, but the grid has 3 nodes; the entries of a "
              "row after the first 3 are ignored\n"
              "tessaly: warning: \"Line capacity\" has 2 rows more (lines 13..14) than the grid's 3 nodes; they are "
              "ignored\n"
              "tessaly: warning: \"Node type\" has 4 values, but the grid has 3 nodes; values after the first 3 are "
              "ignored\n");
    // Nothing beyond the grid was touched, and the key after the long matrix was read.
    EXPECT_EQ(grid.linesOf(0).size(), 1u);
    EXPECT_EQ(grid.linesOf(2).size(), 1u);
    EXPECT_EQ(grid.getTrLine(1, 2)->getCapacity(), 5.0);
    EXPECT_EQ(grid.getNode(2)->getDamping(), 3.0);
    EXPECT_EQ(grid.getNode(1)->getType(), 1);

    // A matrix one row short takes the next key line as its last row.
    err = gridWarnings(grid, dir,
                       "Number of nodes\n3\nCoupling mag\n0 1 1\n1 0 1\nDamping\n1\nInertia\n1\n");
    EXPECT_EQ(err,
              "tessaly: warning: \"Coupling mag\" has 2 rows, but the grid has 3 nodes (one row per node): line 6 "
              "\"Damping\" was read as row 2\n");
    EXPECT_EQ(grid.getNode(0)->getDamping(), 0.0);
    EXPECT_EQ(grid.getNode(0)->getInertia(), 1.0);
    err = gridWarnings(grid, dir, "Number of nodes\n3\nCoupling ang\n0 1 1\n");
    EXPECT_EQ(err,
              "tessaly: warning: \"Coupling ang\" has 1 row, but the grid has 3 nodes (one row per node): the "
              "input ends before row 1\n");

    writeText(dir.file("k.txt"), "0 1\n1 0\n1 1\n");
    err = gridWarnings(grid, dir, "Number of nodes\n2\nCoupling mag ext\n" + dir.file("k.txt") + "\n");
    EXPECT_EQ(err, "tessaly: warning: \"Coupling mag ext\" file \"" + dir.file("k.txt") +
                       "\" has 3 rows, but the grid has 2 nodes; rows after the first 2 are ignored\n");
    EXPECT_EQ(grid.linesOf(1).size(), 1u);
}

TEST(InputLimits, StepWidthAndStepCountStopTheRunBeforeAnythingIsWritten) {
    struct Case {
        const char* input;
        const char* error;
    };
    for (const Case& c : {Case{"RK stepwidth\n-0.01\n", "\"RK stepwidth\" is -0.01, but it must be finite and greater than 0"},
                          Case{"RK stepwidth\nnan\n", "\"RK stepwidth\" is nan, but it must be finite and greater than 0"},
                          Case{"RK stepwidth\n0\n", "\"RK stepwidth\" is 0, but it must be finite and greater than 0"},
                          Case{"RK steps\n-1\n", "\"RK steps\" is -1, but it must be at least 0"}}) {
        ScratchDir dir;
        RunResult r = runOnInput(dir.path(), kTwoNodeRaster + c.input);
        EXPECT_EQ(r.status, 2) << c.input;
        EXPECT_EQ(r.err, std::string("tessaly: error: ") + c.error + "\n");
        EXPECT_EQ(entries(dir.path()), std::set<std::string>{"input.txt"}) << c.input;
    }
}
