// The command line: options, their defaults and checks, and the texts of
// --help and --version, parsed in the process (the runs they start are in
// test_command_line_runs.cpp).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "run/CommandLine.h"

namespace {

struct Parsed {
    CommandLine commandLine;
    std::string out;
    std::string err;
};

Parsed parse(std::vector<std::string> arguments, const char* threadsVariable = nullptr, bool terminal = false) {
    arguments.insert(arguments.begin(), "tessaly");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    CommandLineEnvironment environment;
    environment.threadsVariable = threadsVariable;
    environment.stderrIsTerminal = terminal;
    environment.hardwareThreads = 6;
    std::ostringstream out;
    std::ostringstream err;
    Parsed parsed{parseCommandLine(static_cast<int>(argv.size()), argv.data(), environment, out, err), "", ""};
    parsed.out = out.str();
    parsed.err = err.str();
    return parsed;
}

}  // namespace

TEST(CommandLine, NoArgumentsAsksForTheInputWithDefaults) {
    Parsed p = parse({});
    ASSERT_FALSE(p.commandLine.exitStatus);
    const RunOptions& o = p.commandLine.options;
    EXPECT_FALSE(o.input);
    EXPECT_FALSE(o.check || o.fast || o.progress);
    EXPECT_EQ(o.directory, "");
    EXPECT_EQ(o.threads, 6);
    EXPECT_EQ(o.commandLine, (std::vector<std::string>{"tessaly"}));
    EXPECT_TRUE(parse({}, nullptr, true).commandLine.options.progress);
}

TEST(CommandLine, EveryOptionAndAnInputWithBlanks) {
    Parsed p = parse({"-C", "runs dir", "--fast", "-j", "3", "--check", "--progress", "my grid.txt"});
    ASSERT_FALSE(p.commandLine.exitStatus) << p.err;
    const RunOptions& o = p.commandLine.options;
    EXPECT_EQ(o.input.value_or(""), "my grid.txt");
    EXPECT_EQ(o.directory, "runs dir");
    EXPECT_EQ(o.threads, 3);
    EXPECT_TRUE(o.check && o.fast && o.progress);
    EXPECT_EQ(o.commandLine.size(), 9u);

    Parsed longForms = parse({"--directory=d", "--threads=2", "--no-progress", "in.txt"}, "5", true);
    ASSERT_FALSE(longForms.commandLine.exitStatus) << longForms.err;
    EXPECT_EQ(longForms.commandLine.options.directory, "d");
    EXPECT_EQ(longForms.commandLine.options.threads, 2);
    EXPECT_FALSE(longForms.commandLine.options.progress);

    // "--" ends the options: what follows is the input, even with a dash.
    Parsed dashed = parse({"--", "-odd name.txt"});
    ASSERT_FALSE(dashed.commandLine.exitStatus) << dashed.err;
    EXPECT_EQ(dashed.commandLine.options.input.value_or(""), "-odd name.txt");
}

TEST(CommandLine, ThreadsFromTheEnvironmentWhenNotGiven) {
    EXPECT_EQ(parse({"in.txt"}, "4").commandLine.options.threads, 4);
    EXPECT_EQ(parse({"-j", "2", "in.txt"}, "4").commandLine.options.threads, 2);
    EXPECT_EQ(parse({"in.txt"}, "").commandLine.options.threads, 6);  // set but empty: not given
}

TEST(CommandLine, BadValuesAndUnknownOptionsAreUsageErrors) {
    const std::vector<std::vector<std::string>> wrong = {
        {"-j", "0", "in.txt"},    {"-j", "-1", "in.txt"},          {"-j", "1.5", "in.txt"},
        {"-j", "x", "in.txt"},    {"-j", "2147483648", "in.txt"}, {"--threads", "", "in.txt"},
        {"--bogus", "in.txt"},    {"-j"},                           {"--check"},
        {"a.txt", "b.txt"},       {"--progress", "--no-progress", "in.txt"},
    };
    for (const std::vector<std::string>& arguments : wrong) {
        Parsed p = parse(arguments);
        EXPECT_EQ(p.commandLine.exitStatus.value_or(-1), 2) << arguments[0];
        EXPECT_EQ(p.err.rfind("tessaly: error: ", 0), 0u) << p.err;
        EXPECT_TRUE(p.err.find("tessaly --help") != std::string::npos) << p.err;
        EXPECT_EQ(p.out, "");
    }
    EXPECT_TRUE(parse({"-j", "0", "in.txt"}).err.find("-j/--threads is \"0\"") != std::string::npos);
    Parsed fromEnvironment = parse({"in.txt"}, "many");
    EXPECT_EQ(fromEnvironment.commandLine.exitStatus.value_or(-1), 2);
    EXPECT_TRUE(fromEnvironment.err.find("TESSALY_THREADS is \"many\"") != std::string::npos) << fromEnvironment.err;
}

TEST(CommandLine, HelpAndVersionEndAtOnceOnStandardOutput) {
    Parsed help = parse({"--help"});
    EXPECT_EQ(help.commandLine.exitStatus.value_or(-1), 0);
    EXPECT_EQ(help.err, "");
    for (const char* text : {"Usage: tessaly [OPTIONS] [INPUT]", "--check", "-C,--directory", "-j,--threads",
                             "--progress", "--no-progress", "--fast", "--version", "Exit status:",
                             "  4  completed, but a result file could not be written", "Manifestrun7.json"}) {
        EXPECT_TRUE(help.out.find(text) != std::string::npos) << text;
    }
    Parsed version = parse({"--version", "in.txt"});
    EXPECT_EQ(version.commandLine.exitStatus.value_or(-1), 0);
    EXPECT_EQ(version.out.rfind("tessaly 2.012\nbuild type: ", 0), 0u) << version.out;
    EXPECT_TRUE(version.out.find("\ncompiler: ") != std::string::npos);
    EXPECT_TRUE(version.out.find("\nfeature fast_kernel: yes (") != std::string::npos);
}
