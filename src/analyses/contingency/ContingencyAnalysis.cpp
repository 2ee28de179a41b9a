#include "analyses/contingency/ContingencyAnalysis.h"

#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "analyses/contingency/ContingencyWorker.h"
#include "diagnostics/Diagnostics.h"
#include "diagnostics/RunStatus.h"
#include "ensemble/Ensemble.h"
#include "ensemble/EnsembleFiles.h"
#include "grid/PowerGrid.h"
#include "input/InputText.h"
#include "input/InputValues.h"
#include "input/Param.h"
#include "output/ResultCatalogue.h"
#include "output/ResultDirectories.h"
#include "output/ResultFile.h"
#include "output/ResultPaths.h"
#include "util/CodeUtils.h"

namespace {

std::string numberText(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

const ReaderKey<ContingencyAnalysis> kContingencyKeys[] = {
    {"Contingency lines", [](ContingencyAnalysis& a, ReaderCursor& cursor) { a.readLineRows(cursor); }},
    {"Contingency time",
     [](ContingencyAnalysis& a, ReaderCursor& cursor) { a.setOutageTime(InputValues::readDouble(cursor.in)); }},
    {"Contingency band",
     [](ContingencyAnalysis& a, ReaderCursor& cursor) { a.setFrequencyBand(InputValues::readDouble(cursor.in)); }},
    {"Contingency settle time",
     [](ContingencyAnalysis& a, ReaderCursor& cursor) { a.setSettleTime(InputValues::readDouble(cursor.in)); }},
};

// The bytes of one record of a kind of file.
long long recordBytes(results::Kind kind, int nodes) {
    const results::KindInfo& info = results::kindInfo(kind);
    results::RecordShape shape;
    shape.nodes = nodes;
    return results::recordWidth(info, shape) * static_cast<long long>(results::itemSize(info.dtype));
}

const int kBaseFlowColumns = 5;

}  // namespace

ContingencyAnalysis::ContingencyAnalysis(PowerGrid* grid) : grid(grid) {}

ContingencyAnalysis::~ContingencyAnalysis() = default;

// ---- keys ---------------------------------------------------------------------------

void ContingencyAnalysis::read(InputText& in, std::ostream& console) {
    scanBlock(in, console, *this, kContingencyKeys);
}

std::vector<std::string> ContingencyAnalysis::keys() { return keyNames(kContingencyKeys); }

void ContingencyAnalysis::readLineRows(ReaderCursor& cursor) {
    rows.clear();
    for (;;) {
        std::string text = InputValues::nextLine(cursor.in);
        std::vector<double> values = CodeUtils::lineToDoubleVec(text);
        if (values.empty()) {
            cursor.line = text;
            cursor.handedBack = true;
            return;
        }
        cursor.in.markValue();
        rows.push_back(Row{values, cursor.in.lineNumber(), text});
    }
}

// ---- checks and the outages -----------------------------------------------------------

void ContingencyAnalysis::prepare(const Param& param) {
    if (!(std::isfinite(band) && band > 0)) {
        throw InputError(quoted("Contingency band") + " is " + numberText(band) +
                         " (allowed a positive finite frequency deviation)");
    }
    validateTimes(param);
    layOutOutages();
    if (lineOutages.empty()) {
        Diagnostics::warn(quoted("Mode contingency") + " is on, but the grid has no line to take out: no contingency");
    }
}

// The outage comes after step round(T / h); at least one step follows it,
// and the settle time lies after it.
void ContingencyAnalysis::validateTimes(const Param& param) {
    const double h = param.stepWidth;
    const int steps = param.rkSteps;
    const double end = steps * h;
    const double outageSteps = std::round(time / h);
    if (!(std::isfinite(time) && time >= 0 && outageSteps < steps)) {
        throw InputError(quoted("Contingency time") + " is " + numberText(time) + ", but the run ends at " +
                         quoted("RK steps") + " x " + quoted("RK stepwidth") + " = " + numberText(end) +
                         " (allowed 0 up to the time of the last step but one, " + numberText((steps - 1) * h) +
                         ")");
    }
    stepOfOutage = static_cast<int>(outageSteps);
    const double settleSteps = std::round(settle / h);
    const int after = steps - stepOfOutage;
    if (!(std::isfinite(settle) && settle >= 0 && settleSteps <= after)) {
        throw InputError(quoted("Contingency settle time") + " is " + numberText(settle) + ", but the run goes on " +
                         numberText(after * h) + " after the outage (allowed 0 up to that)");
    }
    stepsToSettle = static_cast<int>(settleSteps);
}

// Rows name a line by its two nodes in either order; without rows every
// line is taken out once, at its first record in node and line-list order.
void ContingencyAnalysis::layOutOutages() {
    lineOutages.clear();
    const int n = grid->getNumNodes();
    auto hasRecord = [this](int i, int j) {
        for (const TransmissionLine& line : grid->linesOf(i)) {
            if (line.getToNode() == j) return true;
        }
        return false;
    };
    if (rows.empty()) {
        for (int i = 0; i < n; ++i) {
            for (const TransmissionLine& line : grid->linesOf(i)) {
                const int j = line.getToNode();
                if (i < j || !hasRecord(j, i)) lineOutages.push_back(Outage{i, j});
            }
        }
        return;
    }
    std::map<std::pair<int, int>, std::size_t> rowOf;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const Row& row = rows[r];
        const std::string where = quoted("Contingency lines") + " row " + std::to_string(r + 1) + " (line " +
                                  std::to_string(row.lineNumber) + ") " + quoted(row.text);
        if (row.values.size() != 2) {
            throw InputError(where + " has " + countOf(row.values.size(), "value", "values") +
                             " (allowed 2: from to)");
        }
        int ends[2];
        for (int k = 0; k < 2; ++k) {
            const double v = row.values[static_cast<std::size_t>(k)];
            if (!(v >= 0 && v < n && v == std::floor(v))) {
                throw InputError(where + " names node " + numberText(v) + ", but the grid has " + std::to_string(n) +
                                 " nodes (allowed whole numbers 0.." + std::to_string(n - 1) + ")");
            }
            ends[k] = static_cast<int>(v);
        }
        if (!hasRecord(ends[0], ends[1]) && !hasRecord(ends[1], ends[0])) {
            throw InputError(where + " names no line: the grid has no record " + std::to_string(ends[0]) + " -> " +
                             std::to_string(ends[1]) + " or back");
        }
        const auto line = std::make_pair(std::min(ends[0], ends[1]), std::max(ends[0], ends[1]));
        const auto first = rowOf.emplace(line, r + 1);
        if (!first.second) {
            throw InputError(where + " repeats the line of row " + std::to_string(first.first->second) +
                             " (allowed one row per line)");
        }
        lineOutages.push_back(Outage{ends[0], ends[1]});
    }
}

void ContingencyAnalysis::addResultFiles(const Param& param, results::PlannedFiles& files) const {
    using namespace results;
    if (lineOutages.empty()) return;
    files.add(param.outputFilename, {{Kind::contingencyBaseFlows, kContingencyBaseFlows},
                                     {Kind::contingencyNodes, kContingencyNodes},
                                     {Kind::contingencySummary, kContingencySummary},
                                     {Kind::contingencyTrips, kContingencyTrips}});
}

// ---- the run --------------------------------------------------------------------------

void ContingencyAnalysis::takeSteadyState(const PowerGrid& steady) { steadyGrid = std::make_unique<PowerGrid>(steady); }

std::vector<double> ContingencyAnalysis::baseFlows() const {
    PowerGrid& steady = *steadyGrid;
    const std::vector<double> phases = steady.getVoltAngSS();
    std::vector<double> flows;
    for (int i = 0; i < steady.getNumNodes(); ++i) {
        for (const TransmissionLine& record : steady.linesOf(i)) {
            TransmissionLine& line = *steady.getTrLine(i, record.getToNode());
            const double flow = steady.flowOf(line, phases.data());
            flows.insert(flows.end(), {static_cast<double>(i), static_cast<double>(line.getToNode()), flow,
                                       line.getCapacity(), flow / line.getCapacity()});
        }
    }
    return flows;
}

void ContingencyAnalysis::warnOverloadedAtSteadyState(const std::vector<double>& flows) const {
    std::size_t over = 0;
    std::size_t worst = 0;
    for (std::size_t at = 0; at < flows.size(); at += kBaseFlowColumns) {
        if (!(flows[at + 2] > flows[at + 3])) continue;
        if (over++ == 0 || flows[at + 4] > flows[worst + 4]) worst = at;
    }
    if (over == 0) return;
    Diagnostics::warn(quoted("Mode contingency") + ": " + countOf(over, "line record carries", "line records carry") +
                      " more than " + (over == 1 ? "its" : "their") + " capacity at the steady state (most loaded " +
                      std::to_string(static_cast<int>(flows[worst])) + " -> " +
                      std::to_string(static_cast<int>(flows[worst + 1])) + ", load ratio " +
                      numberText(flows[worst + 4]) +
                      "): the trip rule switches them off at the first step of every contingency");
}

void ContingencyAnalysis::run(Param& param, const Parallelism& parallelism, KernelVariant variant) {
    if (lineOutages.empty() || !steadyGrid) return;
    const ProcessGroup& processes = *parallelism.processes;
    const std::string& name = param.outputFilename;
    const int n = steadyGrid->getNumNodes();
    if (processes.isLeader()) {
        ResultDirectories::makeDirectory(results::directoryPart(name) + "contingency");
        const std::vector<double> flows = baseFlows();
        warnOverloadedAtSteadyState(flows);
        ResultFile(results::path(name, results::kContingencyBaseFlows), kBaseFlowColumns * sizeof(double))
            .write(flows);
    }
    processes.barrier();

    // Shared by every worker's grid copy: made before the workers start.
    TransmissionLine::getNullLine();
    ContingencyJob job;
    job.param = &param;
    job.steady = steadyGrid.get();
    job.steadyPhases = steadyGrid->getVoltAngSS();
    job.outages = &lineOutages;
    job.variant = variant;
    job.stepWidth = param.stepWidth;
    job.steps = param.rkSteps;
    job.outageStep = stepOfOutage;
    job.settleSteps = stepsToSettle;
    job.band = band;

    const long long total = static_cast<long long>(lineOutages.size());
    outcomes.assign(lineOutages.size(), ContingencyOutcome{});
    NonFiniteLog nonFinite;
    {
        const long long nodeBytes = recordBytes(results::Kind::contingencyNodes, n);
        EnsembleFiles files({{results::path(name, results::kContingencyNodes), nodeBytes, nodeBytes}}, processes);
        Ensemble ensemble(parallelism, total);
        Ensemble::Progress progress;
        const long long share = ensemble.share();
        const long long steps = job.steps;
        progress.units = share * steps;
        progress.describe = [this, share](long long, long long finished, long long latest) {
            const Outage& outage = lineOutages[static_cast<std::size_t>(latest)];
            return "contingency: " + std::to_string(finished) + "/" + std::to_string(share) + " outages (line " +
                   std::to_string(outage.from) + "-" + std::to_string(outage.to) + ")";
        };
        nonFinite = ensemble.run(
            [&](int) { return std::make_unique<ContingencyWorker>(job, files, outcomes, ensemble.unitsDone()); },
            progress);
    }
    // The node file is complete when every process has closed its share.
    processes.barrier();
    collectOutcomes(processes);
    if (processes.isLeader()) writeOutcomes(param);
    reportNonFinite(NonFiniteLog::gathered(nonFinite, processes));
}

// The leader takes every other process's outcomes.
void ContingencyAnalysis::collectOutcomes(const ProcessGroup& processes) {
    if (processes.size() == 1) return;
    std::vector<double> own;
    for (std::size_t k = 0; k < outcomes.size(); ++k) {
        if (outcomes[k].done) outcomes[k].appendTo(static_cast<long long>(k), own);
    }
    const std::vector<std::vector<double>> all = processes.gather(own);
    for (std::size_t rank = 1; rank < all.size(); ++rank) {
        for (std::size_t at = 0; at < all[rank].size();) {
            long long index = 0;
            ContingencyOutcome outcome = ContingencyOutcome::readFrom(all[rank], at, index);
            if (index >= 0 && static_cast<std::size_t>(index) < outcomes.size()) {
                outcomes[static_cast<std::size_t>(index)] = std::move(outcome);
            }
        }
    }
}

void ContingencyAnalysis::writeOutcomes(const Param& param) const {
    const std::string& name = param.outputFilename;
    ResultFile summary(results::path(name, results::kContingencySummary),
                       static_cast<std::size_t>(recordBytes(results::Kind::contingencySummary, 0)));
    ResultFile trips(results::path(name, results::kContingencyTrips),
                     static_cast<std::size_t>(recordBytes(results::Kind::contingencyTrips, 0)));
    for (std::size_t k = 0; k < outcomes.size(); ++k) {
        const ContingencyOutcome& o = outcomes[k];
        summary.write({static_cast<double>(o.outage.from), static_cast<double>(o.outage.to),
                       static_cast<double>(o.trips.size()), static_cast<double>(o.islands),
                       static_cast<double>(o.desynchronised), o.maxFrequency, o.maxLoadRatio, o.returned ? 1.0 : 0.0});
        for (const PowerGrid::Trip& trip : o.trips) {
            trips.write({static_cast<double>(k), static_cast<double>(trip.from), static_cast<double>(trip.to),
                         trip.time});
        }
    }
}

void ContingencyAnalysis::reportNonFinite(const NonFiniteLog& log) const {
    ::reportNonFinite(status, log, "contingency analysis", "contingencies", static_cast<long long>(lineOutages.size()),
                      [&](long long k) {
                          const Outage& outage = lineOutages[static_cast<std::size_t>(k)];
                          return "the outage of line " + std::to_string(outage.from) + "-" +
                                 std::to_string(outage.to) + " (contingency " + std::to_string(k) + ")";
                      });
}
