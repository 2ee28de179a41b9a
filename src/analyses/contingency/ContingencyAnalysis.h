#ifndef TESSALY_CONTINGENCYANALYSIS_H
#define TESSALY_CONTINGENCYANALYSIS_H

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "analyses/contingency/ContingencyOutcome.h"
#include "dynamics/SwingKernel.h"
#include "ensemble/ProcessGroup.h"

class InputText;
struct ReaderCursor;
class Param;
class PowerGrid;
class RunStatus;
class NonFiniteLog;
struct ContingencyJob;
namespace results {
class PlannedFiles;
}

// Dynamic single-line contingency analysis: every contingency starts from
// the steady state on its own copy of the grid, takes one line out at
// "Contingency time" and integrates on with the cascade's trip rule (a record
// whose flow exceeds its capacity trips with its reverse record, checked
// after every step). Per contingency it records the later trips, the islands
// and the nodes outside the frequency band at the end, the largest frequency
// deviation and load ratio, and whether the grid returned into the band.
class ContingencyAnalysis {
public:
    explicit ContingencyAnalysis(PowerGrid* grid);
    ~ContingencyAnalysis();
    ContingencyAnalysis(const ContingencyAnalysis&) = delete;
    ContingencyAnalysis& operator=(const ContingencyAnalysis&) = delete;

    // Reads the analysis' keys, reporting them on `console`.
    void read(InputText& in, std::ostream& console);
    static std::vector<std::string> keys();
    // The rows of "Contingency lines" (`from to` each) up to the first line
    // without a number, which is handed back as the next key line.
    void readLineRows(ReaderCursor& cursor);
    void setOutageTime(double t) { time = t; }
    void setFrequencyBand(double b) { band = b; }
    void setSettleTime(double t) { settle = t; }
    // Checks the keys against the grid and the run and lays out the
    // outages; throws InputError for a configuration the analysis cannot run.
    void prepare(const Param& param);
    void addResultFiles(const Param& param, results::PlannedFiles& files) const;

    // The grid the contingencies start from, taken before the analyses run:
    // the steady state of the run's power flow.
    void takeSteadyState(const PowerGrid& steady);
    // Integrates every contingency on the threads and processes of
    // `parallelism`; the leader writes the files. The grid of the run is
    // left as it is.
    void run(Param& param, const Parallelism& parallelism, KernelVariant variant);
    // The console table of the worst contingencies (the leader's results).
    void printFindings(std::ostream& out, const Param& param) const;
    // The analysis' entry of the run manifest.
    nlohmann::ordered_json manifestSection(const Param& param) const;
    void setRunStatus(RunStatus* runStatus) { status = runStatus; }

    // ---- settings (valid after prepare) ------------------------------------
    const std::vector<Outage>& outages() const { return lineOutages; }
    double outageTime() const { return time; }
    int outageStep() const { return stepOfOutage; }
    double frequencyBand() const { return band; }
    double settleTime() const { return settle; }
    int settleSteps() const { return stepsToSettle; }
    bool linesGiven() const { return !rows.empty(); }

private:
    struct Row {
        std::vector<double> values;
        int lineNumber;
        std::string text;
    };
    void layOutOutages();
    void validateTimes(const Param& param);
    // The flow, capacity and load ratio of every record at the steady state.
    std::vector<double> baseFlows() const;
    void warnOverloadedAtSteadyState(const std::vector<double>& flows) const;
    void collectOutcomes(const ProcessGroup& processes);
    void writeOutcomes(const Param& param) const;
    void reportNonFinite(const NonFiniteLog& log) const;

    PowerGrid* grid;
    std::vector<Row> rows;
    double time = 1.0;
    double band = 0.01;
    double settle = 1.0;

    std::vector<Outage> lineOutages;
    int stepOfOutage = 0;
    int stepsToSettle = 0;
    std::unique_ptr<PowerGrid> steadyGrid;
    std::vector<ContingencyOutcome> outcomes;
    RunStatus* status = nullptr;
};

#endif
