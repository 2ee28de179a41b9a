// Writing throughput of the result writers (bytes per second of the wall
// clock, into the page cache of a temporary directory):
//  - BM_AppendRecords: one file appended to record by record, as the
//    stochastic analyses do (argument: values per record; 1 is the flank
//    and maximum-load streams, 100 a trajectory of a 100-node grid).
//  - BM_PositionedRecords: a raster file filled by 1 or 2 threads, each
//    writing whole initial conditions (200 records of 100 values) at their
//    offsets through its own buffered writer of 64 or 256 kB (the raster's).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "output/PositionedFile.h"
#include "output/ResultFile.h"
#include "TempDir.h"

namespace {

const long long kBytesPerIteration = 16 << 20;

void BM_AppendRecords(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const long long records = kBytesPerIteration / (width * static_cast<long long>(sizeof(double)));
    std::vector<double> record(static_cast<std::size_t>(width), 0.25);
    TempDir dir;
    for (auto _ : state) {
        {
            ResultFile file("append", width * sizeof(double));
            for (long long r = 0; r < records; ++r) file.write(record.data(), width);
        }
        state.PauseTiming();
        unlink("append");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * records * width * static_cast<long long>(sizeof(double)));
}

BENCHMARK(BM_AppendRecords)->Arg(1)->Arg(100)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PositionedRecords(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const std::size_t buffer = static_cast<std::size_t>(state.range(1)) * 1024;
    const std::size_t width = 100;
    const long long perCondition = 200 * width * sizeof(double);
    const long long conditions = kBytesPerIteration / perCondition;
    std::vector<double> record(width, 0.25);
    TempDir dir;
    for (auto _ : state) {
        {
            PositionedFile file("raster", true, {static_cast<long long>(width * sizeof(double)), {}, false});
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; ++t) {
                workers.emplace_back([&, t] {
                    RangeWriter writer(file, buffer);
                    for (long long ic = t; ic < conditions; ic += threads) {
                        writer.moveTo(ic * perCondition);
                        for (int r = 0; r < 200; ++r) writer.append(record.data(), width);
                    }
                });
            }
            for (std::thread& worker : workers) worker.join();
        }
        state.PauseTiming();
        unlink("raster");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * conditions * perCondition);
}

BENCHMARK(BM_PositionedRecords)->ArgsProduct({{1, 2}, {64, 256}})->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
