// Result writers, result directories, buffered result files, result paths and
// the run report.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "util/CodeUtils.h"
#include "input/Param.h"
#include "output/ResultFile.h"
#include "TestSupport.h"
#include "run/tessaly.h"
#include "output/ResultDirectories.h"
#include "output/ResultWriters.h"

using testsupport::fileExists;
using testsupport::fileSize;
using testsupport::isDirectory;
using testsupport::readDoubles;
using testsupport::readText;
using testsupport::ScratchDir;
using testsupport::writeText;

namespace {

std::string bytesOf(const std::string& path) { return readText(path); }

std::string hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

// Runs `body` with the working directory set to `dir`.
template <typename Body>
void inDirectory(const std::string& dir, Body body) {
    testsupport::WorkingDirectory inside(dir);
    body();
}

int countLines(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

}  // namespace

TEST(BinaryWriters, AppendNativeValuesInCallOrder) {
    ScratchDir dir;
    std::string f = dir.file("a");
    const double values[] = {1.5, -2, 3.25};
    ResultWriters::arrayToBinFile(values, 3, f);
    EXPECT_EQ(fileSize(f), 24);
    ResultWriters::arrayToBinFile(values, 2, f);
    EXPECT_EQ(fileSize(f), 40);
    EXPECT_EQ(readDoubles(f), std::vector<double>({1.5, -2, 3.25, 1.5, -2}));

    std::string fast = dir.file("fast");
    ResultWriters::arrayToBinFileFast(values, 3, fast);
    ResultWriters::arrayToBinFileFast(values, 2, fast);
    EXPECT_EQ(bytesOf(fast), bytesOf(f));

    std::string vec = dir.file("vec");
    ResultWriters::vecToBinFile({1.5, -2, 3.25}, vec);
    ResultWriters::vecToBinFileFast({1.5, -2}, vec);
    EXPECT_EQ(bytesOf(vec), bytesOf(f));
}

TEST(BinaryWriters, ExactBytesOfIntsAndSingleDouble) {
    ScratchDir dir;
    ResultWriters::vecIToBinFileFast({1, -1}, dir.file("ints"));
    EXPECT_EQ(hex(bytesOf(dir.file("ints"))), "01 00 00 00 FF FF FF FF ");
    ResultWriters::doubleToBinFileFast(1.0, dir.file("one"));
    EXPECT_EQ(hex(bytesOf(dir.file("one"))), "00 00 00 00 00 00 F0 3F ");
}

TEST(BinaryWriters, EmptyWritesStillCreateTheFile) {
    ScratchDir dir;
    ResultWriters::vecIToBinFileFast({}, dir.file("i"));
    ResultWriters::arrayToBinFile(nullptr, -3, dir.file("a"));
    EXPECT_EQ(fileSize(dir.file("i")), 0);
    EXPECT_EQ(fileSize(dir.file("a")), 0);
}

TEST(TextWriters, ExactText) {
    ScratchDir dir;
    const double value[] = {1.5};
    ResultWriters::arrayDToFile(value, 1, dir.file("t"));
    const double two[] = {-0.25, 1e10};
    ResultWriters::arrayDToFile(two, 2, dir.file("t"));
    EXPECT_EQ(readText(dir.file("t")), " 1.5000000000e+00\n -2.5000000000e-01 1.0000000000e+10\n");

    {
        std::ofstream out(dir.file("lists"));
        ResultWriters::vecToTextFile({3, -4}, out);
        ResultWriters::vecDToTextFile({0.5, 1234567.0}, out);
        ResultWriters::vecToTextFile({}, out);
        // Flushed by the writers: visible before the stream closes.
        EXPECT_EQ(readText(dir.file("lists")), "3 -4 \n0.5 1.23457e+06 \n\n");
    }
}

TEST(Writers, UnwritablePathWarnsOncePerPath) {
    ScratchDir dir;
    std::string bad = dir.file("no/such/dir/file");
    std::string other = dir.file("no/other");
    const double values[] = {1, 2};
    testing::internal::CaptureStderr();
    for (int record = 0; record < 3; ++record) {
        ResultWriters::arrayToBinFile(values, 2, bad);
        ResultWriters::doubleToBinFileFast(1.0, bad);
        ResultWriters::arrayDToFile(values, 2, bad);
    }
    ResultWriters::vecToBinFileFast({1}, other);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(countLines(err, "tessaly: warning: cannot write " + bad + ": " + std::strerror(ENOENT) + "\n"), 1)
        << err;
    EXPECT_EQ(countLines(err, "cannot write " + other + ":"), 1) << err;
    EXPECT_EQ(countLines(err, "\n"), 2) << err;
    EXPECT_FALSE(fileExists(bad));
}

TEST(ResultFileTest, SameBytesAsTheWriters) {
    ScratchDir dir;
    const double values[] = {0.5, -7, 1e-300};
    ResultWriters::arrayToBinFileFast(values, 3, dir.file("plain"));
    ResultWriters::vecToBinFileFast({2, 3}, dir.file("plain"));
    ResultWriters::doubleToBinFileFast(std::nan(""), dir.file("plain"));
    ResultWriters::vecIToBinFileFast({1, -1}, dir.file("plain"));

    writeText(dir.file("held"), "");
    {
        ResultFile file(dir.file("held"), 8);
        EXPECT_TRUE(file.isOpen());
        EXPECT_EQ(file.path(), dir.file("held"));
        file.write(values, 3);
        file.write(values, 0);
        file.write(std::vector<double>{2, 3});
        file.write(std::vector<double>{});
        file.write(std::nan(""));
        file.writeInts({1, -1});
    }
    EXPECT_EQ(hex(bytesOf(dir.file("held"))), hex(bytesOf(dir.file("plain"))));
}

TEST(ResultFileTest, AppendsAndMovesOwnership) {
    ScratchDir dir;
    std::string path = dir.file("r");
    ResultWriters::doubleToBinFileFast(1.0, path);
    ResultFile first(path, 8);
    first.write(2.0);
    ResultFile moved(std::move(first));
    moved.write(3.0);
    moved.close();
    moved.write(4.0);  // after close: ignored
    EXPECT_EQ(readDoubles(path), std::vector<double>({1, 2, 3}));
}

TEST(ResultFileTest, UnwritablePathWarnsOnceAndIgnoresWrites) {
    ScratchDir dir;
    std::string bad = dir.file("missing/out");
    testing::internal::CaptureStderr();
    {
        ResultFile file(bad, 8);
        EXPECT_FALSE(file.isOpen());
        for (int i = 0; i < 5; ++i) file.write(1.0);
        file.writeInts({1});
    }
    ResultFile again(bad, 8);
    ResultWriters::doubleToBinFileFast(1.0, bad);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "tessaly: warning: cannot write " + bad + ": " + std::strerror(ENOENT) + "\n");
}

TEST(Directories, CdirCreatesQuietlyFindsOrWarnsWithTheSystemError) {
    ScratchDir dir;
    std::string target = dir.file("made");
    testing::internal::CaptureStdout();
    ResultDirectories::cdir(target);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Directory " + target + " created\n");
    EXPECT_TRUE(isDirectory(target));
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0700, 0700u);

    // An existing directory is what was asked for: nothing to say.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ResultDirectories::cdir(target);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    testing::internal::CaptureStderr();
    ResultDirectories::cdir(dir.file("a/b"));  // parents are not created
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tessaly: warning: cannot create directory " + dir.file("a/b") +
                                                          ": " + std::strerror(ENOENT) + "\n");
    EXPECT_FALSE(isDirectory(dir.file("a")));

    // A file in the way is no directory.
    writeText(dir.file("plain"), "");
    testing::internal::CaptureStderr();
    ResultDirectories::cdir(dir.file("plain"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tessaly: warning: cannot create directory " +
                                                          dir.file("plain") + ": " + std::strerror(EEXIST) +
                                                          " (not a directory)\n");
}

TEST(Directories, JoinPathComposesThePath) {
    ScratchDir dir;
    testing::internal::CaptureStdout();
    ResultDirectories::cdir(CodeUtils::joinPath(dir.path(), "phase"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Directory " + dir.path() + "/phase created\n");
    EXPECT_TRUE(isDirectory(dir.file("phase")));

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ResultDirectories::cdir(CodeUtils::joinPath(dir.path() + "/", "phase"));  // the same directory again
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    inDirectory(dir.path(), [] {
        testing::internal::CaptureStdout();
        ResultDirectories::cdir(CodeUtils::joinPath("", "frequency"));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Directory frequency created\n");
    });
    EXPECT_TRUE(isDirectory(dir.file("frequency")));
}

TEST(ResultPaths, SplitAtTheLastSlash) {
    Param param;
    struct Case {
        const char* name;
        const char* path;
        const char* file;
    };
    for (const Case& c : {Case{"a/b/c", "a/b/", "c"}, Case{"run", "", "run"}, Case{"dir/", "dir/", ""},
                          Case{"/abs", "/", "abs"}, Case{"", "", ""}}) {
        param.outputFilename = c.name;
        EXPECT_EQ(param.getOfile("path"), c.path) << c.name;
        EXPECT_EQ(param.getOfile("file"), c.file) << c.name;
        EXPECT_EQ(param.getOfile("other"), c.name) << c.name;
        EXPECT_EQ(param.getOfile(""), c.name) << c.name;
        EXPECT_EQ(param.reportFileName(), std::string(c.path) + "Param" + c.file) << c.name;
    }
}

TEST(RunReport, ParameterSectionIsRewrittenAndTextAppended) {
    ScratchDir dir;
    Param param;
    param.outputFilename = dir.path() + "/run7";
    param.version = 2012;
    param.rkSteps = 250;
    param.setStepWidth(0.005);
    param.randSeedStart = 11;
    param.randSeed = 4000000000u;
    std::string report = dir.file("Paramrun7");
    writeText(report, "stale text of an earlier run\n");

    EXPECT_TRUE(param.toFile());
    param.timeTaken = 3;
    EXPECT_TRUE(param.toFile());
    writeToFile(param, "raster\n");
    writeToFile(param, "grid");

    EXPECT_EQ(readText(report),
              "========================= Param =========================\n"
              "---------------- Calculation Parameters -----------------\n"
              "RungeKuttaSteps: 250\n"
              "RungeKuttaStepWidth: 0.005\n"
              "Random Seed (start): 11\n"
              "Random Seed (end): 4000000000\n"
              "\n"
              "----------------------- Simulation ----------------------\n"
              "Version: 2012\n"
              "TimeTaken(sec): 3\n"
              "\n"
              "\n"
              "raster\n"
              "grid");
}

TEST(RunReport, SwitchedOffTouchesNoFile) {
    ScratchDir dir;
    Param param;
    param.outputFilename = dir.path() + "/x";
    param.writeParamFile = false;
    writeText(dir.file("Paramx"), "keep");
    EXPECT_FALSE(param.toFile());
    writeToFile(param, "more");
    EXPECT_EQ(readText(dir.file("Paramx")), "keep");
}

TEST(RunReport, MissingDirectoryWarnsOnceAndWritesNothing) {
    ScratchDir dir;
    Param param;
    param.outputFilename = dir.path() + "/absent/run";
    std::string report = dir.path() + "/absent/Paramrun";
    testing::internal::CaptureStderr();
    EXPECT_TRUE(param.toFile());
    param.toFile();
    writeToFile(param, "text");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "tessaly: warning: cannot write " + report + ": " + std::strerror(ENOENT) + "\n");
    EXPECT_FALSE(fileExists(report));
}

TEST(GraphVizMarker, EmptyFileNamedAfterTheWholeOutputName) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("GraphVizout").c_str(), 0755), 0);
    inDirectory(dir.path(), [&] {
        Param param;
        EXPECT_TRUE(param.toGraphViz());
        param.outputFilename = "out/run7";
        EXPECT_TRUE(param.toGraphViz());
        writeText("GraphVizout/run7", "existing");
        EXPECT_TRUE(param.toGraphViz());

        param.outputFilename = "elsewhere/run7";
        testing::internal::CaptureStderr();
        EXPECT_TRUE(param.toGraphViz());
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("cannot write GraphVizelsewhere/run7"), std::string::npos) << err;
    });
    EXPECT_EQ(fileSize(dir.file("GraphViz00")), 0);
    EXPECT_EQ(readText(dir.file("GraphVizout/run7")), "existing");
    EXPECT_FALSE(fileExists(dir.file("out")));
}
