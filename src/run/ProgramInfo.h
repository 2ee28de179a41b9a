#ifndef TESSALY_PROGRAMINFO_H
#define TESSALY_PROGRAMINFO_H

#include <string>
#include <vector>

// What this build of the program is: shown by --version and recorded in the
// run manifest, so results can be traced to the build that made them.
namespace program {

const char* name();
const char* version();
// The CMake build type ("Release", "Debug", ...).
const char* buildType();
// Compiler name and version, e.g. "GCC 12.2.0".
std::string compiler();

// An optional part of the program and whether this build has it.
struct Feature {
    const char* name;
    bool builtIn;
};
std::vector<Feature> features();
// The fast right-hand-side kernels compiled in ("fast-avx512", ...); which
// one a run uses depends on the CPU.
std::vector<std::string> fastKernelVariants();

// The text of --version.
std::string versionText();

}  // namespace program

#endif
