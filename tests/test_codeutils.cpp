// Line grammar, value readers, list parsing and the numeric helpers.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "util/CodeUtils.h"
#include "input/InputText.h"
#include "TestSupport.h"
#include "diagnostics/Diagnostics.h"
#include "input/InputValues.h"

using testsupport::ScratchDir;
using testsupport::writeText;

namespace {

InputText openWith(const ScratchDir& dir, const std::string& text) {
    std::string path = dir.file("in.txt");
    writeText(path, text);
    return InputText(path);
}

std::vector<double> doubles(std::initializer_list<double> values) { return std::vector<double>(values); }

}  // namespace

TEST(LineIs, TrimsOnlyTheKey) {
    EXPECT_TRUE(CodeUtils::lineIs("RK steps", "RK steps"));
    EXPECT_FALSE(CodeUtils::lineIs("RK steps ", "RK steps"));
    EXPECT_FALSE(CodeUtils::lineIs(" RK steps", "RK steps"));
    EXPECT_FALSE(CodeUtils::lineIs("RK steps\r", "RK steps"));
    EXPECT_TRUE(CodeUtils::lineIs("RK steps", " \tRK steps  "));
    EXPECT_TRUE(CodeUtils::lineIs("", ""));
    EXPECT_FALSE(CodeUtils::lineIs("", "RK steps"));
}

TEST(ReadInt, SkipsBlankLinesAndDiscardsRestOfLine) {
    ScratchDir dir;
    InputText in = openWith(dir, "\n\n42 apples\nnext line\n3.7\n-5\n");
    EXPECT_EQ(InputValues::readint(in), 42);
    EXPECT_EQ(InputValues::nextLine(in), "next line");
    EXPECT_EQ(InputValues::readint(in), 3);
    EXPECT_EQ(InputValues::readint(in), -5);
    EXPECT_FALSE(in.hasFailed());
}

TEST(ReadInt, NonNumberFailsTheStreamForGood) {
    ScratchDir dir;
    InputText in = openWith(dir, "abc\n7\nmore\n");
    EXPECT_EQ(InputValues::readint(in), 0);
    EXPECT_TRUE(in.hasFailed());
    EXPECT_EQ(InputValues::nextLine(in), "");
    EXPECT_EQ(InputValues::readDouble(in), 0.0);
}

TEST(ReadInt, OutOfRangeSaturatesAndFails) {
    ScratchDir dir;
    InputText big = openWith(dir, "99999999999\nafter\n");
    EXPECT_EQ(InputValues::readint(big), INT_MAX);
    EXPECT_TRUE(big.hasFailed());
    EXPECT_EQ(InputValues::nextLine(big), "");

    InputText small = openWith(dir, "-99999999999\n");
    EXPECT_EQ(InputValues::readint(small), INT_MIN);
    EXPECT_TRUE(small.hasFailed());
}

TEST(ReadIntForKey, BadValueWarnsOnceNamingKeyAndLine) {
    ScratchDir dir;
    testing::internal::CaptureStderr();
    for (int reader = 0; reader < 2; ++reader) {
        InputText in = openWith(dir, "Edges\nx12 oops\nnext\n");
        InputValues::nextLine(in);
        EXPECT_EQ(InputValues::readintForKey(in, "Edges"), 0);
        EXPECT_TRUE(in.hasFailed());
        EXPECT_EQ(InputValues::nextLine(in), "");
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("tessaly: warning: "), 0u) << err;
    EXPECT_NE(err.find("\"Edges\""), std::string::npos) << err;
    EXPECT_NE(err.find("\"x12 oops\""), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "expected a single warning line: " << err;
}

TEST(ReadIntForKey, MissingValueAtEndOfFileWarns) {
    ScratchDir dir;
    InputText in = openWith(dir, "Kmax");
    InputValues::nextLine(in);
    testing::internal::CaptureStderr();
    EXPECT_EQ(InputValues::readintForKey(in, "Kmax"), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(in.hasFailed());
    EXPECT_NE(err.find("\"Kmax\""), std::string::npos) << err;
}

TEST(ReadDouble, ConvertsTheLeadingNumberOfTheNextLine) {
    ScratchDir dir;
    InputText in = openWith(dir, "  2.5e-3 word\n\nletters\n7");
    EXPECT_DOUBLE_EQ(InputValues::readDouble(in), 2.5e-3);
    EXPECT_EQ(InputValues::readDouble(in), 0.0);  // a blank line is not skipped
    EXPECT_EQ(InputValues::readDouble(in), 0.0);
    EXPECT_EQ(InputValues::readDouble(in), 7.0);  // last line without a line feed
    EXPECT_EQ(InputValues::readDouble(in), 0.0);  // end of file
}

TEST(NextLine, LineFeedOrCarriageReturnLineFeedEndsALine) {
    ScratchDir dir;
    InputText in = openWith(dir, "a\r\nb\rc\nlast");
    EXPECT_EQ(InputValues::nextLine(in), "a");
    EXPECT_EQ(InputValues::nextLine(in), "b\rc");
    EXPECT_EQ(InputValues::nextLine(in), "last");
    EXPECT_EQ(InputValues::nextLine(in), "");
    EXPECT_EQ(InputValues::nextLine(in), "");

    // The file is read in chunks; a CR LF may straddle two of them, and a CR
    // may end the file.
    for (std::size_t length : {4095u, 8191u, 8192u, 16383u}) {
        const std::string longLine(length, 'x');
        InputText chunks = openWith(dir, longLine + "\r\n" + longLine + "\r\nend\r");
        EXPECT_EQ(InputValues::nextLine(chunks), longLine) << length;
        EXPECT_EQ(InputValues::nextLine(chunks), longLine) << length;
        EXPECT_EQ(InputValues::nextLine(chunks), "end\r") << length;
        EXPECT_EQ(chunks.lineNumber(), 3);
    }
}

TEST(ListParsing, TakesTheLeadingRunOfNumbers) {
    EXPECT_EQ(CodeUtils::lineToDoubleVec(""), doubles({}));
    EXPECT_EQ(CodeUtils::lineToDoubleVec("   \t "), doubles({}));
    EXPECT_EQ(CodeUtils::lineToDoubleVec("  1 2\t3  "), doubles({1, 2, 3}));
    EXPECT_EQ(CodeUtils::lineToDoubleVec("Mode surv"), doubles({}));
    EXPECT_EQ(CodeUtils::lineToDoubleVec("1 2 x 4"), doubles({1, 2}));
    EXPECT_EQ(CodeUtils::lineToDoubleVec("1,2"), doubles({1}));
    EXPECT_EQ(CodeUtils::lineToDoubleVec("-1.5e2 .25\r"), doubles({-150, 0.25}));
    EXPECT_EQ(CodeUtils::lineToIntVec("4 5.5 6"), std::vector<int>({4, 5}));
    EXPECT_EQ(CodeUtils::lineToIntVec(" 7 -8 "), std::vector<int>({7, -8}));
    EXPECT_EQ(CodeUtils::lineToIntVec("99999999999 1"), std::vector<int>({INT_MAX, 1}));
}

TEST(ReadDVec, PointerFormReplacesContents) {
    ScratchDir dir;
    InputText in = openWith(dir, "1 2 3\n\n");
    std::vector<double> target{7, 8, 9, 10};
    InputValues::readDVec(in, &target);
    EXPECT_EQ(target, doubles({1, 2, 3}));
    InputValues::readDVec(in, &target);
    EXPECT_TRUE(target.empty());
}

TEST(ReadDVecFromFile, FirstLineOnlyAndMissingFileIsAnInputError) {
    ScratchDir dir;
    writeText(dir.file("vec.txt"), "0.5 1.5\r\n2.5\n");
    EXPECT_EQ(InputValues::readDVecFromFile(dir.file("vec.txt"), "Power mech ext"), doubles({0.5, 1.5}));
    for (const std::string& unreadable : {dir.file("missing.txt"), dir.path()}) {
        try {
            InputValues::readDVecFromFile(unreadable, "Power mech ext");
            ADD_FAILURE() << "no error for " << unreadable;
        } catch (const InputError& error) {
            EXPECT_EQ(std::string(error.what()).find("\"Power mech ext\" names the file \"" + unreadable + "\""), 0u)
                << error.what();
        }
    }
}

TEST(MatrixReaders, StopAtFirstNonNumericLineAndHandItBack) {
    ScratchDir dir;
    InputText in = openWith(dir, "1 2\n3 4 5\nMode surv\n6\n");
    std::string handBack = "unchanged";
    auto rows = InputValues::readDMatArb(in, handBack);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], doubles({1, 2}));
    EXPECT_EQ(rows[1], doubles({3, 4, 5}));
    EXPECT_EQ(handBack, "Mode surv");
    EXPECT_EQ(InputValues::nextLine(in), "6");

    InputText ints = openWith(dir, "1 2\n3");
    auto intRows = InputValues::readIntMatArb(ints, handBack);
    ASSERT_EQ(intRows.size(), 2u);
    EXPECT_EQ(intRows[1], std::vector<int>({3}));
    EXPECT_EQ(handBack, "");  // the end of the file reads as an empty line
}

TEST(MatrixReaders, ExternalMatrixStopsAtFirstEmptyLine) {
    ScratchDir dir;
    writeText(dir.file("m.txt"), "1 2\r\nx\r\n\r\n5 6\r\n");
    auto rows = InputValues::readExtDMat(dir.file("m.txt"), "Coupling mag ext");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], doubles({1, 2}));
    EXPECT_TRUE(rows[1].empty());
    EXPECT_THROW(InputValues::readExtDMat(dir.file("missing.txt"), "Coupling mag ext"), InputError);

    writeText(dir.file("n.txt"), "1\n2");
    EXPECT_EQ(InputValues::readExtDMat(dir.file("n.txt"), "Coupling mag ext").size(), 2u);
}

TEST(SmallerAngle, WrapsIntoOnePeriodAroundZero) {
    EXPECT_EQ(CodeUtils::smallerAngle(0), 0.0);
    EXPECT_EQ(CodeUtils::smallerAngle(3.2), std::fmod(3.2 + 3.14159265359, 6.28318530718) - 3.14159265359);
    EXPECT_NEAR(CodeUtils::smallerAngle(3.2), 3.2 - 6.28318530718, 1e-12);
    EXPECT_NEAR(CodeUtils::smallerAngle(-3.2), 6.28318530718 - 3.2, 1e-12);
    EXPECT_NEAR(CodeUtils::smallerAngle(7), 7 - 6.28318530718, 1e-12);
    EXPECT_EQ(CodeUtils::smallerAngle(3.14159265359), -3.14159265359);
    EXPECT_EQ(CodeUtils::smallerAngle(-3.14159265359), 3.14159265359);
    EXPECT_EQ(CodeUtils::smallerAngle(1.0), 1.0);
    EXPECT_TRUE(std::isnan(CodeUtils::smallerAngle(std::nan(""))));
}

// The wrap skips fmod for angles already in range; every bit, NaN sign and
// payload included, must stay what the plain formula gives.
TEST(SmallerAngle, SameBitsAsThePlainFormulaEverywhere) {
    const double pi = 3.14159265359;
    const double twoPi = 6.28318530718;
    // The sign is volatile so that the product stays a multiplication: the
    // compiler may otherwise turn it into a negation, which flips a NaN's
    // sign bit where the multiplication keeps it.
    auto plain = [&](double x) {
        double r = std::fmod(std::fabs(x) + pi, twoPi) - pi;
        volatile double sign = x > 0 ? 1.0 : (x < 0 ? -1.0 : 0.0);
        return r * sign;
    };
    auto bitsOf = [](double x) {
        uint64_t b;
        std::memcpy(&b, &x, sizeof b);
        return b;
    };
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> xs = {0.0, -0.0, 1.0, -1.0, 1e-300, -5e-324, 3.2, -3.2, 7, 1e17, -1e300, inf, -inf,
                              std::nan(""), -std::nan(""), std::nan("0x5"), std::numeric_limits<double>::max()};
    // Around the two constants, and around the largest |x| whose |x| + pi stays below twoPi.
    for (double edge : {pi, twoPi, twoPi - pi, 2 * pi}) {
        double up = edge, down = edge;
        for (int k = 0; k < 8; ++k) {
            xs.push_back(up), xs.push_back(-up), xs.push_back(down), xs.push_back(-down);
            up = std::nextafter(up, inf);
            down = std::nextafter(down, -inf);
        }
    }
    for (double x : xs) EXPECT_EQ(bitsOf(CodeUtils::smallerAngle(x)), bitsOf(plain(x))) << x;
    EXPECT_EQ(bitsOf(CodeUtils::smallerAngle(-0.0)), bitsOf(0.0));
}

TEST(Sums, EdgeCases) {
    const int ints[] = {-3, 4, INT_MIN};
    EXPECT_EQ(CodeUtils::AbsArrISum(ints, 2), 7);
    EXPECT_EQ(CodeUtils::AbsArrISum(ints, 3), INT_MAX);  // saturates instead of overflowing
    const double a[] = {1, -2, std::nan("")};
    EXPECT_EQ(CodeUtils::dAbsArrSum(a, 2), 3.0);
    EXPECT_EQ(CodeUtils::dArrSum(a, 0), 0.0);
    EXPECT_TRUE(CodeUtils::anynan(a, 3));
    EXPECT_FALSE(CodeUtils::anynan(a, 2));
    EXPECT_EQ(CodeUtils::dvecMean({1, 2, 6}), 3.0);
    EXPECT_TRUE(std::isnan(CodeUtils::dvecMean({})));
}

TEST(SampleGrids, LinspaceAndLogspace) {
    EXPECT_EQ(CodeUtils::linspace(0, 1, 5), doubles({0, 0.25, 0.5, 0.75, 1}));
    EXPECT_EQ(CodeUtils::linspace(2, 9, 1), doubles({2}));
    EXPECT_TRUE(CodeUtils::linspace(0, 1, 0).empty());
    std::vector<double> logs = CodeUtils::logspace(0.01, 100, 5);
    ASSERT_EQ(logs.size(), 5u);
    EXPECT_EQ(logs[0], static_cast<double>(std::pow(10.0f, static_cast<float>(std::log10(0.01)))));
    EXPECT_NEAR(logs[2], 1.0, 1e-6);
    EXPECT_NEAR(logs[4], 100.0, 1e-4);
    EXPECT_EQ(logs[4], static_cast<double>(static_cast<float>(logs[4])));  // single precision
    EXPECT_EQ(CodeUtils::logspace(3, 30, 1), doubles({3}));
}

TEST(Random, DrawsFromTheStandardGenerator) {
    srand(7);
    int first = rand();
    srand(7);
    EXPECT_EQ(CodeUtils::randD(0, 2), 2 * (first / 2147483647.0));
    EXPECT_EQ(CodeUtils::randD(4.5, 4.5), 4.5);
    CodeUtils::randInt(INT_MIN, INT_MAX);  // the widest range must not overflow
}

TEST(TruncToInt, SaturatesInsteadOfOverflowing) {
    EXPECT_EQ(CodeUtils::truncToInt(-3.9), -3);
    EXPECT_EQ(CodeUtils::truncToInt(1e300), INT_MAX);
    EXPECT_EQ(CodeUtils::truncToInt(-std::numeric_limits<double>::infinity()), INT_MIN);
    EXPECT_EQ(CodeUtils::truncToInt(std::nan("")), 0);
}

TEST(TextOutput, DefaultStreamFormat) {
    EXPECT_EQ(CodeUtils::d2Str(0.1), "0.1");
    EXPECT_EQ(CodeUtils::d2Str(1234567.0), "1.23457e+06");
    EXPECT_EQ(CodeUtils::ivec2str({}), "\n");
    EXPECT_EQ(CodeUtils::ivec2str({1, 2}), "1 2 \n");
    EXPECT_EQ(CodeUtils::dvec2str({0.5, -1}), "0.5 -1 \n");
}
