// Every shipped example run with "Mode fast" against the same run without:
// the same console text and files, integer files identical, every double
// within 1e-10 of the largest magnitude in its file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const char* const kExamples = TESSALY_SOURCE_DIR "/examples";
// Result files of 32-bit ints (see tools/tessaly-view).
const char* const kIntStems[] = {"stochcasI", "stochcasII", "maxlij", "histFreq", "histIncrFreq"};

bool isIntFile(const std::string& name) {
    if (name.rfind("stochcasT", 0) == 0) return false;
    return std::any_of(std::begin(kIntStems), std::end(kIntStems),
                       [&](const char* stem) { return name.rfind(stem, 0) == 0; });
}

// Drops the lines that start with one of `prefixes`.
std::string withoutLines(const std::string& text, std::initializer_list<const char*> prefixes) {
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(at, end - at);
        bool drop = std::any_of(prefixes.begin(), prefixes.end(),
                                [&](const char* p) { return line.rfind(p, 0) == 0; });
        if (!drop) out += line;
        at = end;
    }
    return out;
}

struct ExampleRun {
    RunResult result;
    std::map<std::string, std::string> files;  // written files by relative path
};

ExampleRun runExample(const std::string& dir, const std::string& name, const std::string& firstLines) {
    for (const fs::directory_entry& entry : fs::directory_iterator(kExamples)) {
        if (entry.path().extension() == ".txt") fs::copy_file(entry.path(), fs::path(dir) / entry.path().filename());
    }
    writeText(dir + "/" + name, firstLines + readText(std::string(kExamples) + "/" + name));
    ExampleRun run;
    run.result = runProgram(dir, name + "\n");
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".txt" || isRunManifest(entry.path().string())) {
            continue;
        }
        run.files[fs::relative(entry.path(), dir).string()] = readText(entry.path().string());
    }
    return run;
}

void expectAgreement(const std::string& path, const std::string& exact, const std::string& fast) {
    const std::string name = fs::path(path).filename().string();
    if (name.rfind("Param", 0) == 0) {
        EXPECT_EQ(withoutLines(exact, {"TimeTaken"}), withoutLines(fast, {"TimeTaken"})) << path;
        return;
    }
    if (isIntFile(name)) {
        EXPECT_EQ(exact, fast) << path;
        return;
    }
    ASSERT_EQ(exact.size(), fast.size()) << path;
    if (exact.empty()) return;
    std::vector<double> a(exact.size() / sizeof(double)), b(a.size());
    std::memcpy(a.data(), exact.data(), a.size() * sizeof(double));
    std::memcpy(b.data(), fast.data(), b.size() * sizeof(double));
    double scale = 0;
    for (double x : a) {
        if (std::isfinite(x)) scale = std::max(scale, std::fabs(x));
    }
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (!std::isfinite(a[k])) {
            EXPECT_TRUE(a[k] == b[k] || (std::isnan(a[k]) && std::isnan(b[k]))) << path << " value " << k;
        } else {
            EXPECT_LE(std::fabs(a[k] - b[k]), 1e-10 * scale) << path << " value " << k;
        }
    }
}

}  // namespace

TEST(FastExamples, EveryExampleAgreesWithTheExactRun) {
    std::vector<std::string> examples = runnableExamples();
    ASSERT_GE(examples.size(), 3u);
    for (const std::string& name : examples) {
        SCOPED_TRACE(name);
        ScratchDir exactDir, fastDir;
        ExampleRun exact = runExample(exactDir.path(), name, "");
        ExampleRun fast = runExample(fastDir.path(), name, "Mode fast\n");
        ASSERT_EQ(exact.result.status, 0) << exact.result.err;
        EXPECT_EQ(fast.result.status, 0) << fast.result.err;
        EXPECT_TRUE(contains(fast.result.out, "read Mode fast\n"));
        auto console = [](const std::string& out) {
            return withoutLines(out, {"read Mode fast", "dclockt/", "ddoublet/"});
        };
        EXPECT_EQ(console(exact.result.out), console(fast.result.out));
        EXPECT_EQ(exact.result.err, fast.result.err);

        ASSERT_FALSE(exact.files.empty());
        bool anyBitChanged = false;
        for (const auto& [path, content] : exact.files) {
            auto other = fast.files.find(path);
            ASSERT_NE(other, fast.files.end()) << path;
            anyBitChanged = anyBitChanged || content != other->second;
            expectAgreement(path, content, other->second);
        }
        EXPECT_EQ(exact.files.size(), fast.files.size());
        EXPECT_TRUE(anyBitChanged) << "the fast kernel left every bit unchanged: was it used?";
    }
}
