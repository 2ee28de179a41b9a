#include "run/ProgramInfo.h"

#include "dynamics/SwingKernel.h"

#ifndef TESSALY_BUILD_TYPE
#define TESSALY_BUILD_TYPE "unknown"
#endif

namespace program {

const char* name() { return "tessaly"; }

const char* version() { return "2.012"; }

const char* buildType() { return TESSALY_BUILD_TYPE; }

std::string compiler() {
#if defined(__clang__)
    return "Clang " __clang_version__;
#elif defined(__GNUC__)
    return "GCC " __VERSION__;
#else
    return "unknown";
#endif
}

std::vector<Feature> features() {
#ifdef TESSALY_SANITIZED
    const bool sanitized = true;
#else
    const bool sanitized = false;
#endif
#ifdef TESSALY_MPI
    const bool mpi = true;
#else
    const bool mpi = false;
#endif
    return {{"mpi", mpi}, {"fast_kernel", true}, {"sanitizers", sanitized}};
}

std::vector<std::string> fastKernelVariants() {
    std::vector<std::string> names;
    for (KernelVariant v : {KernelVariant::fastAvx512, KernelVariant::fastAvx2, KernelVariant::fastSse2,
                            KernelVariant::fastScalar}) {
        if (kernelVariantBuiltIn(v)) names.push_back(kernelVariantName(v));
    }
    return names;
}

std::string versionText() {
    std::string text = std::string(name()) + " " + version() + "\n" + "build type: " + buildType() + "\n" +
                       "compiler: " + compiler() + "\n";
    for (const Feature& feature : features()) {
        text += std::string("feature ") + feature.name + ": " + (feature.builtIn ? "yes" : "no");
        if (std::string(feature.name) == "fast_kernel") {
            text += " (";
            for (const std::string& variant : fastKernelVariants()) text += variant + ", ";
            text += std::string("this CPU: ") + kernelVariantName(fastKernelVariant()) + ")";
        }
        text += "\n";
    }
    return text;
}

}  // namespace program
