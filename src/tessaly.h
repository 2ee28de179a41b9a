#ifndef TESSALY_TESSALY_H
#define TESSALY_TESSALY_H

#include <istream>
#include <string>

class Param;

// Appends text to the run report (when report writing is on).
void writeToFile(Param& param, std::string text);

// The whole run: banner, input file name from `in`, readers, power flow,
// analyses, timing, report. Returns the exit status: 0 complete, 1 input file
// cannot be opened, 2 invalid input, 3 a power flow missed the steady state.
int runTessaly(std::istream& in);

#endif
