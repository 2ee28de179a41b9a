// The parts the parallel runs are made of: positioned writes through
// buffered ranges, the worker pool, and a stochastic run's results sent from
// one process to another.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <thread>

#include "output/PositionedFile.h"
#include "analyses/stochastic/StochasticInput.h"
#include "TestSupport.h"
#include "ensemble/WorkerPool.h"

using namespace testsupport;

namespace {

std::vector<double> counting(int from, int count) {
    std::vector<double> values(count);
    std::iota(values.begin(), values.end(), static_cast<double>(from));
    return values;
}

}  // namespace

// Ranges written out of order, by several writers at once, with buffers
// smaller than what they hold, land where their offsets say; a range that
// goes on where the buffered one ends keeps filling the same buffer.
TEST(PositionedWrites, RangesLandAtTheirOffsetsWhateverTheOrderAndBufferSize) {
    ScratchDir dir;
    const std::string path = dir.file("f");
    writeText(path, "head");  // an appending run starts after what is there
    {
        PositionedFile file(path, true, {37 * 8, {}, false});
        ASSERT_TRUE(file.isOpen());
        EXPECT_EQ(file.sizeAtOpen(), 4);
        const long long start = file.sizeAtOpen();
        const int perRange = 37;  // values per range: 296 bytes, more than a buffer holds
        std::vector<std::thread> writers;
        for (int w = 0; w < 3; ++w) {
            writers.emplace_back([&, w] {
                RangeWriter writer(file, 5 * sizeof(double) + 3);
                // Writer w takes ranges w, w + 3, ... backwards.
                for (int r = 9 - (9 - w) % 3; r >= 0; r -= 3) {
                    writer.moveTo(start + r * perRange * 8LL);
                    const std::vector<double> values = counting(r * perRange, perRange);
                    writer.append(values.data(), 20);
                    for (int k = 20; k < perRange; ++k) writer.append(values[k]);
                }
            });
        }
        for (std::thread& writer : writers) writer.join();
    }
    const std::string bytes = readText(path);
    ASSERT_EQ(bytes.size(), 4u + 10 * 37 * 8);
    EXPECT_EQ(bytes.substr(0, 4), "head");
    std::vector<double> values(10 * 37);
    std::memcpy(values.data(), bytes.data() + 4, values.size() * 8);
    EXPECT_EQ(values, counting(0, 10 * 37));

    // A writer moved to where its buffered values end goes on filling its
    // buffer; moved elsewhere, it writes them out first.
    PositionedFile again(path, false, {8, 4, false});
    RangeWriter writer(again, 64);
    writer.moveTo(4 + 8);
    writer.append(-2.0);
    writer.moveTo(4 + 16);
    writer.append(-3.0);
    writer.moveTo(4);
    writer.append(-1.0);
    writer.flush();
    std::memcpy(values.data(), readText(path).data() + 4, 4 * 8);
    EXPECT_EQ(std::vector<double>(values.begin(), values.begin() + 4), (std::vector<double>{-1, -2, -3, 3}));
}

TEST(PositionedWrites, FileThatCannotBeOpenedWarnsOnceAndTakesNothing) {
    ScratchDir dir;
    testing::internal::CaptureStderr();
    {
        PositionedFile missing(dir.file("none/f"), true, {8, {}, false});
        EXPECT_FALSE(missing.isOpen());
        EXPECT_EQ(missing.sizeAtOpen(), 0);
        RangeWriter writer(missing, 16);
        writer.append(1.0);
        writer.flush();
        PositionedFile notMade(dir.file("g"), false, {8, {}, false});
        EXPECT_FALSE(notMade.isOpen());
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "tessaly: warning: cannot write " + dir.file("none/f") + ": No such file or directory\n" +
                       "tessaly: warning: cannot write " + dir.file("g") + ": No such file or directory\n");
    EXPECT_FALSE(fileExists(dir.file("g")));
}

// A file the processes of a cluster run grow together reaches a file size
// limit: it ends on the whole record before the limit, not where the limit
// cuts a write.
TEST(PositionedWrites, SharedFileEndsOnAWholeRecordAtAFileSizeLimit) {
    ScratchDir dir;
    const std::string path = dir.file("shared");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || !freopen("/dev/null", "w", stderr)) _exit(126);
        {
            PositionedFile file(path, true, {3 * sizeof(double), {}, true});
            RangeWriter writer(file, 100);
            const std::vector<double> values = counting(0, 200);
            writer.append(values.data(), values.size());
        }
        _exit(0);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
    const long size = fileSize(path);
    EXPECT_EQ(size % 24, 0) << size;
    // At most a buffer and a record short of the limit.
    EXPECT_GT(size, 1000 - 100 - 24);
    std::vector<double> values(static_cast<std::size_t>(size) / 8);
    std::memcpy(values.data(), readText(path).data(), values.size() * 8);
    EXPECT_EQ(values, counting(0, static_cast<int>(values.size())));
}

TEST(WorkerPool, TasksLearnTheirWorkerAndTheFirstFailureComesBack) {
    std::atomic<int> sum{0};
    std::atomic<bool> workerInRange{true};
    {
        WorkerPool pool(3);
        for (int k = 1; k <= 100; ++k) {
            pool.submit([&, k](int worker) {
                sum += k;
                if (worker < 0 || worker >= 3) workerInRange = false;
            });
        }
        while (pool.waitUntilAtMost(0, std::chrono::milliseconds(50)) > 0) {
        }
        EXPECT_EQ(pool.unfinished(), 0u);
    }
    EXPECT_EQ(sum, 5050);
    EXPECT_TRUE(workerInRange);

    WorkerPool failing(1);
    std::atomic<int> ran{0};
    failing.submit([](int) { throw std::runtime_error("task failed"); });
    for (int k = 0; k < 5; ++k) failing.submit([&](int) { ++ran; });
    try {
        while (failing.waitUntilAtMost(0, std::chrono::milliseconds(50)) > 0) {
        }
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "task failed");
    }
    // The tasks after the failure are not run.
    EXPECT_EQ(ran, 0);
}

// What a process sends the leader about the runs it integrated.
TEST(StochasticRunResults, TravelAsNumbersAndArriveComplete) {
    StochasticRun sent;
    sent.index = 2;
    sent.trippedLines = {{0, 4, 1.01}, {4, 0, 1.01}};
    sent.analysisEnds = {{StochasticAnalysis::cascade, 48, -1}, {StochasticAnalysis::survival, 1024, 3000000000LL}};
    StochasticRun empty;
    empty.index = 0;
    std::vector<double> values;
    sent.appendResults(values);
    empty.appendResults(values);

    std::vector<StochasticRun> runs(3);
    runs[2].outputName = "windw1tn0";
    std::size_t at = 0;
    EXPECT_EQ(StochasticRun::readResults(values, at, runs), 2);
    EXPECT_EQ(StochasticRun::readResults(values, at, runs), 0);
    EXPECT_EQ(at, values.size());
    EXPECT_EQ(runs[2].outputName, "windw1tn0");
    ASSERT_EQ(runs[2].trippedLines.size(), 2u);
    EXPECT_EQ(runs[2].trippedLines[1].from, 4);
    EXPECT_EQ(runs[2].trippedLines[1].time, 1.01);
    ASSERT_EQ(runs[2].analysisEnds.size(), 2u);
    EXPECT_EQ(runs[2].analysisEnds[1].analysis, StochasticAnalysis::survival);
    EXPECT_EQ(runs[2].analysisEnds[1].flankSize, 3000000000LL);
    EXPECT_EQ(runs[2].analysisEnds[0].flankSize, -1);
    EXPECT_TRUE(runs[0].trippedLines.empty());

    values.pop_back();
    at = 0;
    std::vector<StochasticRun> again(3);
    StochasticRun::readResults(values, at, again);
    EXPECT_THROW(StochasticRun::readResults(values, at, again), std::runtime_error);
    std::vector<StochasticRun> tooFew(2);
    at = 0;
    EXPECT_THROW(StochasticRun::readResults(values, at, tooFew), std::runtime_error);
}
