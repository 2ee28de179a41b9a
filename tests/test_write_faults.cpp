// When the machine lets a run down: result files that hit a file size limit
// or a full disk part-way, and runs killed at random points. Every result
// file then ends on a whole record, holds the records of a run that went
// well up to there, and the run says so (warning, exit status 4, manifest).
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <chrono>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <random>

#include "RunComparison.h"
#include "TestSupport.h"

using namespace testsupport;
using Json = nlohmann::json;

namespace {

// In the child, before the program starts: no file may grow beyond `bytes`.
std::function<void()> fileSizeLimit(rlim_t bytes) {
    return [bytes] {
        const rlimit limit{bytes, bytes};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    };
}

// In the child, before the program starts: a disk that is full from byte
// `bytes` of every file on. A positioned write that starts there fails with
// ENOSPC (one that starts before goes through whole), as a full disk fails
// a write that needs a new block.
std::function<void()> diskFullFrom(std::uint32_t bytes) {
    return [bytes] {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_pwrite64, 0, 4),
            // The offset's high word, then its low word (little-endian).
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[3]) + 4),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 2),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[3])),
            BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, bytes, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSPC),
        };
        const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            _exit(126);
        }
    };
}

long long recordBytes(const Json& entry) {
    return entry["record_width"].get<long long>() * (entry["dtype"] == "int32" ? 4 : 8);
}

int occurrences(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

// Every file of `run`'s manifest ends on a whole record that the manifest
// counts, and holds the bytes of `reference` (the same run without the
// fault) as far as it goes; those that failed are warned about once with
// `reason` and marked in the manifest. A file that failed part-way holds
// the first records of the reference's, or (`filled` false, several
// threads) each value may be missing as zeros. Returns the files that failed.
int expectFailedFilesWholeAndMarked(const Outcome& run, const Outcome& reference, const std::string& reason,
                                    bool filled) {
    EXPECT_EQ(run.run.status, 4) << run.run.err;
    EXPECT_EQ(maskTimes(run.run.out), maskTimes(reference.run.out));
    const Json manifest = Json::parse(run.manifest);
    EXPECT_EQ(manifest["complete"], true);
    EXPECT_EQ(manifest["exit_status"], 4);
    int failed = 0;
    for (const Json& entry : manifest["files"]) {
        const std::string path = entry["path"];
        const std::string& bytes = run.files.at(path);
        const std::string& whole = reference.files.at(path);
        const long long record = recordBytes(entry);
        EXPECT_EQ(static_cast<long long>(bytes.size()) % record, 0) << path;
        EXPECT_EQ(entry["records"], static_cast<long long>(bytes.size()) / record) << path;
        if (bytes == whole) {
            EXPECT_TRUE(entry["write_error"].is_null()) << path;
            continue;
        }
        ++failed;
        EXPECT_LT(bytes.size(), whole.size()) << path;
        EXPECT_EQ(entry["write_error"], reason) << path;
        EXPECT_EQ(occurrences(run.run.err, "tessaly: warning: cannot write " + path + ": " + reason + "\n"), 1)
            << run.run.err;
        if (filled) {
            EXPECT_TRUE(bytes == whole.substr(0, bytes.size())) << path << " is no beginning of the whole run's";
            continue;
        }
        const std::string zeros(8, '\0');
        for (std::size_t at = 0; at < bytes.size(); at += 8) {
            const std::string value = bytes.substr(at, 8);
            EXPECT_TRUE(value == whole.substr(at, 8) || value == zeros) << path << " at byte " << at;
        }
    }
    EXPECT_EQ(occurrences(run.run.err, "cannot write"), failed) << run.run.err;
    EXPECT_TRUE(contains(run.run.err, "tessaly: warning: the results are incomplete: " + std::to_string(failed) +
                                          " files of the run could not be written (see above); the run ends with "
                                          "exit status 4\n"))
        << run.run.err;
    return failed;
}

// Two turbine configurations on the five-node wind grid, 1,500 steps: the
// trajectories (60 kB per run) and the wind speeds (three series of 12 kB)
// are the largest files, every other file holds 24 kB at most.
const std::string kLongWindRuns =
    "Random seed\n42\nOutput filename\nlong\nRK steps\n1500\nRK stepwidth\n0.01\n"
    "Mode stepfunc\nMode stoch casc\nCascade restore lines\nMode surv all\nMode surv\nMode save traj\n"
    "Number of nodes\n5\nPower mech\n2 1 -1 -1 -1\nDamping\n0.5\nInertia\n1\nVoltage mag\n1\n"
    "Node type\n0 0 1 1 1\n"
    "Coupling mag\n0 6 6 0 6\n6 0 6 0 0\n6 6 0 6 0\n0 0 6 0 6\n6 0 0 6 0\n"
    "Admittance mag\n0 6 6 0 6\n6 0 6 0 0\n6 6 0 6 0\n0 0 6 0 6\n6 0 0 6 0\n"
    "Line capacity\n0 3 3 0 1.5\n3 0 3 0 0\n3 3 0 5 0\n0 0 5 0 5\n1.5 0 0 5 0\nReference node\n0\n"
    "Turbine nodes\n1\n0 1\nSurvive init steps\n20\nSurvive interval\n50\nFreq hist bin num\n40\n"
    "Write stoch\n1\nStoch filename\nseries\n"
    "Wind series\n8 9.5 12 7 15 9 8.5 10 11 9 8 12 13 9 10 11\n9 11 8 16 10 7 9 8 12 10 9 11 8 10 9 12\n";

}  // namespace

// The limit cuts the trajectories and the energy file; each keeps every
// record that fits, the other files are whole.
TEST(FileSizeLimit, RasterOnOneThreadKeepsEveryRecordThatFits) {
    const rlim_t limit = 20011;
    const Outcome reference = runWithThreads(kEveryRasterMode, 1);
    const Outcome run = runIn(kEveryRasterMode, {TESSALY_BIN, "-j", "1"}, {}, fileSizeLimit(limit));
    EXPECT_EQ(expectFailedFilesWholeAndMarked(run, reference, "File too large", true), 3);
    for (const char* path : {"frequency/freqTrajall", "phase/phasTrajall"}) {
        EXPECT_EQ(run.files.at(path).size(), limit / 40 * 40) << path;
    }
    EXPECT_EQ(run.files.at("etraj/etrajall").size(), limit / (119 * 8) * (119 * 8));
}

TEST(FileSizeLimit, RasterOnThreeThreadsLeavesWholeRecords) {
    const Outcome reference = runWithThreads(kEveryRasterMode, 1);
    const Outcome run = runIn(kEveryRasterMode, {TESSALY_BIN, "-j", "3"}, {}, fileSizeLimit(20011));
    EXPECT_EQ(expectFailedFilesWholeAndMarked(run, reference, "File too large", false), 3);
}

// The trajectories of both runs are cut where the limit lies; the wind
// speeds, written a whole series at a time, keep the two series that fit.
// The second run writes its own files as if nothing had failed.
TEST(FileSizeLimit, StochasticRunsKeepEveryRecordThatFits) {
    const rlim_t limit = 30011;
    const Outcome reference = runWithThreads(kLongWindRuns, 1);
    ASSERT_EQ(reference.run.status, 0) << reference.run.err;
    const Outcome run = runIn(kLongWindRuns, {TESSALY_BIN, "-j", "1"}, {}, fileSizeLimit(limit));
    EXPECT_EQ(expectFailedFilesWholeAndMarked(run, reference, "File too large", true), 5);
    for (const char* path : {"frequency/freqTrajlongtn0", "phase/phasTrajlongtn1"}) {
        EXPECT_EQ(run.files.at(path).size(), limit / 40 * 40) << path;
    }
    EXPECT_EQ(run.files.at("windspeedseries").size(), 2 * 12000u);
}

// A full disk fails a write part-way through the buffered records: the file
// is cut back to the record before, not left with a record of zeros.
TEST(FullDisk, RasterKeepsTheWholeRecordsWrittenBeforeIt) {
    const Outcome reference = runWithThreads(kEveryRasterMode, 1);
    const Outcome run = runIn(kEveryRasterMode, {TESSALY_BIN, "-j", "1"}, {}, diskFullFrom(20011));
    EXPECT_EQ(expectFailedFilesWholeAndMarked(run, reference, "No space left on device", true), 3);
}

// Killed with SIGKILL at random points (after its manifest exists), a run on
// one thread leaves every file it wrote on a whole record of the width its
// manifest gives, counted from the offset the manifest gives. A kill during
// a write() the kernel cuts short, or between two buffered writes, would
// otherwise leave a record cut at the end.
TEST(KilledRuns, LeaveWholeRecordsInEveryFileOnOneThread) {
    std::string raster = kEveryRasterMode;
    raster.replace(raster.find("RK steps\n120"), 12, "RK steps\n3000");
    std::string wind = kLongWindRuns;
    wind.replace(wind.find("RK steps\n1500"), 13, "RK steps\n15000");
    wind.replace(wind.find("RK stepwidth\n0.01"), 17, "RK stepwidth\n0.001");
    std::mt19937 random(std::random_device{}());
    for (const auto& [input, manifestName] : {std::pair{raster, "Manifestall.json"}, {wind, "Manifestlong.json"}}) {
        // The time a whole run takes: the kills fall anywhere in it.
        const auto begin = std::chrono::steady_clock::now();
        const Outcome whole = runWithThreads(input, 1);
        const auto runTime = std::chrono::steady_clock::now() - begin;
        ASSERT_EQ(whole.run.status, 0) << whole.run.err;
        std::uniform_int_distribution<long long> delay(
            0, std::chrono::duration_cast<std::chrono::microseconds>(runTime).count());

        // At least 8 kills, more while a second lasts.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        for (int kills = 0; kills < 30 && (kills < 8 || std::chrono::steady_clock::now() < deadline); ++kills) {
            ScratchDir dir;
            writeText(dir.file("input.txt"), input);
            const std::chrono::microseconds after(delay(random));
            killWhenThereAfter(dir.path(), {"-j", "1", "input.txt"}, dir.file(manifestName), after);
            const Json manifest = Json::parse(readText(dir.file(manifestName)));
            for (const Json& entry : manifest["files"]) {
                const std::string path = entry["path"];
                const long long size = std::max(testsupport::fileSize(dir.file(path)), 0L);
                const long long offset = entry["offset"];
                EXPECT_EQ((size - offset) % recordBytes(entry), 0)
                    << path << ": " << size << " bytes, killed " << after.count() << " us after the manifest";
            }
        }
    }
}
