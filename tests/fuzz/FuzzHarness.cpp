#include "FuzzHarness.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "util/CodeUtils.h"
#include "dynamics/Function.h"
#include "input/InputText.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "analyses/raster/RasterReturnTime.h"
#include "run/RunSetup.h"
#include "diagnostics/RunStatus.h"
#include "dynamics/RungeKutta.h"
#include "analyses/stochastic/StochasticInput.h"
#include "diagnostics/Diagnostics.h"

namespace fuzzing {

namespace {

namespace fs = std::filesystem;

constexpr const char* kInputName = "input.txt";
constexpr const char* kExtName = "ext.txt";
constexpr std::string_view kExtSeparator = "\n--ext--\n";
constexpr int kProgramVersion = 2012;

// The process works in a scratch directory of its own, removed at exit: the
// inputs' relative "ext" file names and output names resolve there.
class ScratchDirectory {
public:
    ScratchDirectory() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tessaly-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
        path = pattern;
        home = fs::current_path();
        fs::current_path(path);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        fs::current_path(home, ignored);
        fs::remove_all(path, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    // Removes what a run left behind.
    void clear() const {
        for (const fs::directory_entry& entry : fs::directory_iterator(path)) fs::remove_all(entry.path());
    }

private:
    fs::path path;
    fs::path home;
};

ScratchDirectory& scratch() {
    static ScratchDirectory directory;
    return directory;
}

void writeFile(const char* name, std::string_view bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The input file and, after the separator, the "ext" file.
void writeInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t split = bytes.find(kExtSeparator);
    writeFile(kInputName, bytes.substr(0, split));
    if (split == std::string_view::npos) {
        std::remove(kExtName);
    } else {
        writeFile(kExtName, bytes.substr(split + kExtSeparator.size()));
    }
}

// The console text of the readers and analyses goes nowhere while a target
// runs: millions of inputs would flood the fuzzer's log.
class SilentConsole {
public:
    SilentConsole() : saved(std::cout.rdbuf(nullptr)) { Diagnostics::showWarnings(false); }
    ~SilentConsole() {
        std::cout.clear();
        std::cout.rdbuf(saved);
    }
    SilentConsole(const SilentConsole&) = delete;
    SilentConsole& operator=(const SilentConsole&) = delete;

private:
    std::streambuf* saved;
};

struct ReadInput {
    Param param;
    PowerGrid grid;
};

void readParam(ReadInput& input, std::ostream& console) {
    InputText in(kInputName);
    input.param.read(in, console);
}

void readGrid(ReadInput& input, std::ostream& console) {
    InputText in(kInputName);
    input.grid.read(in, console);
}

void runParamReader(std::ostream& console) {
    ReadInput input;
    readParam(input, console);
    input.param.validate();
}

void runGridReader(std::ostream& console) {
    ReadInput input;
    readGrid(input, console);
    console << input.grid.toString();
}

void runRasterReader(std::ostream& console) {
    ReadInput input;
    readParam(input, console);
    readGrid(input, console);
    RasterReturnTime raster(&input.grid);
    InputText in(kInputName);
    raster.read(in, console);
    raster.validate(input.param);
    console << raster.toString();
}

void runStochasticReader(std::ostream& console) {
    ReadInput input;
    readParam(input, console);
    readGrid(input, console);
    StochasticInput stochastic(&input.grid, &input.param);
    InputText in(kInputName);
    stochastic.read(in, console);
    stochastic.prepare(input.param);
    console << stochastic.toString();
}

// ---- the whole run, bounded by the harness ---------------------------------------

// The harness runs small inputs only, so that one input takes milliseconds;
// the program's own limits stay as they are.
constexpr int kMaxNodes = 12;
constexpr int kMaxSteps = 300;
constexpr int kMaxPowerFlowStarts = 4;
constexpr long long kMaxInitialConditions = 24;
constexpr std::size_t kMaxWindSamples = 64;
constexpr std::size_t kMaxStochasticRuns = 4;
constexpr double kMinStochasticStepWidth = 0.01;

// Result files stay in the scratch directory.
bool staysInScratch(const std::string& path) {
    return !path.empty() && path.front() != '/' && path.find("..") == std::string::npos;
}

bool rasterWithinBounds(const RasterReturnTime& raster) {
    return raster.initialConditions() <= kMaxInitialConditions;
}

bool stochasticWithinBounds(const StochasticInput& stochastic, const Param& param) {
    std::size_t samples = 0;
    for (const std::vector<double>& row : stochastic.windSeries) samples += row.size();
    return samples <= kMaxWindSamples && param.stepWidth >= kMinStochasticStepWidth &&
           stochastic.surviveInitSteps <= kMaxSteps && stochastic.plannedRuns(param).size() <= kMaxStochasticRuns;
}

bool withinHarnessBounds(const RunSetup& setup) {
    if (setup.grid.getNumNodes() > kMaxNodes || setup.param.rkSteps > kMaxSteps ||
        setup.grid.getNrICs() > kMaxPowerFlowStarts) {
        return false;
    }
    for (const results::PlannedFile& file : setup.resultFiles) {
        if (!staysInScratch(file.path)) return false;
    }
    if (setup.raster && !rasterWithinBounds(*setup.raster)) return false;
    return !setup.stochastic || stochasticWithinBounds(*setup.stochastic, setup.param);
}

void runWhole(std::ostream& console) {
    std::unique_ptr<RunSetup> setup = RunSetup::load(kInputName, kProgramVersion, console);
    if (!setup || !withinHarnessBounds(*setup)) return;
    Param& param = setup->param;
    srand(param.getRandSeed());
    setup->grid.NRPF();
    Function function(&param, &setup->grid);
    RungeKutta rungeKutta(setup->grid.getNumNodes(), &function);
    RunStatus status;
    if (setup->raster) {
        console << setup->raster->toString();
        setup->raster->rasterRT(param, function, Parallelism{});
    }
    if (setup->stochastic) {
        setup->stochastic->setRunStatus(&status);
        setup->stochastic->stochSwing(param, rungeKutta);
        console << setup->stochastic->toString();
    }
    console << setup->grid.toString();
}

void runTarget(Target target, std::ostream& console) {
    switch (target) {
        case Target::kParam: return runParamReader(console);
        case Target::kGrid: return runGridReader(console);
        case Target::kRaster: return runRasterReader(console);
        case Target::kStochastic: return runStochasticReader(console);
        case Target::kRun: return runWhole(console);
    }
}

}  // namespace

const char* targetName(Target target) {
    switch (target) {
        case Target::kParam: return "param";
        case Target::kGrid: return "grid";
        case Target::kRaster: return "raster";
        case Target::kStochastic: return "stochastic";
        case Target::kRun: return "run";
    }
    return "";
}

bool targetNamed(const std::string& name, Target& target) {
    for (Target candidate : {Target::kParam, Target::kGrid, Target::kRaster, Target::kStochastic, Target::kRun}) {
        if (name == targetName(candidate)) {
            target = candidate;
            return true;
        }
    }
    return false;
}

void runOne(Target target, const std::uint8_t* data, std::size_t size) {
    ScratchDirectory& directory = scratch();
    writeInput(data, size);
    SilentConsole silent;
    std::ostringstream console;
    try {
        runTarget(target, console);
    } catch (const InputError&) {
        // Invalid input, reported to the user as such: the expected end.
    }
    directory.clear();
}

}  // namespace fuzzing
