// What a run tells its user about its outcome: the exit status of a power flow
// without steady state, the output location checked before any work, the
// shipped examples running clean, result directories, the warnings about the
// run's own settings, and console lines reaching a pipe as they are written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "run/RunSetup.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

// The result files a run of `input` in `dir` will append to, as listed before
// the run.
std::set<std::string> listedResultFiles(const ScratchDir& dir, const std::string& input) {
    WorkingDirectory inside(dir.path());
    std::ostringstream console;
    testing::internal::CaptureStderr();
    std::unique_ptr<RunSetup> setup = RunSetup::load(input, 2012, console);
    testing::internal::GetCapturedStderr();
    if (!setup) return {};
    std::set<std::string> paths;
    for (const results::PlannedFile& file : setup->resultFiles) paths.insert(file.path);
    return paths;
}

// Two nodes, one line, a triangle of three for the stochastic runs.
const std::string kTwoNodeRaster =
    "Random seed\n3\nRK steps\n20\nMode raster rt\nMode RMRT\n"
    "Number of nodes\n2\nPower mech\n0.5 -0.5\nDamping\n0.5\nInertia\n1\nCoupling mag\n0 4\n4 0\n"
    "First pert node\n0\nLast pert node\n1\nFreq pert minimum\n0\nFreq pert maximum\n0.1\nFreq pert step\n0.1\n"
    "RT threshold high\n0.1\n";

std::string triangleWithWind(const std::string& admittances, const std::string& capacities) {
    return "Random seed\n5\nRK steps\n100\nMode stepfunc\nMode stoch casc\n"
           "Number of nodes\n3\nPower mech\n1.5 0.5 -2\nDamping\n0.5\nInertia\n1\nVoltage mag\n1\n"
           "Node type\n0 0 1\nCoupling mag\n0 8 8\n8 0 8\n8 8 0\nAdmittance mag\n" + admittances +
           "Line capacity\n" + capacities + "Reference node\n2\nTurbine nodes\n0\nWind series\n8 8 8\n";
}

}  // namespace

TEST(RunOutcome, PowerFlowWithoutSteadyStateCompletesWithStatusThree) {
    ScratchDir dir;
    // Power 2 cannot cross a line of coupling 1: there is no steady state.
    RunResult r = runOnInput(dir.path(), "Random seed\n1\nNumber of nodes\n2\nPower mech\n2 -2\nCoupling mag\n0 1\n1 0\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.out, "The Newton Raphson iteration did not converge.\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "Done.\n"));
    const std::string deviation = "The total deviation from steady state is: ";
    const std::size_t at = r.out.find(deviation) + deviation.size();
    const std::string remaining = r.out.substr(at, r.out.find('\n', at) - at);
    EXPECT_EQ(r.err, "tessaly: warning: the power flow did not converge (remaining total error " + remaining +
                         "): what is computed from it starts from a state that is not steady; the run ends with "
                         "exit status 3 (4 when results are also incomplete)\n");
    EXPECT_TRUE(fileExists(dir.file("Param00")));
}

TEST(RunOutcome, OutputLocationIsCheckedBeforeAnyWork) {
    ScratchDir dir;
    writeText(dir.file("plain"), "");
    for (const char* name : {"absent/run", "plain/run"}) {
        RunResult r = runOnInput(dir.path(), kTwoNodeRaster + "Output filename\n" + name + "\n");
        EXPECT_EQ(r.status, 2) << name;
        const std::string folder = std::string(name).substr(0, std::string(name).find('/') + 1);
        EXPECT_EQ(r.err, "tessaly: error: \"Output filename\" is \"" + std::string(name) + "\", but its directory \"" +
                             folder + "\" " + (folder == "plain/" ? "is not a directory" : "does not exist") +
                             ": the results could not be saved\n");
        EXPECT_FALSE(contains(r.out, "Newton Raphson"));
        EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"input.txt", "plain"}));
    }
}

TEST(RunOutcome, OutputNameWithAnExistingDirectoryWorksForEveryMode) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("results").c_str(), 0755), 0);
    RunResult r = runOnInput(dir.path(), kTwoNodeRaster + "Mode stoch inp\nMode stepfunc\nMode surv all\n"
                                                          "Turbine nodes\n0\nWind series\n8 8 8\n"
                                                          "Output filename\nresults/run1\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The raster announces its subdirectories in the working directory, as always.
    EXPECT_TRUE(contains(r.out, "Directory ijtor created\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "Directory results/surv created\n")) << r.out;
    EXPECT_EQ(fileSize(dir.file("results/ijtor/ijtorrun1")), 2 * 5 * 8);
    EXPECT_GT(fileSize(dir.file("results/surv/survrun1tn0")), 0);
    EXPECT_EQ(filesUnder(dir.path() + "/results"),
              (std::set<std::string>{"Manifestrun1.json", "Paramrun1tn0", "Paramrun1", "flanks/flanksrun1tn0",
                                     "frequency/frequencyrun1",
                                     "ijtor/ijtorrun1", "phase/phaserun1", "surv/survrun1tn0"}));
}

TEST(ShippedExamples, RunCleanInAFreshDirectoryAndWriteTheListedFiles) {
    for (const char* example : {"demo", "raster", "wind", "ieee118"}) {
        ScratchDir dir;
        copyExamples(dir);
        const std::string input = std::string(example) + ".txt";
        ScratchDir listing;
        copyExamples(listing);
        const std::set<std::string> listed = listedResultFiles(listing, input);

        RunResult r = runProgram(dir.path(), input + "\n");
        EXPECT_EQ(r.status, 0) << example << ": " << r.err;
        if (input == "wind.txt") {
            // The one thing to say about the wind example: its cascade trips a line for good.
            EXPECT_EQ(r.err, "tessaly: warning: \"Mode stoch lf\" of run \"windw0tn1\" starts with 1 line out of "
                             "service that a cascade switched off; tripped lines stay out for every later analysis "
                             "and configuration of this run (\"Cascade restore lines\" puts them back after each "
                             "cascade)\n");
        } else {
            EXPECT_EQ(r.err, "") << example;
        }

        std::set<std::string> written;
        for (const std::string& file : filesUnder(dir.path())) {
            if (file.find(".txt") == std::string::npos && file.compare(0, 5, "Param") != 0 && !isRunManifest(file)) {
                written.insert(file);
            }
        }
        EXPECT_TRUE(fileExists(dir.file("Manifest" + std::string(example) + ".json"))) << example;
        EXPECT_FALSE(listed.empty()) << example;
        EXPECT_EQ(listed, written) << example;
    }
}

TEST(RunOutcome, ResultDirectoryInTheWayIsWarnedAbout) {
    ScratchDir dir;
    writeText(dir.file("ijtor"), "");
    RunResult r = runOnInput(dir.path(), kTwoNodeRaster);
    // The mean return times had nowhere to go: the run's results are incomplete.
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(contains(r.err, "tessaly: warning: cannot create directory ijtor: File exists (not a directory)\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "tessaly: warning: cannot write ijtor/ijtor00: Not a directory\n")) << r.err;
    EXPECT_FALSE(contains(r.out, "Directory ijtor created"));
    EXPECT_TRUE(contains(r.out, "Directory phase created\n"));
}

TEST(RunOutcome, CascadeOverLinesWithoutCapacityOrAdmittanceWarnsOnce) {
    ScratchDir dir;
    // The line 0-1 has no capacity; 1-2 has an admittance on one side only.
    RunResult r = runOnInput(dir.path(), triangleWithWind("0 8 8\n8 0 0\n8 8 0\n", "0 0 50\n0 0 50\n50 50 0\n"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "tessaly: warning: \"Mode stoch casc\" is on, but 2 lines in service have "
                                "\"Line capacity\" 0 or \"Admittance mag\" 0: the cascade trips a line whose flow "
                                "(from its admittance) exceeds its capacity, so such lines trip at once\n"))
        << r.err;

    ScratchDir sound;
    r = runOnInput(sound.path(), triangleWithWind("0 8 8\n8 0 8\n8 8 0\n", "0 50 50\n50 0 50\n50 50 0\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// A program whose standard output goes to a pipe still hands on every line as
// it writes it. The input file is a FIFO: the program blocks opening it right
// after "I understood: ...", before it ends, so that line can only have
// reached the pipe by being flushed with its line.
TEST(ConsoleOutput, EveryLineReachesAPipeAsItIsWritten) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo(dir.file("input.txt").c_str(), 0600), 0);
    writeText(dir.file("name"), "input.txt\n");
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int name = open(dir.file("name").c_str(), O_RDONLY);
        if (name < 0 || chdir(dir.path().c_str()) != 0) _exit(127);
        dup2(name, STDIN_FILENO);
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        execl(TESSALY_BIN, TESSALY_BIN, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeEnds[1]);
    std::string seen;
    // The wait only guards against hanging when the line never comes.
    while (!contains(seen, "I understood: input.txt\n")) {
        pollfd ready{pipeEnds[0], POLLIN, 0};
        if (poll(&ready, 1, 30000) <= 0) break;
        char buffer[256];
        const ssize_t n = read(pipeEnds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(pipeEnds[0]);
    EXPECT_TRUE(contains(seen, "I understood: input.txt\n")) << seen;
}
