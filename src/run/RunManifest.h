#ifndef TESSALY_RUNMANIFEST_H
#define TESSALY_RUNMANIFEST_H

#include <chrono>
#include <ctime>
#include <nlohmann/json_fwd.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "grid/PowerGrid.h"
#include "output/ResultPaths.h"
#include "analyses/stochastic/StochasticInput.h"
#include "diagnostics/Diagnostics.h"
#include "diagnostics/RunStatus.h"

class RunSetup;

// The run manifest: a JSON file next to the run report that describes the
// run (program, input, settings, power flow, raster and stochastic runs) and
// every result file it appends to (record layout, where this run's records
// start and how many there are). Written when the run starts, with "complete"
// false, rewritten after every stochastic run and at the end; every write goes
// to a temporary file that is then renamed over the manifest, so a reader
// never sees half a manifest and a run killed part-way stays recognisable.
class RunManifest : public StochasticRunListener {
public:
    // What the run sequence knows besides the input it loaded.
    struct RunContext {
        std::string inputFile;  // as given
        std::vector<std::string> commandLine;
        int threads = 1;
        int ranks = 1;
        std::string kernel;  // the right-hand-side kernel in use
        // The reference node's "Power mech" before the power flow solved it.
        double referencePowerGiven = 0;
    };

    // `setup` must have solved its initial power flow and outlive the manifest.
    RunManifest(RunSetup& setup, RunContext context);

    // Directory part of the output name + "Manifest" + file part + ".json".
    static std::string pathFor(const std::string& outputName);
    const std::string& path() const { return manifestPath; }

    // Takes the sizes of the result files and writes the manifest of a
    // running run. Call before the first result byte.
    void start();
    // Writes the manifest of the ended run; "complete" when the status is
    // one of a run that finished (0, 3, 4, 5). Takes the trajectories that
    // became non-finite from `status`.
    void finish(int exitStatus, const RunStatus& status);

    void windSeriesWritten(const StochasticRun& run, int node) override;
    void powerSeriesWritten(const StochasticRun& run) override;
    void runFinished(const StochasticRun& run) override;

    // A part of a file that one analysis, run or turbine wrote (the fields
    // that do not apply stay unset).
    struct Segment {
        const char* analysis = nullptr;
        std::optional<int> run;
        std::optional<int> node;
        std::optional<long long> width;
        std::optional<long long> records;
        std::optional<long long> values;
    };

private:
    struct FileState {
        results::PlannedFile plan;
        long long offset = 0;     // size before this run's first byte
        long long accounted = 0;  // bytes that segments account for
        std::vector<Segment> segments;
    };

    // New segments for the files of `kind` that `run` may have written to: the
    // bytes up to `sizeOf(file)` since the last segment, as made by
    // `segmentOf(file, bytes)`.
    template <typename SizeOf, typename MakeSegment>
    void takeSegments(results::Kind kind, const StochasticRun& run, SizeOf sizeOf, MakeSegment segmentOf);
    void takeAnalysisSegments(const StochasticRun& run, const StochasticRun::AnalysisEnd& end);
    nlohmann::ordered_json fileJson(const FileState& file, const results::RecordShape& shape,
                                    const std::vector<WriteFailures::Failure>& failures) const;
    void write();
    void takeEarlierRuns();
    void keepUnreadableManifest() const;

    RunSetup& setup;
    RunContext context;
    std::string manifestPath;
    std::string outputName;
    std::string inputSha256;
    long long inputSize = -1;
    std::string workingDirectory;
    std::time_t startTime = 0;
    std::optional<std::time_t> endTime;
    std::optional<int> exitStatus;
    bool complete = false;
    PowerGrid::PowerFlowOutcome powerFlow;
    std::vector<double> steadyStatePhases;
    double referencePowerSolved = 0;
    std::vector<double> frequencyOffsets;
    std::vector<double> phaseOffsets;
    std::vector<StochasticRun> runs;
    std::vector<RunStatus::NonFinite> nonFinite;
    std::vector<FileState> files;
    // The manifests of the earlier runs into the same files, oldest first.
    std::shared_ptr<const nlohmann::ordered_json> earlier;
    std::chrono::steady_clock::time_point lastWrite;
    // How often the finished stochastic runs are written out at the most.
    static constexpr std::chrono::seconds kRewriteInterval{2};
};

#endif
