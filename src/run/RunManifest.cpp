#include "run/RunManifest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "util/CodeUtils.h"
#include "run/BasinManifest.h"
#include "run/ProgramInfo.h"
#include "run/RunSetup.h"
#include "util/Sha256.h"
#include "diagnostics/Diagnostics.h"

using Json = nlohmann::ordered_json;

namespace {

const int kSchema = 1;

// JSON has no literal for inf and NaN: they are written as strings.
Json number(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    return x;
}

Json numbers(const std::vector<double>& values) {
    Json list = Json::array();
    for (double x : values) list.push_back(number(x));
    return list;
}

template <typename T>
Json orNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

std::string isoTime(std::time_t t) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// -1 when the file does not exist.
long long fileSize(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

std::string currentDirectory() {
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return "";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

bool finishedStatus(int status) { return status == 0 || status == 3 || status == 4 || status == 5; }

const char* byteOrder() {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return "big";
#else
    return "little";
#endif
}

// The analysis a survival or flank segment comes from.
const char* segmentAnalysis(const std::string& modeKey) {
    if (modeKey == "Mode stoch casc") return "cascade";
    if (modeKey == "Mode surv all") return "surv_all";
    if (modeKey == "Mode surv") return "surv";
    return nullptr;
}

// Steps 1, 1 + R, 1 + 2R, ... below S that the energy mode samples (none
// when it is off).
std::vector<long long> sampleSteps(const Param& param) {
    std::vector<long long> sampled;
    const int steps = param.rkSteps;
    const int every = param.saveRKEvery;
    if (!param.isModeERT() || every < 1 || every >= steps) return sampled;
    for (long long s = 1; s < steps; s += every) sampled.push_back(s);
    return sampled;
}

// The catalogue names times "t" and frequency deviations "rad/t": in a grid
// of physical units they are seconds and rad/s.
Json unitJson(const char* unit, const PowerGrid::Units& units) {
    if (unit == nullptr) return nullptr;
    if (units.physical && std::string(unit) == "t") return "s";
    if (units.physical && std::string(unit) == "rad/t") return "rad/s";
    return unit;
}

Json columnsJson(const std::vector<results::Column>& columns, const PowerGrid::Units& units) {
    Json list = Json::array();
    for (const results::Column& column : columns) {
        list.push_back(Json{{"name", column.name}, {"unit", unitJson(column.unit, units)}});
    }
    return list;
}

Json unitsJson(const PowerGrid::Units& units) {
    auto givenOrNull = [](double value) { return value > 0 ? number(value) : Json(nullptr); };
    return Json{{"system", units.physical ? "physical" : "model"},
                {"time", units.physical ? "s" : "t"},
                {"frequency", units.physical ? "rad/s" : "rad/t"},
                {"nominal_frequency", givenOrNull(units.nominalFrequency)},
                {"base_power", givenOrNull(units.basePower)}};
}

Json segmentJson(const RunManifest::Segment& segment) {
    Json entry = Json::object();
    if (segment.analysis) entry["analysis"] = segment.analysis;
    if (segment.run) entry["run"] = *segment.run;
    if (segment.node) entry["node"] = *segment.node;
    if (segment.width) entry["width"] = *segment.width;
    if (segment.records) entry["records"] = *segment.records;
    if (segment.values) entry["values"] = *segment.values;
    return entry;
}

Json powerFlowJson(const PowerGrid& grid, const PowerGrid::PowerFlowOutcome& outcome,
                   const std::vector<double>& phases, double referenceGiven, double referenceSolved) {
    Json flow = Json::object();
    flow["converged"] = outcome.converged;
    flow["total_error"] = number(outcome.totalError);
    flow["steps"] = outcome.steps;
    flow["tries"] = outcome.tries;
    flow["solver"] = PowerGrid::nrSolverName(grid.usedNrSolver());
    flow["start"] = PowerGrid::nrStartName(grid.getNrStart());
    flow["steady_state_phases"] = numbers(phases);
    flow["reference_power"] = Json{
        {"node", grid.getRefNode()}, {"given", number(referenceGiven)}, {"solved", number(referenceSolved)}};
    return flow;
}

// Why the file at `path` could not be written; null when nothing failed.
Json writeError(const std::vector<WriteFailures::Failure>& failures, const std::string& path) {
    for (const WriteFailures::Failure& failure : failures) {
        if (failure.path == path) return WriteFailures::reason(failure.error);
    }
    return nullptr;
}

bool isFlat(const Json& value) {
    return std::none_of(value.begin(), value.end(), [](const Json& child) { return child.is_structured(); });
}

// Pretty-printed, with every array or object that holds no other one on a
// single line: a column or a list of phases takes one line, not one per value.
void print(const Json& value, int indent, std::string& out) {
    if (!value.is_structured() || value.empty() || isFlat(value)) {
        // Paths and names are bytes; one that is not UTF-8 keeps its valid parts.
        out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
        return;
    }
    const std::string inner(static_cast<std::size_t>(indent + 2), ' ');
    const bool object = value.is_object();
    out += object ? "{\n" : "[\n";
    bool first = true;
    for (auto item = value.begin(); item != value.end(); ++item) {
        out += first ? inner : ",\n" + inner;
        first = false;
        if (object) out += Json(item.key()).dump(-1, ' ', false, Json::error_handler_t::replace) + ": ";
        print(item.value(), indent + 2, out);
    }
    out += "\n" + std::string(static_cast<std::size_t>(indent), ' ') + (object ? "}" : "]");
}

Json runJson(const StochasticRun& run) {
    Json entry = Json::object();
    entry["index"] = run.index;
    entry["wind_part"] = run.windPart;
    entry["configuration"] = run.configuration;
    entry["turbine_nodes"] = run.turbineNodes;
    entry["output_name"] = run.outputName;
    entry["power_flow_converged"] = orNull(run.powerFlowConverged);
    Json trips = Json::array();
    for (const StochasticRun::Trip& trip : run.trippedLines) {
        trips.push_back(Json{{"from", trip.from}, {"to", trip.to}, {"time", number(trip.time)}});
    }
    entry["tripped_lines"] = trips;
    entry["non_finite"] = run.nonFinite ? Json{{"finite_at_step", run.nonFinite->finiteAt},
                                               {"non_finite_at_step", run.nonFinite->nonFiniteAt}}
                                        : Json(nullptr);
    return entry;
}

Json nonFiniteJson(const std::vector<RunStatus::NonFinite>& reports) {
    Json list = Json::array();
    for (const RunStatus::NonFinite& report : reports) {
        list.push_back(Json{{"analysis", report.analysis},
                            {"unit", report.unit},
                            {"count", report.count},
                            {"total", report.total},
                            {"first", Json{{"index", report.firstIndex},
                                           {"description", report.first},
                                           {"finite_at_step", report.finiteAt},
                                           {"non_finite_at_step", report.nonFiniteAt}}}});
    }
    return list;
}

}  // namespace

RunManifest::RunManifest(RunSetup& runSetup, RunContext runContext)
    : setup(runSetup),
      context(std::move(runContext)),
      manifestPath(pathFor(runSetup.param.outputFilename)),
      outputName(runSetup.param.outputFilename) {}

std::string RunManifest::pathFor(const std::string& name) {
    return results::directoryPart(name) + "Manifest" + results::filePart(name) + ".json";
}

// An earlier run with the same output name appended to the same files: its
// manifest (and those of the runs before it) go into this one's
// "earlier_runs", oldest first, so that every run's records can still be told
// apart. A manifest that cannot be read is kept aside under a numbered name.
void RunManifest::takeEarlierRuns() {
    auto earlierRuns = std::make_shared<Json>(Json::array());
    std::ifstream in(manifestPath);
    if (in.is_open()) {
        Json previous = Json::parse(in, nullptr, false);
        if (previous.is_object() && previous.contains("files")) {
            if (previous.contains("earlier_runs") && previous["earlier_runs"].is_array()) {
                *earlierRuns = previous["earlier_runs"];
            }
            previous.erase("earlier_runs");
            earlierRuns->push_back(std::move(previous));
        } else {
            in.close();
            keepUnreadableManifest();
        }
    }
    earlier = earlierRuns;
}

void RunManifest::keepUnreadableManifest() const {
    for (int k = 1;; ++k) {
        const std::string aside = manifestPath + "." + std::to_string(k);
        if (fileSize(aside) >= 0) continue;
        const bool kept = std::rename(manifestPath.c_str(), aside.c_str()) == 0;
        Diagnostics::warn("the manifest " + quoted(manifestPath) + " of an earlier run with this output name is no "
                          "manifest this program can read" +
                          (kept ? "; it is kept as " + quoted(aside) : "; it is replaced") +
                          " (the earlier runs' records in the result files are no longer described)");
        return;
    }
}

void RunManifest::start() {
    takeEarlierRuns();
    std::time(&startTime);
    std::uint64_t size = 0;
    if (Sha256::ofFile(context.inputFile, inputSha256, size)) inputSize = static_cast<long long>(size);
    workingDirectory = currentDirectory();
    powerFlow = setup.grid.lastPowerFlow();
    steadyStatePhases = setup.grid.getVoltAngSS();
    referencePowerSolved = setup.grid.referencePower();
    if (setup.raster) {
        frequencyOffsets = setup.raster->frequencyOffsets();
        phaseOffsets = setup.raster->phaseOffsets();
    }
    if (setup.stochastic) runs = setup.stochastic->plannedRuns(setup.param);
    for (const results::PlannedFile& plan : setup.resultFiles) {
        const long long offset = std::max(fileSize(plan.path), 0LL);
        files.push_back(FileState{plan, offset, offset, {}});
    }
    write();
}

void RunManifest::finish(int status, const RunStatus& runStatus) {
    std::time_t now;
    std::time(&now);
    endTime = now;
    exitStatus = status;
    nonFinite = runStatus.nonFinite();
    complete = finishedStatus(status);
    write();
}

// ---- the stochastic runs -----------------------------------------------------------

template <typename SizeOf, typename MakeSegment>
void RunManifest::takeSegments(results::Kind kind, const StochasticRun& run, SizeOf sizeOf, MakeSegment segmentOf) {
    for (FileState& file : files) {
        // Files of other runs are left alone; shared files may hold this run's values.
        if (file.plan.kind != kind || (file.plan.run && *file.plan.run != run.index)) continue;
        const long long size = sizeOf(file);
        if (size <= file.accounted) continue;
        file.segments.push_back(segmentOf(file, size - file.accounted));
        file.accounted = size;
    }
}

// The series files as they are on disk: the setup chain has just written them.
void RunManifest::windSeriesWritten(const StochasticRun& run, int node) {
    auto sizeOnDisk = [](const FileState& file) { return fileSize(file.plan.path); };
    takeSegments(results::Kind::stochWindSpeed, run, sizeOnDisk, [&](const FileState&, long long bytes) {
        Segment segment;
        segment.run = run.index;
        segment.node = node;
        segment.values = bytes / static_cast<long long>(sizeof(double));
        return segment;
    });
}

void RunManifest::powerSeriesWritten(const StochasticRun& run) {
    auto sizeOnDisk = [](const FileState& file) { return fileSize(file.plan.path); };
    takeSegments(results::Kind::stochPowerSeries, run, sizeOnDisk, [&](const FileState&, long long bytes) {
        Segment segment;
        segment.run = run.index;
        segment.values = bytes / static_cast<long long>(sizeof(double));
        return segment;
    });
}

// The survival and flank records one analysis of the run added: up to the
// sizes its files had when it ended (a run may end long after other runs
// wrote their files).
void RunManifest::takeAnalysisSegments(const StochasticRun& run, const StochasticRun::AnalysisEnd& end) {
    const char* analysis = segmentAnalysis(analysisModeKey(end.analysis));
    if (analysis == nullptr) return;
    const long long width = std::string(analysis) == "surv" ? setup.grid.getNumNodes() : 1;
    takeSegments(
        results::Kind::stochSurvival, run, [&](const FileState&) { return end.survivalSize; },
        [&](const FileState&, long long bytes) {
            Segment segment;
            segment.analysis = analysis;
            segment.width = width;
            segment.records = width > 0 ? bytes / (width * static_cast<long long>(sizeof(double))) : 0;
            return segment;
        });
    takeSegments(
        results::Kind::stochFlanks, run, [&](const FileState&) { return end.flankSize; },
        [&](const FileState&, long long bytes) {
            Segment segment;
            segment.analysis = analysis;
            segment.values = bytes / static_cast<long long>(sizeof(double));
            return segment;
        });
}

void RunManifest::runFinished(const StochasticRun& run) {
    for (const StochasticRun::AnalysisEnd& end : run.analysisEnds) takeAnalysisSegments(run, end);
    if (run.index >= 0 && static_cast<std::size_t>(run.index) < runs.size()) runs[run.index] = run;
    // The document grows with every run: rewriting it after each of thousands
    // of short runs would cost more than the runs.
    if (std::chrono::steady_clock::now() - lastWrite >= kRewriteInterval) write();
}

// ---- the document -------------------------------------------------------------------

namespace {

Json programJson() {
    Json program = Json::object();
    program["name"] = program::name();
    program["version"] = program::version();
    program["build_type"] = program::buildType();
    program["compiler"] = program::compiler();
    Json features = Json::object();
    for (const program::Feature& feature : program::features()) features[feature.name] = feature.builtIn;
    program["features"] = features;
    return program;
}

Json rasterJson(const RasterReturnTime& raster, const Param& param, const std::vector<double>& frequencyOffsets,
                const std::vector<double>& phaseOffsets) {
    Json section = Json::object();
    section["first_node"] = raster.getFirstPertNode();
    section["last_node"] = raster.getLastPertNode();
    section["frequency_offsets"] = numbers(frequencyOffsets);
    section["phase_offsets"] = numbers(phaseOffsets);
    section["order"] = {"node", "frequency_offset", "phase_offset"};
    section["initial_conditions"] = raster.initialConditions();
    section["thresholds"] = numbers(raster.getThresholds());
    section["energy_threshold"] = number(param.enThresh);
    section["sample_steps"] = sampleSteps(param);
    return section;
}

Json histogramJson(const StochasticInput& stochastic, double binWidth) {
    const double halfBins = stochastic.freqHistHalfBins;
    return Json{{"bins", stochastic.freqHistBinNum},
                {"bin_width", number(binWidth)},
                {"low_edge", number(-halfBins * binWidth)}};
}

Json stochasticJson(const StochasticInput& stochastic, const Param& param, const std::vector<StochasticRun>& runs) {
    Json section = Json::object();
    section["survive_threshold"] = number(stochastic.surviveThreshold);
    section["survive_init_steps"] = stochastic.surviveInitSteps;
    section["survive_interval"] = stochastic.surviveInterval;
    section["histogram"] = histogramJson(stochastic, stochastic.freqHistBinWidth);
    Json increments = histogramJson(stochastic, stochastic.freqIncrHistBinWidth);
    increments["lags"] = numbers(stochastic.timeLags);
    increments["lag_steps"] = stochastic.timeLagSteps;
    section["increment_histogram"] = increments;
    section["cascade_restore_lines"] = param.cascadeRestoreLines;
    Json runList = Json::array();
    for (const StochasticRun& run : runs) runList.push_back(runJson(run));
    section["runs"] = runList;
    return section;
}

// How line flows are measured and what switching a record off does.
Json lineFlowsJson(const LineRules& rules) {
    Json capacities = nullptr;
    if (rules.capacityFactor > 0) {
        capacities = Json{{"factor", number(rules.capacityFactor)}, {"records", rules.capacityForAll ? "all" : "unrated"}};
    }
    return Json{{"flow_measure", flowMeasureName(rules.flowMeasure)},
                {"line_losses_in_diag", rules.lossesInDiag},
                {"capacity_from_base_flow", capacities}};
}

bool hasSegments(results::Kind kind) {
    return kind == results::Kind::stochSurvival || kind == results::Kind::stochFlanks ||
           kind == results::Kind::stochPowerSeries || kind == results::Kind::stochWindSpeed;
}

// Replaces `path` by a file holding `text`, in one rename.
bool replaceFile(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) return false;
    bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    written = std::fclose(out) == 0 && written;
    if (written && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    const int error = errno;
    std::remove(temporary.c_str());
    errno = error;
    return false;
}

}  // namespace

Json RunManifest::fileJson(const FileState& file, const results::RecordShape& shape,
                           const std::vector<WriteFailures::Failure>& failures) const {
    const Param& param = setup.param;
    const results::KindInfo& info = results::kindInfo(file.plan.kind);
    const long long width = results::recordWidth(info, shape);
    const long long recordBytes = width * static_cast<long long>(results::itemSize(info.dtype));
    const long long appended = std::max(fileSize(file.plan.path) - file.offset, 0LL);

    Json entry = Json::object();
    entry["path"] = file.plan.path;
    entry["kind"] = info.id;
    entry["dtype"] = results::dtypeName(info.dtype);
    entry["byte_order"] = byteOrder();
    entry["record_width"] = width;
    entry["offset"] = file.offset;
    entry["records"] = recordBytes > 0 ? appended / recordBytes : 0;
    entry["write_error"] = writeError(failures, file.plan.path);
    entry["run"] = orNull(file.plan.run);
    if (info.layout == results::Layout::fixed) {
        entry["columns"] = columnsJson(info.columns, setup.grid.units());
    } else {
        const results::RecordGroup group = results::recordGroup(info, shape);
        entry["group"] = Json{{"by", group.by}, {"first", group.first}, {"count", group.count},
                              {"columns", columnsJson(info.columns, setup.grid.units())}};
    }
    entry["description"] = info.description;

    if (info.kind == results::Kind::rasterFrequencyEndpoints || info.kind == results::Kind::rasterPhaseEndpoints) {
        Json blocks = Json::array();
        if (param.isModeERT()) blocks.insert(blocks.end(), {"ert.initial", "ert.final"});
        if (param.isModeRMRT()) blocks.insert(blocks.end(), {"rmrt.initial", "rmrt.final"});
        entry["blocks"] = blocks;
    }
    if (info.kind == results::Kind::stochIncrementHistogram) entry["lag"] = number(file.plan.lag);
    if (info.kind == results::Kind::stochPowerSeries) {
        entry["node"] = file.plan.node;
        entry["wind_part"] = file.plan.windPart;
    }
    if (hasSegments(info.kind)) {
        Json segments = Json::array();
        for (const Segment& segment : file.segments) segments.push_back(segmentJson(segment));
        entry["segments"] = segments;
    }
    return entry;
}

void RunManifest::write() {
    lastWrite = std::chrono::steady_clock::now();
    const Param& param = setup.param;
    const PowerGrid& grid = setup.grid;

    Json doc = Json::object();
    doc["schema"] = kSchema;
    doc["complete"] = complete;
    doc["exit_status"] = orNull(exitStatus);
    doc["program"] = programJson();
    doc["input"] = Json{{"path", context.inputFile}, {"sha256", inputSha256}, {"size", inputSize}};
    doc["working_directory"] = workingDirectory;
    doc["command_line"] = context.commandLine;
    doc["start_time"] = isoTime(startTime);
    doc["end_time"] = endTime ? Json(isoTime(*endTime)) : Json(nullptr);
    doc["output_name"] = outputName;
    doc["report"] = param.writeParamFile ? Json(param.reportFileName()) : Json(nullptr);
    const std::vector<WriteFailures::Failure> failures = WriteFailures::all();
    doc["report_write_error"] = param.writeParamFile ? writeError(failures, param.reportFileName()) : Json(nullptr);
    doc["threads"] = context.threads;
    doc["ranks"] = context.ranks;
    doc["kernel"] = context.kernel;
    doc["random_seed"] = Json{{"start", param.randSeedStart}, {"end", param.randSeed}};
    doc["nodes"] = grid.getNumNodes();
    doc["steps"] = param.rkSteps;
    doc["step_width"] = number(param.stepWidth);
    doc["save_rk_every"] = param.saveRKEvery;
    doc["modes"] = param.switchesOn();
    doc["bus_numbers"] = grid.busNumbers().empty() ? Json(nullptr) : Json(grid.busNumbers());
    doc["units"] = unitsJson(grid.units());
    if (setup.basin) {
        for (const std::string& key : setup.basin->switchesOn()) doc["modes"].push_back(key);
    }
    doc["power_flow"] = powerFlowJson(grid, powerFlow, steadyStatePhases, context.referencePowerGiven, referencePowerSolved);
    doc["raster"] = setup.raster ? rasterJson(*setup.raster, param, frequencyOffsets, phaseOffsets) : Json(nullptr);
    doc["stochastic"] = setup.stochastic ? stochasticJson(*setup.stochastic, param, runs) : Json(nullptr);
    doc["line_flows"] = lineFlowsJson(grid.lineRules());
    doc["contingency"] = setup.contingency ? setup.contingency->manifestSection(param) : Json(nullptr);
    doc["non_finite"] = nonFiniteJson(nonFinite);
    doc["linear"] = setup.linear ? setup.linear->manifestSection() : Json(nullptr);
    if (setup.basin) doc["basin"] = basinManifest(*setup.basin);

    results::RecordShape shape;
    shape.nodes = grid.getNumNodes();
    shape.steps = param.rkSteps;
    shape.bins = setup.stochastic ? setup.stochastic->freqHistBinNum : 0;
    Json fileList = Json::array();
    for (const FileState& file : files) fileList.push_back(fileJson(file, shape, failures));
    doc["files"] = fileList;
    doc["earlier_runs"] = earlier ? *earlier : Json::array();

    std::string text;
    print(doc, 0, text);
    text += "\n";
    if (!replaceFile(manifestPath, text)) Diagnostics::warnUnwritable(manifestPath);
}
