#ifndef TESSALY_BASINSTABILITY_H
#define TESSALY_BASINSTABILITY_H

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "analyses/basin/BasinClassifier.h"
#include "analyses/basin/BasinWorker.h"
#include "ensemble/EnsembleFiles.h"
#include "ensemble/ProcessGroup.h"

class Function;
class InputText;
class NonFiniteLog;
class Param;
class PowerGrid;
class RunStatus;
namespace results {
class PlannedFiles;
}

// Single-node basin stability: for every node listed, the share of random
// perturbations of its phase and frequency (uniform in a box around the
// steady state) after which the grid returns to its steady state, with the
// standard error of that Monte-Carlo estimate. Every sample is integrated
// until its class is certain (see BasinClassifier) or for "RK steps".
class BasinStability {
public:
    // Samples per node and round when a standard-error target is given.
    static constexpr int kBatchSamples = 100;

    // What became of a node's samples.
    struct NodeResult {
        int node = 0;
        long long samples = 0;
        std::array<long long, kBasinClasses> counts{};
        double stability() const;
        double standardError() const;
    };

    explicit BasinStability(PowerGrid* grid);
    BasinStability(const BasinStability&) = delete;
    BasinStability& operator=(const BasinStability&) = delete;

    // ---- keys ----------------------------------------------------------------
    void read(InputText& in, std::ostream& console);
    static std::vector<std::string> keys();
    // The analysis' own switch keys that were on ("Basin full length").
    std::vector<std::string> switchesOn() const;
    // Throws InputError for settings the analysis cannot run with; fixes the
    // nodes, the settle time and the blocks.
    void validate(const Param& param);
    // The per-sample and the per-node file.
    void addResultFiles(const Param& param, results::PlannedFiles& files) const;

    // ---- the run ---------------------------------------------------------------
    // Samples every node listed (validated settings only), writes the files
    // and warns about samples that stayed undecided or blew up (to `status`).
    void run(Param& param, Function& function, const Parallelism& parallelism);
    void setRunStatus(RunStatus* runStatus) { status = runStatus; }

    // ---- what the run used and found (valid after validate and run) -----------
    const std::vector<int>& nodes() const { return nodeList; }
    long long samplesPerNode() const { return samples; }
    const std::optional<double>& standardErrorTarget() const { return errorTarget; }
    const BasinBox& box() const { return offsets; }
    const BasinCriteria& criteria() const { return rules; }
    double settleTime() const { return settle; }
    bool settleTimeDefault() const { return !settleRead; }
    std::uint32_t seed() const { return runSeed; }
    const std::vector<NodeResult>& results() const { return tallies; }
    bool hasRun() const { return ran; }
    long long samplesRun() const;
    long long stepsIntegrated() const { return integratedSteps; }
    long long earlyDecisionsDiffering() const { return differing; }

    // The settings as read, for the run report; with the results after the run.
    std::string toString() const;
    // The table of the nodes' results for standard output.
    std::string summary() const;

    // Key setters of the reader.
    void setNodes(const std::vector<double>& values) { nodesRead = values; }
    void setSamples(int count) { samples = count; }
    void setStandardErrorTarget(double target) { errorTarget = target; }
    void setPhaseMin(double v) { offsets.phaseMin = v; }
    void setPhaseMax(double v) { offsets.phaseMax = v; }
    void setFreqMin(double v) { offsets.freqMin = v; }
    void setFreqMax(double v) { offsets.freqMax = v; }
    void setBand(double v) { rules.band = v; }
    void setSettleTime(double v) { settleRead = v; }
    void setPhaseTolerance(double v) { rules.phaseTolerance = v; }
    void setFullLength() { rules.fullLength = true; }

private:
    // One round's samples of one node: records `start` .. `start + count` - 1
    // of the round are the node's samples `first` .. `first + count` - 1.
    struct RoundPart {
        std::size_t position;  // in the node list
        long long first;
        long long count;
        long long start;
    };
    struct Round {
        long long base;  // the first record of the round in the sample file
        std::vector<RoundPart> parts;
    };

    void validateNodes();
    void validateBox() const;
    void validateRules(const Param& param);
    double defaultSettleTime() const;
    std::vector<RoundPart> nextRound() const;
    NonFiniteLog runRounds(const BasinJob& job, EnsembleFiles::File& sampleFile, const Parallelism& parallelism);
    void gatherRound(const ProcessGroup& processes, const std::vector<RoundPart>& parts,
                     std::vector<double>& own);
    void writeStability(const Param& param) const;
    void warnAboutTheResults() const;
    void reportNonFinite(const NonFiniteLog& log) const;
    std::string describeRecord(long long record) const;

    PowerGrid* grid;
    std::optional<std::vector<double>> nodesRead;
    std::vector<int> nodeList;
    long long samples = 1000;
    std::optional<double> errorTarget;
    BasinBox offsets;
    BasinCriteria rules;
    std::optional<double> settleRead;
    double settle = 0;
    std::uint32_t runSeed = 0;
    std::vector<NodeResult> tallies;
    std::vector<Round> rounds;
    long long integratedSteps = 0;
    long long differing = 0;
    bool ran = false;
    RunStatus* status = nullptr;
};

#endif
