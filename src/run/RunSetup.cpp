#include "run/RunSetup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "util/CodeUtils.h"
#include "grid/GridReview.h"
#include "input/InputText.h"
#include "output/ResultPaths.h"
#include "diagnostics/Diagnostics.h"

namespace {

// ---- lines no reader used ---------------------------------------------------------

std::vector<std::string> knownKeys() {
    std::vector<std::string> keys;
    for (const std::vector<std::string>& readerKeys :
         {Param::keys(), PowerGrid::keys(), RasterReturnTime::keys(), StochasticInput::keys(),
          ContingencyAnalysis::keys(), LinearStability::keys(),
          BasinStability::keys()}) {
        keys.insert(keys.end(), readerKeys.begin(), readerKeys.end());
    }
    return keys;
}

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Edits (insert, delete, replace a character, case ignored) from a to b.
std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const std::size_t replace = diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1);
            row[j] = std::min({above + 1, row[j - 1] + 1, replace});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known key nearest to `line`, or "" when none is near enough to be what
// was meant.
std::string closestKey(const std::string& line, const std::vector<std::string>& keys) {
    std::string best;
    std::size_t bestDistance = 0;
    for (const std::string& key : keys) {
        const std::size_t limit = std::max<std::size_t>(2, key.size() / 3);
        const std::size_t lengthGap = line.size() > key.size() ? line.size() - key.size() : key.size() - line.size();
        if (lengthGap > limit) continue;
        const std::size_t distance = editDistance(line, key);
        if (distance <= limit && (best.empty() || distance < bestDistance)) {
            best = key;
            bestDistance = distance;
        }
    }
    return best;
}

bool isBlank(const std::string& line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
}

bool isNumberLine(const std::string& line) { return !CodeUtils::lineToDoubleVec(line).empty(); }

// A line that is exactly a key but that no reader used: the reader that knows
// it stopped before it (a value it could not read, warned about then).
bool isKey(const std::string& line, const std::vector<std::string>& keys) {
    return std::find(keys.begin(), keys.end(), line) != keys.end();
}

// Lines that would matter, had a reader used them.
bool isUnusedText(const std::string& line) { return !isBlank(line) && !isCommentLine(line); }

// Warns about every line before the end of the input that no reader used and
// that looks like a key, and once about the lines after an empty line that
// ended the input.
void reviewUnusedLines(const std::string& inputFile, const LineUsage& usage) {
    // A file that is no input at all (a log, a table) would bury every other
    // message: the first unknown lines are listed, the rest counted.
    constexpr std::size_t kListedUnknownLines = 20;
    const std::vector<std::string> keys = knownKeys();
    const int end = usage.firstBlockEnd();
    std::size_t ignored = 0;
    std::size_t unknown = 0;
    InputText in(inputFile);
    for (std::string line; in.readLine(line);) {
        const int number = in.lineNumber();
        if (usage.isUsed(number) || !isUnusedText(line)) continue;
        if (end > 0 && number > end) {
            ++ignored;
            continue;
        }
        if (isNumberLine(line) || isKey(line, keys)) continue;
        if (++unknown > kListedUnknownLines) continue;
        const std::string suggestion = closestKey(line, keys);
        Diagnostics::warn("line " + std::to_string(number) + " " + quoted(line) +
                        " is no key that any reader knows and is skipped" +
                        (suggestion.empty() ? std::string() : "; did you mean " + quoted(suggestion) + "?"));
    }
    if (unknown > kListedUnknownLines) {
        const std::size_t more = unknown - kListedUnknownLines;
        Diagnostics::warn(countOf(more, "more line", "more lines") + " that no reader knows " +
                        (more == 1 ? "is" : "are") + " skipped (is this the input file?)");
    }
    if (ignored > 0) {
        Diagnostics::warn("line " + std::to_string(end) + " is empty and ends the input: " +
                        countOf(ignored, "line", "lines") + " with text after it " + (ignored == 1 ? "is" : "are") +
                        " ignored (remove the empty line to have " + (ignored == 1 ? "it" : "them") + " read)");
    }
}

// The first key a reader's console text reports ("read KEY"); "" for none.
std::string firstKeyRead(const std::string& readerText) {
    const std::string mark = "read ";
    for (std::size_t at = 0; at < readerText.size();) {
        const std::size_t end = readerText.find('\n', at);
        const std::string line = readerText.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.compare(0, mark.size(), mark) == 0) return line.substr(mark.size());
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return "";
}

// ---- input limits and warnings -------------------------------------------------------

// The directory part of the output name (the working directory when it has
// none) must take the results.
void checkOutputLocation(const Param& param) {
    const std::string dir = param.getOfile("path").empty() ? "." : param.getOfile("path");
    struct stat info;
    const bool found = stat(dir.c_str(), &info) == 0;
    const int error = errno;
    std::string problem;
    if (!found && error == ENOENT) {
        problem = "does not exist";
    } else if (!found && error != ENOTDIR) {
        problem = "cannot be used (" + std::string(std::strerror(error)) + ")";
    } else if (!found || !S_ISDIR(info.st_mode)) {
        problem = "is not a directory";
    } else if (access(dir.c_str(), W_OK | X_OK) != 0) {
        problem = "is not writable (" + std::string(std::strerror(errno)) + ")";
    }
    if (problem.empty()) return;
    throw InputError(quoted("Output filename") + " is " + quoted(param.outputFilename) + ", but its directory " +
                     quoted(dir) + " " + problem + ": the results could not be saved");
}

}  // namespace

std::unique_ptr<RunSetup> RunSetup::load(const std::string& inputFile, int programVersion, std::ostream& console) {
    std::unique_ptr<RunSetup> setup(new RunSetup());
    LineUsage usage;
    {
        InputText in(inputFile, &usage);
        if (!in.isOpen()) return nullptr;
        setup->param.version = programVersion;
        setup->param.read(in, console);
    }
    {
        InputText in(inputFile, &usage);
        if (in.isOpen()) setup->grid.read(in, console);
    }
    setup->readAnalyses(inputFile, usage);
    reviewUnusedLines(inputFile, usage);
    setup->validate();
    results::PlannedFiles files;
    if (setup->raster) setup->raster->addResultFiles(setup->param, files);
    if (setup->stochastic) setup->stochastic->addResultFiles(setup->param, files);
    if (setup->contingency) setup->contingency->addResultFiles(setup->param, files);
    if (setup->linear) setup->linear->addResultFiles(setup->param, files);
    if (setup->basin) setup->basin->addResultFiles(setup->param, files);
    setup->resultFiles = files.files();
    setup->warnAboutTheRun();
    return setup;
}

// The reader of an analysis that is off scans its keys all the same, printing
// nothing and reading no external file.
namespace {

// Reads the keys of one analysis. One that is off scans them all the same,
// printing nothing and reading no external file, so that they count as
// known; the first it found is noted in `idle` for a warning. Null when off.
template <class Analysis>
std::unique_ptr<Analysis> readAnalysis(bool on, std::unique_ptr<Analysis> reader, const std::string& inputFile,
                                       LineUsage& usage, std::string& reading, RunSetup::IdleKeys idle,
                                       std::vector<RunSetup::IdleKeys>& idleKeys) {
    std::ostringstream text;
    {
        InputText in(inputFile, &usage, !on);
        if (in.isOpen()) reader->read(in, text);
    }
    if (on) {
        reading = text.str();
        return reader;
    }
    idle.firstKey = firstKeyRead(text.str());
    if (!idle.firstKey.empty()) idleKeys.push_back(idle);
    return nullptr;
}

const char* const kStochasticSwitches =
    "switch on one of \"Mode stepfunc\", \"Mode sif\", \"Mode given series\" or \"Mode stoch inp\"";

}  // namespace

void RunSetup::readAnalyses(const std::string& inputFile, LineUsage& usage) {
    raster = readAnalysis(param.isModeRasterRt(), std::make_unique<RasterReturnTime>(&grid), inputFile, usage,
                          rasterReading, {"raster's", "", quoted("Mode raster rt") + " is off: no raster runs"},
                          idleKeys);
    stochastic = readAnalysis(param.isModeStochInp(), std::make_unique<StochasticInput>(&grid, &param), inputFile,
                              usage, stochasticReading,
                              {"stochastic input's", "",
                               std::string("no stochastic input is on: no stochastic run (") + kStochasticSwitches + ")"},
                              idleKeys);
    contingency = readAnalysis(param.modeContingency, std::make_unique<ContingencyAnalysis>(&grid), inputFile, usage,
                               contingencyReading,
                               {"contingency analysis'", "", quoted("Mode contingency") + " is off: no contingency runs"},
                               idleKeys);
    linear = readAnalysis(param.isModeLinearStability(), std::make_unique<LinearStability>(), inputFile, usage,
                          linearReading,
                          {"linear stability analysis'", "",
                           quoted("Mode linear stability") + " is off: no linear stability analysis runs"},
                          idleKeys);
    basin = readAnalysis(param.modeBasin, std::make_unique<BasinStability>(&grid), inputFile, usage, basinReading,
                         {"basin analysis'", "", quoted("Mode basin") + " is off: no basin stability analysis runs"},
                         idleKeys);
}

void RunSetup::validate() {
    param.validate();
    if (raster) raster->validate(param);
    if (stochastic) stochastic->prepare(param);
    if (contingency) contingency->prepare(param);
    const std::vector<std::string> integrating = integratingAnalyses();
    if (!integrating.empty()) GridReview(grid).requireInertia(integrating.front());
    if (linear) linear->validate(param, grid);
    if (basin) basin->validate(param);
    checkOutputLocation(param);
}

std::vector<std::string> RunSetup::integratingAnalyses() const {
    std::vector<std::string> modes;
    const bool rasterObserves = param.isModeERT() || param.isModeRMRT() || param.isModeMaxp() || param.isModeStraj();
    if (raster && raster->initialConditions() > 0 && rasterObserves && param.rkSteps >= 2) {
        modes.push_back("Mode raster rt");
    }
    if (stochastic && param.rkSteps > 0 && !stochastic->plannedRuns(param).empty()) {
        const std::vector<std::string> on = param.switchesOn();
        for (const char* mode : {"Mode stoch casc", "Mode stoch lf", "Mode surv all", "Mode surv", "Mode save traj"}) {
            if (std::find(on.begin(), on.end(), mode) != on.end()) {
                modes.push_back(mode);
                break;
            }
        }
    }
    if (contingency && !contingency->outages().empty() && param.rkSteps > 0) modes.push_back("Mode contingency");
    if (basin && param.rkSteps > 0) modes.push_back("Mode basin");
    return modes;
}

// A switch or keys that can do nothing because what they belong to is off,
// and a raster that has nothing to integrate.
void RunSetup::warnAboutIdleSettings() const {
    const std::vector<std::string> on = param.switchesOn();
    auto isOn = [&](const char* mode) { return std::find(on.begin(), on.end(), mode) != on.end(); };
    if (!raster) {
        for (const char* mode : {"Mode RMRT", "Mode ERT", "Mode maxp", "Mode Raster"}) {
            if (isOn(mode)) {
                Diagnostics::warn(quoted(mode) + " is on, but " + quoted("Mode raster rt") +
                                  " is off: no raster runs (switch on \"Mode raster rt\")");
            }
        }
    }
    if (!stochastic) {
        for (const char* mode : {"Mode stoch casc", "Mode stoch lf", "Mode surv all", "Mode surv"}) {
            if (isOn(mode)) {
                Diagnostics::warn(quoted(mode) + " is on, but no stochastic input is: nothing runs it (" +
                                  kStochasticSwitches + ")");
            }
        }
    }
    for (const IdleKeys& idle : idleKeys) {
        Diagnostics::warn(quoted(idle.firstKey) + " and the " + idle.analysis + " other keys are given, but " +
                          idle.whyNothingRuns);
    }
    if (raster) raster->warnIfIdle(param);
}

void RunSetup::warnAboutTheRun() const {
    warnAboutIdleSettings();
    GridReview(grid).warnAboutGrid();
    if (stochastic && param.isModeStochCASC()) {
        const int lines = grid.linesWithoutCapacityOrAdmittance();
        if (lines > 0) {
            Diagnostics::warn(quoted("Mode stoch casc") + " is on, but " + countOf(lines, "line", "lines") +
                            " in service " + (lines == 1 ? "has" : "have") + " " + quoted("Line capacity") +
                            " 0 or " + quoted("Admittance mag") + " 0: the cascade trips a line whose flow (from " +
                            "its admittance) exceeds its capacity, so such lines trip at once");
        }
    }
    const std::size_t earlier = static_cast<std::size_t>(
        std::count_if(resultFiles.begin(), resultFiles.end(),
                      [](const results::PlannedFile& file) { return access(file.path.c_str(), F_OK) == 0; }));
    if (earlier > 0) {
        Diagnostics::warn(countOf(earlier, "result file", "result files") + " of output name " +
                        quoted(param.outputFilename) + " exist already: this run appends its records to " +
                        (earlier == 1 ? "it" : "them") + " (use a fresh output name or directory per run)");
    }
}
