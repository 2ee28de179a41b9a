// Inputs that are broken, hostile or not text at all: each ends with a clear
// error or a documented behaviour, never a crash or a hang. The first test
// replays what the fuzz targets found (and their seed corpus) through the
// same harness, so the sanitizer build checks every reproducer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"
#include "fuzz/FuzzHarness.h"

using namespace testsupport;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

const fs::path kFuzzDir = fs::path(TESSALY_SOURCE_DIR) / "tests" / "fuzz";

void replay(fuzzing::Target target, const fs::path& file) {
    SCOPED_TRACE(std::string(fuzzing::targetName(target)) + " " + file.string());
    const std::string bytes = readText(file.string());
    fuzzing::runOne(target, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TEST(HostileInputs, FuzzFindingsAndSeedCorpusRunThroughTheHarness) {
    int replayed = 0;
    for (const fs::directory_entry& dir : fs::directory_iterator(kFuzzDir / "regressions")) {
        fuzzing::Target target;
        ASSERT_TRUE(fuzzing::targetNamed(dir.path().filename().string(), target)) << dir.path();
        for (const fs::directory_entry& file : fs::directory_iterator(dir.path())) {
            replay(target, file.path());
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0);
    for (const fs::path& seeds : {kFuzzDir / "corpus", fs::path(TESSALY_SOURCE_DIR) / "examples"}) {
        for (const fs::directory_entry& file : fs::directory_iterator(seeds)) {
            for (fuzzing::Target target : {fuzzing::Target::kParam, fuzzing::Target::kGrid, fuzzing::Target::kRaster,
                                           fuzzing::Target::kStochastic, fuzzing::Target::kRun}) {
                replay(target, file.path());
            }
        }
    }
}

const char* const kSmallGrid =
    "Output filename\nh\nRK steps\n20\nNumber of nodes\n3\nDamping\n0.5\nInertia\n1\n"
    "Coupling mag\n0 2 2\n2 0 2\n2 2 0\n";

RunResult check(const ScratchDir& dir, const std::string& input) {
    writeText(dir.file("input.txt"), input);
    return runWithArguments(dir.path(), {"--check", "input.txt"});
}

// Devices and pipes never reach a reader: /dev/zero would never end, a pipe
// blocks and cannot be read once per reader.
TEST(HostileInputs, ExtFilesMustBeRegularFiles) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    for (const std::string& name : {std::string("/dev/zero"), std::string("pipe")}) {
        const RunResult r = check(dir, std::string(kSmallGrid) + "Power mech ext\n" + name + "\n");
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_TRUE(contains(r.err, "\"Power mech ext\" names the file \"" + name + "\", which cannot be read (not a "
                                    "regular file"))
            << r.err;
    }
    const RunResult device = runWithArguments(dir.path(), {"/dev/zero"});
    EXPECT_EQ(device.status, 1);
    EXPECT_TRUE(contains(device.err, "the input file \"/dev/zero\" cannot be opened (not a regular file")) << device.err;
    const RunResult directory = runWithArguments(dir.path(), {"--check", dir.path()});
    EXPECT_EQ(directory.status, 1);
    EXPECT_TRUE(contains(directory.err, "cannot be opened (Is a directory)")) << directory.err;
}

TEST(HostileInputs, BinaryAndEndlessLinesAreRefusedWithTheirLine) {
    ScratchDir dir;
    RunResult r = check(dir, std::string(kSmallGrid) + "Power mech\n1 2\0 3\n"s);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "line 16 of \"input.txt\" holds a NUL byte")) << r.err;

    // 100 MB without a line end (sparse: the zeros cost no disk).
    writeText(dir.file("input.txt"), "Output filename\n");
    ASSERT_EQ(truncate(dir.file("input.txt").c_str(), 100L << 20), 0);
    r = runWithArguments(dir.path(), {"--check", "input.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "line 2 of \"input.txt\" is longer than 64 MiB")) << r.err;
}

TEST(HostileInputs, ANodeCountTheFileCannotHoldIsRefusedBeforeAllocating) {
    ScratchDir dir;
    const RunResult r = check(dir, "Number of nodes\n2147483647\nDamping\n1\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "\"Number of nodes\" is 2147483647, but the input file holds only 37 bytes")) << r.err;
}

std::string withValue(std::string input, const std::string& key, const std::string& value) {
    const std::size_t at = input.find(key + "\n");
    const std::size_t valueStart = at + key.size() + 1;
    return input.replace(valueStart, input.find('\n', valueStart) - valueStart, value);
}

// Counts that a few bytes of input can claim but no memory holds: refused
// by --check already, with the key, the value and the limit.
TEST(HostileInputs, CountsBeyondMemoryAreRefusedWithTheirLimit) {
    ScratchDir dir;
    const std::string raster = readText((kFuzzDir / "corpus" / "raster_modes.txt").string());
    const std::string stochastic = readText((kFuzzDir / "corpus" / "stoch_given.txt").string());
    ASSERT_EQ(check(dir, raster).status, 0);
    ASSERT_EQ(check(dir, stochastic).status, 0);
    const struct {
        std::string input;
        std::string message;
    } cases[] = {
        {withValue(raster, "Num of thresh", "2147483647"), "\"Num of thresh\" is 2147483647, more bands than the "
                                                           "1048576 allowed"},
        {withValue(raster, "Phase pert step", "1e-12"), "\"Phase pert step\" is 1e-12: from 0 to 1 it gives about "
                                                        "1e+12 offsets, more than the 1048576 allowed"},
        {withValue(stochastic, "Freq hist bin num", "100000000"), "a run holds 900000000 bins, more than the "
                                                                  "67108864 allowed"},
    };
    for (const auto& c : cases) {
        const RunResult r = check(dir, c.input);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    }
}

// Numbers are read as the C library reads them; what is not finite is taken
// as written and warned about where it can only spoil the results.
TEST(HostileInputs, NumbersBeyondRangeNanAndNegativeZero) {
    ScratchDir dir;
    RunResult r = check(dir, std::string(kSmallGrid) + "Power mech\n1e999999 -0.5 -0.5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "\"Power mech\" holds inf at node 0: a value that is not finite")) << r.err;
    r = check(dir, std::string(kSmallGrid) + "Power mech\n0 -0 0\nCoupling ang\n0 nan 0\n0 0 0\n0 0 0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(contains(r.err, "\"Power mech\" holds")) << r.err;
    EXPECT_TRUE(contains(r.err, "\"Coupling ang\" holds nan at row 0 column 1")) << r.err;
    r = check(dir, std::string(kSmallGrid) + "Line capacity\ninf inf inf\ninf inf inf\ninf inf inf\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.find("holds") == std::string::npos) << r.err;
}

}  // namespace

namespace {

TEST(HostileInputs, AFileThatIsNoInputListsTwentyUnknownLinesAndCountsTheRest) {
    ScratchDir dir;
    std::string log;
    for (int i = 0; i < 1000; ++i) log += "worker " + std::to_string(i) + " started\n";
    const RunResult r = check(dir, log);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "line 20 \"worker 19 started\" is no key")) << r.err;
    EXPECT_FALSE(contains(r.err, "line 21 ")) << r.err;
    EXPECT_TRUE(contains(r.err, "980 more lines that no reader knows are skipped")) << r.err;
}

}  // namespace
