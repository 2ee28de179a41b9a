// The program started with arguments: the same console text as the prompted
// form, an input with blanks, -C, --check, usage errors, --fast and the
// thread count in the manifest, and the progress line on a terminal (present)
// and on a pipe (absent).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "TestSupport.h"

using namespace testsupport;

namespace {

// Two nodes, one line; the raster perturbs node 0 twice.
const std::string kSmallRaster =
    "Random seed\n3\nRK steps\n50\nOutput filename\nr\nMode raster rt\nMode RMRT\n"
    "Number of nodes\n2\nPower mech\n0.5 -0.5\nDamping\n0.5\nInertia\n1\nCoupling mag\n0 4\n4 0\n"
    "First pert node\n0\nLast pert node\n1\nFreq pert minimum\n0\nFreq pert maximum\n0.2\nFreq pert step\n0.1\n"
    "RT threshold high\n0.1\n";

nlohmann::json manifestOf(const std::string& path) { return nlohmann::json::parse(readText(path)); }

// Runs the program on a pseudo-terminal: standard error (and input) on the
// terminal, standard output into `outFile`. Returns what reached the terminal.
std::string runOnTerminal(const std::string& workDir, const std::vector<std::string>& arguments,
                          const std::string& outFile, int& status) {
    std::vector<std::string> argvText = {TESSALY_BIN};
    argvText.insert(argvText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argvText) argv.push_back(&text[0]);
    argv.push_back(nullptr);
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (chdir(workDir.c_str()) != 0 || out < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(127);
        unsetenv("TESSALY_THREADS");
        execv(TESSALY_BIN, argv.data());
        _exit(127);
    }
    std::string shown;
    char buffer[4096];
    for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;) {
        shown.append(buffer, static_cast<std::size_t>(got));
    }
    close(terminal);
    int raw = 0;
    waitpid(child, &raw, 0);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return shown;
}

}  // namespace

TEST(CommandLineRuns, ArgumentFormPrintsWhatThePromptedFormPrints) {
    ScratchDir prompted;
    ScratchDir direct;
    copyExamples(prompted);
    copyExamples(direct);
    RunResult asked = runProgram(prompted.path(), "raster.txt\n");
    RunResult given = runWithArguments(direct.path(), {"raster.txt"});
    EXPECT_EQ(asked.status, 0);
    EXPECT_EQ(given.status, 0);
    EXPECT_TRUE(contains(given.out, "Type in parameter file.\nI understood: raster.txt\n")) << given.out;
    EXPECT_EQ(maskTimes(given.out), maskTimes(asked.out));
    EXPECT_EQ(given.err, asked.err);
    EXPECT_EQ(filesUnder(direct.path()), filesUnder(prompted.path()));
}

TEST(CommandLineRuns, InputWithBlanksRunsInTheDirectoryOfOptionC) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("my runs").c_str(), 0755), 0);
    writeText(dir.file("my runs/my grid.txt"), kSmallRaster);
    RunResult r = runWithArguments(dir.path(), {"-C", "my runs", "my grid.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains(r.out, "I understood: my grid.txt\n")) << r.out;
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"my runs"});
    EXPECT_EQ(fileSize(dir.file("my runs/ijtor/ijtorr")), 2 * 2 * 5 * 8);
    const nlohmann::json manifest = manifestOf(dir.file("my runs/Manifestr.json"));
    EXPECT_EQ(manifest["input"]["path"], "my grid.txt");
    const std::string workingDirectory = manifest["working_directory"];
    EXPECT_EQ(workingDirectory.substr(workingDirectory.size() - 8), "/my runs");
    EXPECT_EQ(manifest["command_line"].size(), 4u);

    RunResult absent = runWithArguments(dir.path(), {"-C", "absent", "my grid.txt"});
    EXPECT_EQ(absent.status, 2);
    EXPECT_EQ(absent.out, "");
    EXPECT_EQ(absent.err, "tessaly: error: cannot enter directory \"absent\" (-C): No such file or directory\n");
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"my runs"});
}

TEST(CommandLineRuns, CheckValidatesTheInputAndCreatesNothing) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
    writeText(dir.file("in.txt"), kSmallRaster + "Output filename\nout/r\nIntertia\n1\n");
    RunResult valid = runWithArguments(dir.path(), {"--check", "in.txt"});
    EXPECT_EQ(valid.status, 0) << valid.err;
    // Every reader's lines, no banner, no power flow.
    EXPECT_EQ(valid.out.rfind("-------------------- Param reading  --------------------\n", 0), 0u) << valid.out;
    EXPECT_TRUE(contains(valid.out, "read Coupling mag\n"));
    EXPECT_TRUE(contains(valid.out, "read First pert node\n"));
    EXPECT_FALSE(contains(valid.out, "Newton Raphson"));
    // The warnings a run would give, then the verdict.
    EXPECT_EQ(valid.err,
              "tessaly: warning: line 34 \"Intertia\" is no key that any reader knows and is skipped; did you mean "
              "\"Inertia\"?\n"
              "tessaly: \"in.txt\" is valid input: 2 nodes, 3 result files\n");
    EXPECT_EQ(filesUnder(dir.path()), std::set<std::string>{"in.txt"});
    EXPECT_TRUE(entries(dir.file("out")).empty());

    writeText(dir.file("in.txt"), kSmallRaster + "RK stepwidth\n-1\n");
    RunResult invalid = runWithArguments(dir.path(), {"--check", "in.txt"});
    EXPECT_EQ(invalid.status, 2);
    EXPECT_EQ(invalid.err,
              "tessaly: error: \"RK stepwidth\" is -1, but it must be finite and greater than 0\n"
              "tessaly: \"in.txt\" is not valid input\n");
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"in.txt", "out"}));

    RunResult missing = runWithArguments(dir.path(), {"--check", "absent.txt"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "tessaly: error: the input file \"absent.txt\" cannot be opened (No such file or directory)\n");
}

TEST(CommandLineRuns, UsageErrorRunsNothing) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), kSmallRaster);
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--bogus", "in.txt"}, {"-j", "0", "in.txt"}}) {
        RunResult r = runWithArguments(dir.path(), arguments);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("tessaly: error: ", 0), 0u) << r.err;
        EXPECT_EQ(entries(dir.path()), std::set<std::string>{"in.txt"});
    }
    RunResult badVariable = runWithArguments(dir.path(), {"in.txt"}, "", {"TESSALY_THREADS=0"});
    EXPECT_EQ(badVariable.status, 2);
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"in.txt"});

    RunResult help = runWithArguments(dir.path(), {"--help", "in.txt"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.find("Simulates"), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"in.txt"});
}

TEST(CommandLineRuns, FastKernelAndThreadCountReachTheManifest) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), kSmallRaster);
    RunResult fast = runWithArguments(dir.path(), {"--fast", "-j", "3", "in.txt"});
    EXPECT_EQ(fast.status, 0) << fast.err;
    nlohmann::json manifest = manifestOf(dir.file("Manifestr.json"));
    EXPECT_EQ(manifest["threads"], 3);
    EXPECT_EQ(std::string(manifest["kernel"]).rfind("fast-", 0), 0u) << manifest["kernel"];
    EXPECT_EQ(manifest["modes"], nlohmann::json({"Mode raster rt", "Mode RMRT", "Mode fast"}));

    ScratchDir plain;
    writeText(plain.file("in.txt"), kSmallRaster);
    RunResult fromVariable = runWithArguments(plain.path(), {"in.txt"}, "", {"TESSALY_THREADS=5"});
    EXPECT_EQ(fromVariable.status, 0);
    manifest = manifestOf(plain.file("Manifestr.json"));
    EXPECT_EQ(manifest["threads"], 5);
    EXPECT_EQ(manifest["kernel"], "exact");
}

TEST(CommandLineRuns, ProgressOnATerminalButNotOnAPipe) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), kSmallRaster);
    int status = -1;
    const std::string shown = runOnTerminal(dir.path(), {"in.txt"}, dir.file("terminal.out"), status);
    EXPECT_EQ(status, 0);
    // One line for the raster, rewritten in place and cleared at its end.
    EXPECT_EQ(shown.rfind("\rraster: 0/2 initial conditions (node 0), 0:00 elapsed\x1b[K", 0), 0u) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 4), "\r\x1b[K");
    EXPECT_FALSE(contains(shown, "\n"));

    ScratchDir piped;
    writeText(piped.file("in.txt"), kSmallRaster);
    RunResult r = runWithArguments(piped.path(), {"in.txt"});
    EXPECT_EQ(r.err, "");
    // The console text does not change with the progress line.
    EXPECT_EQ(maskTimes(readText(dir.file("terminal.out"))), maskTimes(r.out));

    ScratchDir off;
    writeText(off.file("in.txt"), kSmallRaster);
    EXPECT_EQ(runOnTerminal(off.path(), {"--no-progress", "in.txt"}, off.file("terminal.out"), status), "");
}
