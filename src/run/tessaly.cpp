#include "run/tessaly.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "util/CodeUtils.h"
#include "dynamics/Function.h"
#include "input/InputText.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "ensemble/ProcessGroup.h"
#include "run/ProgramInfo.h"
#include "diagnostics/Progress.h"
#include "run/RunManifest.h"
#include "run/RunSetup.h"
#include "diagnostics/RunStatus.h"
#include "dynamics/RungeKutta.h"
#include "dynamics/TimeScales.h"
#include "grid/GridReview.h"
#include "diagnostics/Diagnostics.h"

namespace {

const int kProgramVersion = 2012;

const char* const kUnsupportedMode = "mode currently not supported.\n";

// From a few hundred nodes on, random starting phases (up to 0.0005 rad per
// node index) lie far from the steady state and Newton tends to diverge.
const int kLargeGridNodes = 300;

// The share of the total generation beyond which a change of the reference
// node's power by the power flow is worth a warning: more than losses.
const double kSlackShare = 0.05;

std::string startAdvice(const PowerGrid& grid) {
    if (grid.getNrStart() != PowerGrid::NrStart::Random || grid.getNumNodes() <= kLargeGridNodes) return "";
    return "the random starting phases lie far from the steady state on " + std::to_string(grid.getNumNodes()) +
           " nodes; \"NR start\" flat (the phases of \"Voltage ang\") or dc (the linearised solution) usually "
           "converges on large grids";
}

// Why the power flow missed the steady state, where the grid tells, and what
// to try.
std::string steadyStateAdvice(const PowerGrid& grid) {
    const std::string cause = GridReview(grid).missedSteadyStateCause();
    const std::string start = startAdvice(grid);
    if (cause.empty()) return start;
    return start.empty() ? cause : cause + "; " + start;
}

// The reference node's mechanical power is what the power flow solves for:
// a large change means the given powers did not balance, and the reference
// node took up the difference.
void warnIfSlackTookUpImbalance(PowerGrid& grid, double given) {
    const double solved = grid.referencePower();
    double generation = 0;
    double powers = 0;
    for (int i = 0; i < grid.getNumNodes(); ++i) {
        generation += std::max(grid.nodeAt(i).getPowerMechInit(), 0.0);
        powers += std::fabs(grid.nodeAt(i).getPowerMechInit());
    }
    // Rounding and the power flow's tolerance aside, on grids without generation too.
    const double bound = kSlackShare * generation + 1e-6 * std::max(1.0, powers);
    if (!(std::fabs(solved - given) > bound)) return;
    Diagnostics::warn("the power flow changed the \"Power mech\" of the reference node " +
                      std::to_string(grid.getRefNode()) + " from " + CodeUtils::d2Str(given) + " to " +
                      CodeUtils::d2Str(solved) + ", more than " + CodeUtils::d2Str(100 * kSlackShare) +
                      " % of the total generation (" + CodeUtils::d2Str(generation) +
                      "): it takes up what the other powers do not balance; check that they sum to (about) zero");
}

void printBanner() {
    std::cout << "==================== Volmara V" << program::version() << " ====================\n";
    std::cout << "Moin!\n";
}

// The console shows the same two lines whether the name came from standard
// input or from the command line.
std::string askForInputFile(std::istream& in) {
    std::cout << "Type in parameter file.\n";
    std::string name;
    in >> name;
    std::cout << "I understood: " << name << '\n';
    return name;
}

std::string announceInputFile(const std::string& name) {
    std::cout << "Type in parameter file.\n"
              << "I understood: " << name << '\n';
    return name;
}

// Why the input file cannot be read, for standard error.
std::string unopenable(const std::string& inputFile) {
    return "the input file \"" + inputFile + "\" cannot be opened (" + InputText(inputFile).openError() + ")";
}

void reportUnreadableInput(const std::string& inputFile) {
    const char* message = "file doesn't exist or is damaged.Program will exit.\n";
    std::cout.flush();
    if (Diagnostics::warningsShown()) std::cerr << message;
    Diagnostics::error(unopenable(inputFile));
    std::cout << message;
}

// Runs the analyses the input switches on, in their fixed order, collecting
// their text reports for the run report. The analyses' readers ran when the
// input was loaded; their console text comes here, where it always stood.
void runAnalyses(RunSetup& setup, Function& function, RungeKutta& rungeKutta, const Parallelism& parallelism,
                 std::ostream& report, RunStatus& status) {
    Param& param = setup.param;
    // The steady state of the power flow, before an analysis changes the grid.
    if (setup.contingency) setup.contingency->takeSteadyState(setup.grid);
    if (setup.linear) setup.linear->takeSteadyState(setup.grid);
    if (param.isNRonly()) std::cout << kUnsupportedMode;
    if (param.isModeMeanRetTimes()) std::cout << kUnsupportedMode;
    if (setup.raster) {
        std::cout << setup.rasterReading;
        // Taken before the run: it documents the configuration as read.
        report << setup.raster->toString();
        setup.raster->setRunStatus(&status);
        setup.raster->rasterRT(param, function, parallelism);
    }
    if (param.isModePPert()) std::cout << kUnsupportedMode;
    if (setup.stochastic) {
        std::cout << setup.stochasticReading;
        setup.stochastic->setRunStatus(&status);
        setup.stochastic->setParallelism(parallelism);
        setup.stochastic->stochSwing(param, rungeKutta);
        // Taken after the run: the analysis fills in what it found.
        report << setup.stochastic->toString();
    }
    if (setup.contingency) {
        std::cout << setup.contingencyReading;
        setup.contingency->setRunStatus(&status);
        setup.contingency->run(param, parallelism, function.kernelVariant());
        setup.contingency->printFindings(std::cout, param);
    }
    // It integrates nothing: the first process computes and writes it alone.
    if (setup.linear && parallelism.processes->isLeader()) {
        std::cout << setup.linearReading;
        setup.linear->run(param, std::cout);
    }
    if (setup.basin) {
        std::cout << setup.basinReading;
        setup.basin->setRunStatus(&status);
        setup.basin->run(param, function, parallelism);
        std::cout << setup.basin->summary();
        report << setup.basin->toString();
    }
}

// The analyses between the two timing lines, then the run report (which the
// leader of a cluster run alone writes).
void runAndReport(RunSetup& setup, Function& function, RungeKutta& rungeKutta, const Parallelism& parallelism,
                  RunStatus& status) {
    Param& param = setup.param;
    const bool leader = parallelism.processes->isLeader();
    clock_t cpuStart = clock();
    double wallStart = static_cast<double>(time(nullptr));

    std::stringstream report;
    if (leader && param.graphViz) param.toGraphViz();
    if (leader) param.toFile();

    runAnalyses(setup, function, rungeKutta, parallelism, report, status);

    std::cout << "dclockt/cpu clock ticks = " << static_cast<double>(clock() - cpuStart) << '\n';
    std::cout << "ddoublet/real time (sec) = " << static_cast<double>(time(nullptr)) - wallStart << '\n';
    param.timeTaken = static_cast<double>(time(nullptr)) - wallStart;
    if (!leader) return;
    param.toFile();
    report << setup.grid.toString();
    writeToFile(param, report.str());
}

// The leader of a cluster run learns which of the run's result files the
// other processes could not write (they warned about them): its manifest and
// exit status speak for the whole run.
void collectWriteFailures(const ProcessGroup& processes, const std::vector<results::PlannedFile>& files) {
    if (processes.size() == 1) return;
    std::vector<double> own;  // pairs: the file's index in `files`, the errno value
    for (const WriteFailures::Failure& failure : WriteFailures::all()) {
        for (std::size_t k = 0; k < files.size(); ++k) {
            if (files[k].path == failure.path) own.insert(own.end(), {static_cast<double>(k), double(failure.error)});
        }
    }
    const std::vector<std::vector<double>> all = processes.gather(own);
    for (std::size_t rank = 1; rank < all.size(); ++rank) {
        for (std::size_t at = 0; at + 1 < all[rank].size(); at += 2) {
            const std::size_t file = static_cast<std::size_t>(all[rank][at]);
            if (file < files.size()) WriteFailures::record(files[file].path, static_cast<int>(all[rank][at + 1]));
        }
    }
}

RunManifest::RunContext manifestContext(const RunOptions& options, const std::string& inputFile,
                                        const Function& function, const ProcessGroup& processes) {
    RunManifest::RunContext context;
    context.inputFile = inputFile;
    context.commandLine = options.commandLine;
    context.threads = options.threads;
    context.ranks = processes.size();
    context.kernel = function.kernelName();
    return context;
}

int runStages(std::istream& in, const RunOptions& options, const ProcessGroup& processes) {
    std::string inputFile = options.input ? announceInputFile(*options.input) : askForInputFile(in);
    std::unique_ptr<RunSetup> setup = RunSetup::load(inputFile, kProgramVersion, std::cout);
    if (!setup) {
        reportUnreadableInput(inputFile);
        return 1;
    }
    Param& param = setup->param;
    if (options.fast) param.setModeFast(true);
    PowerGrid& grid = setup->grid;
    srand(param.getRandSeed());
    std::cout << "Finished reading parameters.\n";

    RunStatus status;
    const double referencePower = grid.referencePower();
    if (grid.NRPF()) {
        warnIfSlackTookUpImbalance(grid, referencePower);
    } else {
        status.steadyStateMissed("the power flow", grid.getPowerFlowError(), steadyStateAdvice(grid));
    }
    grid.applyBaseFlowCapacities();
    if (!setup->integratingAnalyses().empty()) warnIfStepTooWide(grid, param.stepWidth);

    auto function = std::make_unique<Function>(&param, &grid);
    RungeKutta rungeKutta(grid.getNumNodes(), function.get());

    // Before the first result byte: a run that does not get to its end
    // leaves a manifest that says so. The leader of a cluster run writes it.
    std::optional<RunManifest> manifest;
    if (processes.isLeader()) {
        RunManifest::RunContext context = manifestContext(options, inputFile, *function, processes);
        context.referencePowerGiven = referencePower;
        manifest.emplace(*setup, std::move(context));
        manifest->start();
        if (setup->stochastic) setup->stochastic->setRunListener(&*manifest);
    }
    try {
        runAndReport(*setup, *function, rungeKutta, Parallelism{options.threads, &processes}, status);
    } catch (const std::exception&) {
        // Validation comes first, so this is not expected.
        if (manifest) manifest->finish(2, status);
        throw;
    }
    collectWriteFailures(processes, setup->resultFiles);
    status.filesUnwritten(WriteFailures::all().size());
    if (manifest) manifest->finish(status.exitStatus(), status);
    // The manifest's last rewrite may be what failed.
    status.filesUnwritten(WriteFailures::all().size());

    function.reset();
    std::cout << "Done.\n";
    return status.exitStatus();
}

// Loads and validates the input as a run does, and says whether it is valid.
int checkInput(const std::string& inputFile) {
    // The verdict comes where errors do (from the first process of a cluster run).
    std::ostringstream unheard;
    std::ostream& verdict = Diagnostics::warningsShown() ? std::cerr : unheard;
    std::unique_ptr<RunSetup> setup;
    try {
        setup = RunSetup::load(inputFile, kProgramVersion, std::cout);
    } catch (const std::exception& error) {
        Diagnostics::error(error.what());
        verdict << "tessaly: \"" << inputFile << "\" is not valid input\n";
        return 2;
    }
    if (!setup) {
        Diagnostics::error(unopenable(inputFile));
        return 1;
    }
    std::cout << setup->rasterReading << setup->stochasticReading << setup->contingencyReading
              << setup->linearReading << setup->basinReading;
    std::cout.flush();
    verdict << "tessaly: \"" << inputFile << "\" is valid input: " << setup->grid.getNumNodes() << " nodes, "
            << setup->resultFiles.size() << " result files\n";
    return 0;
}

}  // namespace

void writeToFile(Param& param, std::string text) {
    if (!param.writeParamFile) return;
    std::string name = param.reportFileName();
    std::ofstream out(name, std::ios::app);
    if (!out.is_open()) {
        Diagnostics::warnUnwritable(name);
        return;
    }
    out << text;
    out.close();
    if (out.fail()) Diagnostics::warnUnwritable(name);
}

int runTessaly(std::istream& in, const RunOptions& options, const ProcessGroup& processes) {
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) {
        Diagnostics::error("cannot enter directory \"" + options.directory + "\" (-C): " + std::strerror(errno));
        return 2;
    }
    if (processes.size() > 1 && !options.input) {
        Diagnostics::error("a run over " + std::to_string(processes.size()) +
                    " processes needs INPUT on the command line (standard input reaches the first process only)");
        return 2;
    }
    ProgressDisplay progress(options.progress && processes.isLeader());
    if (options.check) return checkInput(options.input.value_or(""));
    printBanner();
    try {
        return runStages(in, options, processes);
    } catch (const InputError& error) {
        // Every process read the same input and stops here alike.
        Diagnostics::error(error.what());
        return 2;
    } catch (const std::exception& error) {
        Diagnostics::error(error.what());
        // The other processes of a cluster run would wait for this one.
        if (processes.size() > 1) processes.abort(2);
        return 2;
    }
}
