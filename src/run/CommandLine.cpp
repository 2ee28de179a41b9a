#include "run/CommandLine.h"

#include <sched.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "run/ProgramInfo.h"

namespace {

const char* const kDescription =
    "Simulates the electromechanical dynamics of a power grid: a power flow for the\n"
    "steady state, then the raster and stochastic analyses that INPUT switches on.\n"
    "Without INPUT it asks for the input file's name on standard input.";

const char* const kFooter =
    "Results go to the working directory (DIR with -C), named from the input's\n"
    "\"Output filename\" (default 00): for out/run7, result files such as\n"
    "out/ijtor/ijtorrun7 (always appended to), the run report out/Paramrun7 and\n"
    "the run manifest out/Manifestrun7.json, which describes the run and the\n"
    "records of every result file.\n"
    "\n"
    "Exit status:\n"
    "  0  complete run (with --check: valid input)\n"
    "  1  the input file cannot be opened\n"
    "  2  invalid input or usage (reason on standard error; nothing is written)\n"
    "  3  completed, but a power flow did not find the steady state\n"
    "  4  completed, but a result file could not be written (results incomplete);\n"
    "     the run report and the manifest count too, and 4 comes before 3\n"
    "\n"
    "Environment: TESSALY_THREADS gives the thread count when -j is not given.\n"
    "Started by an MPI launcher (mpirun -n R, srun), R processes share the work;\n"
    "the first prints and writes the report and the manifest.";

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

void usageError(std::ostream& err, const std::string& message) {
    err << "tessaly: error: " << message << "\n"
        << "Run \"tessaly --help\" for the options.\n";
}

// The version text without its last line end (the parser adds one).
std::string versionLines() {
    std::string text = program::versionText();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

int defaultThreads(const CommandLineEnvironment& environment) {
    if (environment.threadsVariable != nullptr && *environment.threadsVariable != '\0') {
        return parseThreadCount(environment.threadsVariable, "TESSALY_THREADS");
    }
    return environment.hardwareThreads > 0 ? static_cast<int>(std::min<unsigned>(environment.hardwareThreads, INT_MAX))
                                           : 1;
}

// The hardware threads this process may run on: fewer than the machine has
// where a launcher or a batch system binds it to some (mpirun, srun, taskset).
unsigned usableHardwareThreads() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
    return std::thread::hardware_concurrency();
}

}  // namespace

CommandLineEnvironment CommandLineEnvironment::ofProcess() {
    CommandLineEnvironment environment;
    environment.threadsVariable = std::getenv("TESSALY_THREADS");
    environment.stderrIsTerminal = isatty(STDERR_FILENO) == 1;
    environment.hardwareThreads = usableHardwareThreads();
    return environment;
}

int parseThreadCount(const std::string& text, const std::string& source) {
    long long value = 0;
    bool valid = !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
    for (std::size_t i = 0; valid && i < text.size(); ++i) {
        value = value * 10 + (text[i] - '0');
        valid = value <= INT_MAX;
    }
    if (!valid || value < 1) {
        throw std::invalid_argument(source + " is \"" + text + "\", but the thread count must be a whole number " +
                                    "from 1 to " + std::to_string(INT_MAX));
    }
    return static_cast<int>(value);
}

CommandLine parseCommandLine(int argc, const char* const* argv, const CommandLineEnvironment& environment,
                             std::ostream& out, std::ostream& err) {
    CommandLine result;
    RunOptions& options = result.options;
    options.commandLine.assign(argv, argv + argc);

    CLI::App app(kDescription, program::name());
    app.footer(kFooter);
    app.set_version_flag("--version", versionLines, "Print the program version, build and features, and exit");
    std::string input;
    CLI::Option* inputOption =
        app.add_option("INPUT", input, "The input file (blanks allowed; -- before a name that starts with -)");
    app.add_flag("--check", options.check,
                 "Read and validate INPUT only: no power flow, no file written;\n"
                 "the readers' lines on standard output, the verdict on standard\n"
                 "error; exit 0 when valid, 2 when not")
        ->needs(inputOption);
    app.add_option("-C,--directory", options.directory,
                   "Run as if started in DIR (INPUT, the files it names and the\nresults are relative to DIR)")
        ->type_name("DIR");
    std::string threads;
    CLI::Option* threadsOption =
        app.add_option("-j,--threads", threads,
                       "Worker threads, at least 1 (default: TESSALY_THREADS, else\n"
                       "every hardware thread the process may run on)")
            ->type_name("N");
    bool progressOn = false;
    bool progressOff = false;
    CLI::Option* progressOnOption = app.add_flag(
        "--progress", progressOn, "A progress line per analysis on standard error (default:\nwhen it is a terminal)");
    app.add_flag("--no-progress", progressOff, "No progress line")->excludes(progressOnOption);
    app.add_flag("--fast", options.fast, "Integrate with the fast kernel (as the input key \"Mode fast\")");

    try {
        app.parse(argc, argv);
        if (inputOption->count() > 0) options.input = input;
        options.threads =
            threadsOption->count() > 0 ? parseThreadCount(threads, "-j/--threads") : defaultThreads(environment);
        options.progress = progressOn || (!progressOff && environment.stderrIsTerminal);
    } catch (const CLI::CallForHelp& help) {
        result.exitStatus = app.exit(help, out, err);
    } catch (const CLI::CallForVersion& version) {
        result.exitStatus = app.exit(version, out, err);
    } catch (const CLI::ParseError& error) {
        usageError(err, error.what());
        result.exitStatus = 2;
    } catch (const std::invalid_argument& error) {
        usageError(err, error.what());
        result.exitStatus = 2;
    }
    return result;
}
