#ifndef TESSALY_FUZZHARNESS_H
#define TESSALY_FUZZHARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>

// Feeds arbitrary bytes to the program's input readers and runs, for the
// fuzz targets and for the regression test that replays what they found.
//
// The bytes are an input file, optionally followed by a line "--ext--" and
// the contents of "ext.txt", the file an input's "ext" key can name. Both
// are written to a scratch directory that the process works in.
namespace fuzzing {

enum class Target { kParam, kGrid, kRaster, kStochastic, kRun };

// The target's name as the fuzz tools and the corpus directories use it.
const char* targetName(Target target);
bool targetNamed(const std::string& name, Target& target);

// Reads (and for kRun runs) one input. Invalid input is expected and ends
// quietly; anything else (a crash, a sanitizer report, an exception other
// than the program's input error) is a fault.
void runOne(Target target, const std::uint8_t* data, std::size_t size);

}  // namespace fuzzing

#endif
