// Basin stability end to end (the program on an input file, wall clock):
//  - BM_BasinReference: the two-node reduction of the one-machine
//    infinite-bus benchmark, 10,000 samples of at most 20,000 steps of 0.05,
//    with early decisions and at full length, on 1 and 2 worker threads;
//  - BM_RasterReference: the mean return-time raster of 100 x 101 kicks over
//    the same box and steps, the way the measure was taken before.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "TempDir.h"

namespace {

const std::string kGrid =
    "Random seed\n1\nRK steps\n20000\nRK stepwidth\n0.05\nOutput filename\nref\nNumber of nodes\n2\n"
    "Power mech\n0.25 -0.25\nDamping\n0.1\nInertia\n1\nCoupling mag\n0 0.5\n0.5 0\nReference node\n1\n";

void writeInput(const std::string& text) {
    std::FILE* input = std::fopen("input.txt", "w");
    std::fwrite(text.data(), 1, text.size(), input);
    std::fclose(input);
}

void runProgram(benchmark::State& state, const std::string& input, int threads) {
    TempDir dir;
    writeInput(input);
    const std::string command =
        std::string(TESSALY_BIN) + " -j " + std::to_string(threads) + " --no-progress input.txt > /dev/null 2>&1";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("the program failed");
            break;
        }
        state.PauseTiming();
        dir.clearResults();
        state.ResumeTiming();
    }
}

// Argument 0: 1 early decisions, 0 full length; argument 1: threads.
void BM_BasinReference(benchmark::State& state) {
    const bool early = state.range(0) == 1;
    std::string input = kGrid + "Mode basin\nBasin nodes\n0\nBasin samples\n10000\n";
    if (!early) input += "Basin full length\n";
    runProgram(state, input, static_cast<int>(state.range(1)));
}

BENCHMARK(BM_BasinReference)
    ->Args({1, 1})
    ->Args({1, 2})
    ->Args({0, 2})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Argument 0: threads.
void BM_RasterReference(benchmark::State& state) {
    const std::string input = kGrid +
                              "Mode raster rt\nMode RMRT\nFirst pert node\n0\nLast pert node\n1\n"
                              "Freq pert minimum\n-10\nFreq pert maximum\n10\nFreq pert step\n0.2\n"
                              "Phase pert minimum\n-3.14159265358979\nPhase pert maximum\n3.14159265358979\n"
                              "Phase pert step\n0.0628318530717958\nRT threshold low\n0.01\n"
                              "RT threshold high\n0.01\nNum of thresh\n1\n";
    runProgram(state, input, static_cast<int>(state.range(0)));
}

BENCHMARK(BM_RasterReference)->Arg(2)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
