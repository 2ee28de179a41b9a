#ifndef TESSALY_RUNSETUP_H
#define TESSALY_RUNSETUP_H

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "analyses/raster/RasterReturnTime.h"
#include "output/ResultPaths.h"
#include "analyses/stochastic/StochasticInput.h"
#include "analyses/contingency/ContingencyAnalysis.h"
#include "analyses/linear/LinearStability.h"
#include "analyses/basin/BasinStability.h"

// The whole input of a run, read by every reader and checked against every
// input limit before the power flow: loading creates no file or directory and
// runs no power flow, so a run that cannot go on stops before it wrote
// anything.
class LineUsage;

class RunSetup {
public:
    // Reads `inputFile`: the parameter and grid readers report on `console`;
    // the raster and stochastic readers (when their mode is on) keep their
    // report for the start of their analysis, and scan silently otherwise, so
    // that their keys count as known. Then warns about lines no reader used,
    // checks every input limit and warns about what the run would do wrong.
    // Null when the file cannot be opened; throws InputError for invalid input.
    static std::unique_ptr<RunSetup> load(const std::string& inputFile, int programVersion, std::ostream& console);

    RunSetup(const RunSetup&) = delete;
    RunSetup& operator=(const RunSetup&) = delete;

    Param param;
    PowerGrid grid;
    std::unique_ptr<RasterReturnTime> raster;      // null when "Mode raster rt" is off
    std::unique_ptr<StochasticInput> stochastic;  // null when "Mode stoch inp" is off
    std::string rasterReading;                    // the raster reader's console text
    std::string stochasticReading;                // the stochastic reader's console text
    std::unique_ptr<ContingencyAnalysis> contingency;  // null when "Mode contingency" is off
    std::string contingencyReading;                    // its reader's console text
    std::unique_ptr<LinearStability> linear;           // null when "Mode linear stability" is off
    std::string linearReading;                         // its reader's console text
    std::unique_ptr<BasinStability> basin;        // null when "Mode basin" is off
    std::string basinReading;                     // the basin reader's console text
    // Every result file the run appends to, in the order first written.
    std::vector<results::PlannedFile> resultFiles;

    // The switch keys of the analyses that are on and integrate the swing
    // equations (empty when none does).
    std::vector<std::string> integratingAnalyses() const;

    // Keys of an analysis that is off: warned about, as they do nothing.
    struct IdleKeys {
        std::string analysis;  // "raster's", ...
        std::string firstKey;
        std::string whyNothingRuns;
    };

private:
    RunSetup() = default;
    void readAnalyses(const std::string& inputFile, LineUsage& usage);
    void validate();
    void warnAboutTheRun() const;
    void warnAboutIdleSettings() const;
    std::vector<IdleKeys> idleKeys;

};

#endif
