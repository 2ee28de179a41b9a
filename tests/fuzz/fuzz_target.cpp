// One libFuzzer target; TESSALY_FUZZ_TARGET names the harness target it runs.
#include <cstddef>
#include <cstdint>

#include "FuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::runOne(fuzzing::Target::TESSALY_FUZZ_TARGET, data, size);
    return 0;
}
