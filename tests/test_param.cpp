// The parameter set: defaults, setters and the parameter keys of the input file.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "input/Param.h"
#include "TestSupport.h"

using testsupport::ScratchDir;
using testsupport::writeText;

namespace {

struct ReadResult {
    bool ok;
    std::string out;
    std::string err;
};

// Reads `text` as an input file into `param`, capturing the console.
ReadResult readInto(Param& param, const std::string& text) {
    ScratchDir dir;
    writeText(dir.file("input.txt"), text);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bool ok = param.readParamsFromFile(dir.file("input.txt"));
    ReadResult r{ok, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    return r;
}

const char* const kHeader = "-------------------- Param reading  --------------------\n";

Param fresh() {
    Param p;
    p.version = 2012;
    return p;
}

}  // namespace

TEST(ParamDefaults, DerivedDefaultsAreConsistent) {
    Param p;
    EXPECT_EQ(p.randSeed, p.randSeedStart);
    EXPECT_EQ(p.logNormMu, std::log(0.01));
    EXPECT_EQ(p.rkSaveSteps, 2);  // ceil(100 / 98)
    EXPECT_EQ(p.outputFilename, "00");
    EXPECT_TRUE(p.writeParamFile);
}

TEST(ParamSetters, KeepDerivedValuesInStep) {
    Param p;
    p.setSigma(0.5);
    p.setSigma(0);
    EXPECT_EQ(p.sigmaOn, 0);
    EXPECT_EQ(p.sigmaQuad, 0.0);
    EXPECT_EQ(p.logSigma, std::log(0.5));  // kept from the last non-zero sigma
    p.setSigma(2);
    p.setIntermit(0.5);
    EXPECT_EQ(p.logNormMu, std::log(2.0) - 0.125);
    EXPECT_EQ(p.kurtosis, std::exp(1.0) + 2 * std::exp(0.75) + 3 * std::exp(0.5) - 6);
    p.rkSteps = 10;
    p.setSaveOmsum(3.9);
    EXPECT_EQ(p.saveOmsumEvery, 3);
    EXPECT_EQ(p.omsumSteps, 4);
    p.setStepWidth(0.25);
    p.setPPRKSteps(1.9);
    EXPECT_EQ(p.ppRKSteps, 7);
    p.numNodes = 3;
    p.flanksA.assign(5, {1.0});
    p.resetFlanks();
    EXPECT_EQ(p.flanksA, std::vector<std::vector<double>>(3));
    EXPECT_EQ(p.flanksB.size(), 3u);
    p.initAll(-1);
    EXPECT_TRUE(p.initVec.empty());
}

TEST(ParamFile, MissingOrEmptyFile) {
    Param p = fresh();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(p.readParamsFromFile("/nonexistent/dir/input.txt"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ReadResult r = readInto(p, "");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, kHeader);
}

TEST(ParamFile, ReadsEveryValueForm) {
    Param p = fresh();
    ReadResult r = readInto(p,
                            "Number of nodes\n7\n"
                            "// Mode surv\n"
                            "Kmax\n12 ignored\n"
                            "Single Node K\n  3.5xyz\n"
                            "RK steps\n\n\n300\n"
                            "RK stepwidth\n0.0025\n"
                            "Random seed\n-1\n"
                            "Output filename\nout/run7\n"
                            "Power pert span vec\n0.1 0.2 x 0.3\n"
                            "Poisson process\n0.5\n2\n"
                            "Telegraphic process\n1\n4\n0.3\n9\n"
                            "Telegraphic process\n2\n8\n0.6\n10\n"
                            "Mode given series\n"
                            "Mode stoch casc\n"
                            "Graphviz\n"
                            "Param\n0\n"
                            "unknown line\n"
                            "Mode surv \n"
                            "Mode ERT\r\n"
                            "Mode mean rt\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, std::string(kHeader) +
                         "read Number of nodes\nread Kmax\nread Single Node K\nread RK steps\n"
                         "read RK stepwidth\nread Random seed\nread Output filename\n"
                         "read Power pert span vec\nread Poisson process\nread Telegraphic process\n"
                         "read Telegraphic process\nread Mode given series\nread Mode stoch casc\n"
                         "read Graphviz\nread Param\nread Mode ERT\nread Mode mean rt\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(p.numNodes, 7);
    EXPECT_EQ(p.kmax, 12.0);
    EXPECT_EQ(p.singleNodeK, 3.5);
    EXPECT_EQ(p.rkSteps, 300);
    EXPECT_EQ(p.stepWidth, 0.0025);
    EXPECT_EQ(p.stepWidthSqrt, 0.05);
    EXPECT_EQ(p.randSeed, 4294967295u);
    EXPECT_EQ(p.randSeedStart, 4294967295u);
    EXPECT_EQ(p.outputFilename, "out/run7");
    EXPECT_EQ(p.outputFilenameCopy, "out/run7");
    EXPECT_EQ(p.ppSpanVec, std::vector<double>({0.1, 0.2}));
    EXPECT_EQ(p.poissonOn, 1);
    EXPECT_EQ(p.poissonRate, 0.5);
    EXPECT_EQ(p.poissonAmp, 2.0);
    EXPECT_EQ(p.poissonRateInv, 10.0);  // only setPoissonRate keeps the inverse
    EXPECT_EQ(p.telegraphOn, 1);
    EXPECT_EQ(p.telegRateAInv, 0.5);
    EXPECT_EQ(p.telegRateBInv, 0.125);
    EXPECT_EQ(p.telegValue, 0.6);
    EXPECT_EQ(p.telegValues, std::vector<double>({10}));
    EXPECT_TRUE(p.modeGivenSeries && p.modeStochInp && p.modeStochCASC && p.graphViz && p.modeMeanRetTimes);
    EXPECT_TRUE(p.modeERT);  // its CR LF line end reads as LF
    EXPECT_FALSE(p.modeSurv);
    EXPECT_FALSE(p.writeParamFile);
}

TEST(ParamFile, ReadingEndsAtTheFirstEmptyLine) {
    Param p = fresh();
    ReadResult r = readInto(p, "Mode RMRT\n\nMode ERT\n");
    EXPECT_EQ(r.out, std::string(kHeader) + "read Mode RMRT\n");
    EXPECT_TRUE(p.modeRMRT);
    EXPECT_FALSE(p.modeERT);
}

TEST(ParamFile, LastKeyWithoutFinalLineFeedIsReadOnce) {
    Param p = fresh();
    ReadResult r = readInto(p, "Draws\n17\nMode surv");
    EXPECT_EQ(r.out, std::string(kHeader) + "read Draws\nread Mode surv\n");
    EXPECT_EQ(p.draws, 17);
    EXPECT_TRUE(p.modeSurv);

    // A value on the last line is a complete value: no warning about it.
    Param q = fresh();
    ReadResult last = readInto(q, "Draws\n23");
    EXPECT_EQ(q.draws, 23);
    EXPECT_EQ(last.err, "");
}

TEST(ParamFile, CarriageReturnLineFeedReadsAsLineFeed) {
    Param p = fresh();
    ReadResult r = readInto(p, "RK steps\r\n5\r\nOutput filename\r\nrun\r\nMode RMRT\r\n\r\nMode ERT\r\n");
    EXPECT_EQ(r.out, std::string(kHeader) + "read RK steps\nread Output filename\nread Mode RMRT\n");
    EXPECT_EQ(p.rkSteps, 5);
    EXPECT_EQ(p.outputFilename, "run");
    EXPECT_TRUE(p.modeRMRT);
    EXPECT_FALSE(p.modeERT);  // after the empty line

    // A CR that does not end a line stays part of it.
    Param q = fresh();
    r = readInto(q, "Mode RMRT\r \nOutput filename\na\rb\n");
    EXPECT_FALSE(q.modeRMRT);
    EXPECT_EQ(q.outputFilename, "a\rb");
}

TEST(ParamFile, LineValuesCanEndTheReading) {
    Param p = fresh();
    ReadResult r = readInto(p, "Output filename\n\nMode ERT\n");
    EXPECT_EQ(r.out, std::string(kHeader) + "read Output filename\n");
    EXPECT_EQ(p.outputFilename, "");
    EXPECT_FALSE(p.modeERT);

    Param q = fresh();
    r = readInto(q, "Number of stddev values\n3\nStandard deviation\n2\nStddev stepwidth\n\n0.5\nMode ERT\n");
    EXPECT_EQ(q.sigmaStep, 0.5);
    EXPECT_EQ(q.sigma, 1.5);
    EXPECT_FALSE(q.modeERT);
}

TEST(ParamFile, StddevStepwidthSkipsALabelLine) {
    Param p = fresh();
    readInto(p, "Stddev stepwidth\nany text\n0.5\nMode ERT\n");
    EXPECT_EQ(p.sigmaStep, 0.5);
    EXPECT_EQ(p.sigma, 0.01);  // only lowered with more than one stddev value
    EXPECT_TRUE(p.modeERT);

    Param q = fresh();
    readInto(q, "Standard deviation\n2\nNumber of stddev values\n2\nStddev stepwidth\nlabel\n0.5\n");
    EXPECT_EQ(q.sigma, 1.5);
    EXPECT_EQ(q.sigmaQuad, 4.0);
    EXPECT_EQ(q.logSigma, std::log(2.0));
}

TEST(ParamFile, DerivedCountsUseTheValuesReadSoFar) {
    Param p = fresh();
    readInto(p,
             "Save RK every\n30\nSave omsum every\n7.9\nSave ordpar every\n50\nRK steps\n1000\n"
             "Power pert span\n0.5\nRK stepwidth\n0.1\nIntermittent parameter\n0.5\nStandard deviation\n0\n");
    EXPECT_EQ(p.rkSaveSteps, 4);
    EXPECT_EQ(p.saveOmsumEvery, 7);
    EXPECT_EQ(p.omsumSteps, 15);
    EXPECT_EQ(p.ordparSteps, 2);
    EXPECT_EQ(p.rkSteps, 1000);
    EXPECT_EQ(p.ppRKSteps, 50);
    EXPECT_EQ(p.intermitParam, 0.5);
    EXPECT_EQ(p.logNormMu, std::log(0.01) - 0.125);
    EXPECT_EQ(p.sigmaOn, 0);
    EXPECT_EQ(p.logSigma, 1.0);
}

TEST(ParamFile, ZeroIntervalsGiveZeroCountsWithAWarning) {
    Param p = fresh();
    ReadResult r = readInto(p, "Save RK every\n0\nSave omsum every\n0.5\nRK stepwidth\n0\nPower pert span\n3\n"
                               "Save ordpar every\n1e30\nMode ERT\n");
    EXPECT_EQ(p.rkSaveSteps, 0);
    EXPECT_EQ(p.omsumSteps, 0);
    EXPECT_EQ(p.ppRKSteps, 0);
    EXPECT_EQ(p.saveOrdparEvery, INT_MAX);
    EXPECT_EQ(p.ordparSteps, 1);
    EXPECT_TRUE(p.modeERT);
    EXPECT_NE(r.err.find("\"Save RK every\" is 0"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\"Save omsum every\" is 0"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\"Power pert span\""), std::string::npos) << r.err;
}

TEST(ParamFile, MalformedIntegerStopsReadingWithAWarning) {
    Param p = fresh();
    ReadResult r = readInto(p, "Mode RMRT\nRK steps\nmany\nMode ERT\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, std::string(kHeader) + "read Mode RMRT\nread RK steps\n");
    EXPECT_EQ(p.rkSteps, 0);
    EXPECT_FALSE(p.modeERT);
    EXPECT_NE(r.err.find("tessaly: warning: \"RK steps\""), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\"many\""), std::string::npos) << r.err;
}

TEST(ParamFile, VersionMismatchWarnsBeforeItsReadLine) {
    Param p = fresh();
    ReadResult r = readInto(p, "Version\n2011\nMode ERT\n");
    EXPECT_EQ(r.out, std::string(kHeader) +
                         "warning! Version of input does not match program version\nread Version\nread Mode ERT\n");
    Param q = fresh();
    r = readInto(q, "Version\n2012\n");
    EXPECT_EQ(r.out, std::string(kHeader) + "read Version\n");
}

TEST(ParamFile, MaxpOnlyWhenNoOtherRasterMode) {
    Param alone = fresh();
    readInto(alone, "Mode maxp\n");
    EXPECT_TRUE(alone.modeMaxpOnly);
    for (const char* other : {"Mode RMRT\n", "Mode ERT\n", "Mode Raster\n"}) {
        Param p = fresh();
        readInto(p, std::string(other) + "Mode maxp\n");
        EXPECT_FALSE(p.modeMaxpOnly) << other;
        EXPECT_TRUE(p.modeMaxp);
    }
}

TEST(ParamFile, EveryModeKeySetsItsSwitch) {
    Param p = fresh();
    readInto(p,
             "Mode stoch inp\nMode sif\nMode stepfunc\nMode surv\nMode surv all\nMode stoch lf\n"
             "Mode raster rt\nMode save traj\nMode PPERT\nMode NRonly\nMode test stoch\n"
             "Mode iterative net\nMode rewire net\n");
    EXPECT_TRUE(p.isModeStochInp() && p.isModeSif() && p.isModeStepFun() && p.isModeSurv() &&
                p.isModeSurvivall() && p.isModeStochLf() && p.isModeRasterRt() && p.isModeStraj() &&
                p.isModePPert() && p.isNRonly() && p.isTestStoch() && p.isModeIterativeNetgen() &&
                p.isModeRewireNetgen());
    EXPECT_FALSE(p.isModeGivenSeries() || p.isModeStochCASC() || p.isModeRMRT() || p.isModeMeanRetTimes());
}

TEST(ParamFile, SwitchesOnListsEverySwitchKeyInKeyOrder) {
    const std::vector<std::string> switches = {
        "Graphviz",       "Mode stoch inp",     "Mode sif",        "Mode stepfunc",   "Mode given series",
        "Mode surv",      "Mode surv all",      "Mode stoch casc", "Mode stoch lf",   "Mode raster rt",
        "Mode RMRT",      "Mode save traj",     "Mode ERT",        "Mode PPERT",      "Mode NRonly",
        "Mode Raster",    "Mode maxp",          "Mode fast",       "Mode test stoch", "Mode iterative net",
        "Mode rewire net", "Mode mean rt",      "Cascade restore lines", "Mode contingency",
        "Mode basin",     "Mode linear stability"};
    std::string all;
    for (const std::string& key : Param::keys()) {
        Param p = fresh();
        readInto(p, key + "\n");
        const std::vector<std::string> on = p.switchesOn();
        const bool isSwitch = std::find(switches.begin(), switches.end(), key) != switches.end();
        // The series modes switch the stochastic analysis on with them.
        EXPECT_EQ(std::find(on.begin(), on.end(), key) != on.end(), isSwitch) << key;
        if (isSwitch) all += key + "\n";
    }
    Param p = fresh();
    readInto(p, all);
    EXPECT_EQ(p.switchesOn(), switches);
}
