#ifndef TESSALY_TESSALY_H
#define TESSALY_TESSALY_H

#include <istream>
#include <string>

#include "ensemble/ProcessGroup.h"
#include "run/RunOptions.h"

class Param;

// Appends text to the run report (when report writing is on).
void writeToFile(Param& param, std::string text);

// The whole run as `options` ask for it: banner, input file (from the
// options, or its name from `in`), readers, power flow, analyses, timing,
// report and run manifest; or, with options.check, reading and validating the
// input alone. Returns the exit status: 0 complete (or valid input), 1 input
// file cannot be opened, 2 invalid input or a directory that cannot be
// entered, 3 a power flow missed the steady state, 4 a result file, the run
// report or the manifest could not be written. In a cluster run every
// process calls it; the leader alone prints and writes the report and the
// manifest.
int runTessaly(std::istream& in, const RunOptions& options,
               const ProcessGroup& processes = ProcessGroup::alone());

#endif
