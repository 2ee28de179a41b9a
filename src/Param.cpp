#include "Param.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>

#include "CodeUtils.h"

namespace {

// ceil(steps / every) as an int. A save interval of 0 has no step count: the
// count is then 0 and the user is told which key caused it.
int savedStepCount(int steps, int every, const char* key) {
    if (every == 0) {
        CodeUtils::warn(std::string("\"") + key +
                        "\" is 0, but it must be a non-zero step interval; its saved-step count is set to 0");
        return 0;
    }
    return CodeUtils::truncToInt(std::ceil(static_cast<double>(steps) / every));
}

using Handler = void (*)(Param&, std::ifstream&, std::string&);

struct ParamKey {
    const char* key;
    Handler handle;
};

// Matching order matters only for the order of the checks; every key is a
// whole line, so no key shadows another.
const ParamKey kParamKeys[] = {
    {"Number of nodes",
     [](Param& p, std::ifstream& in, std::string&) { p.numNodes = CodeUtils::readintForKey(in, "Number of nodes"); }},
    {"Single Node K", [](Param& p, std::ifstream& in, std::string&) { p.singleNodeK = CodeUtils::readDouble(in); }},
    {"Kmax", [](Param& p, std::ifstream& in, std::string&) { p.kmax = CodeUtils::readintForKey(in, "Kmax"); }},
    {"Number of b", [](Param& p, std::ifstream& in, std::string&) { p.numB = CodeUtils::readintForKey(in, "Number of b"); }},
    {"Number of gen nets",
     [](Param& p, std::ifstream& in, std::string&) { p.numGenNets = CodeUtils::readintForKey(in, "Number of gen nets"); }},
    {"Edges", [](Param& p, std::ifstream& in, std::string&) { p.edges = CodeUtils::readintForKey(in, "Edges"); }},
    {"Draws", [](Param& p, std::ifstream& in, std::string&) { p.draws = CodeUtils::readintForKey(in, "Draws"); }},
    {"Save omsum every", [](Param& p, std::ifstream& in, std::string&) { p.setSaveOmsum(CodeUtils::readDouble(in)); }},
    {"Save ordpar every", [](Param& p, std::ifstream& in, std::string&) { p.setSaveOrdpar(CodeUtils::readDouble(in)); }},
    {"Convergence value", [](Param& p, std::ifstream& in, std::string&) { p.convergence = CodeUtils::readDouble(in); }},
    {"RK steps", [](Param& p, std::ifstream& in, std::string&) { p.rkSteps = CodeUtils::readintForKey(in, "RK steps"); }},
    {"RK stepwidth", [](Param& p, std::ifstream& in, std::string&) { p.setStepWidth(CodeUtils::readDouble(in)); }},
    {"Save RK every",
     [](Param& p, std::ifstream& in, std::string&) {
         p.saveRKEvery = CodeUtils::readintForKey(in, "Save RK every");
         p.rkSaveSteps = savedStepCount(p.rkSteps, p.saveRKEvery, "Save RK every");
     }},
    {"Param",
     [](Param& p, std::ifstream& in, std::string&) { p.writeParamFile = CodeUtils::readintForKey(in, "Param") != 0; }},
    {"Random seed",
     [](Param& p, std::ifstream& in, std::string&) {
         p.randSeed = static_cast<unsigned>(CodeUtils::readintForKey(in, "Random seed"));
         p.randSeedStart = p.randSeed;
     }},
    {"Version",
     [](Param& p, std::ifstream& in, std::string&) {
         if (CodeUtils::readintForKey(in, "Version") != p.version) {
             std::cout << "warning! Version of input does not match program version\n";
         }
     }},
    {"Graphviz", [](Param& p, std::ifstream&, std::string&) { p.graphViz = true; }},
    {"Output filename",
     [](Param& p, std::ifstream& in, std::string& line) {
         line = CodeUtils::nextLine(in);
         p.outputFilename = line;
         p.outputFilenameCopy = line;
     }},
    {"Power pert span vec", [](Param& p, std::ifstream& in, std::string&) { CodeUtils::readDVec(in, &p.ppSpanVec); }},
    {"Power pert init", [](Param& p, std::ifstream& in, std::string&) { p.ppInit = CodeUtils::readDouble(in); }},
    {"Power pert steps",
     [](Param& p, std::ifstream& in, std::string&) { p.ppSteps = CodeUtils::readintForKey(in, "Power pert steps"); }},
    {"Power pert step width", [](Param& p, std::ifstream& in, std::string&) { p.ppStepWidth = CodeUtils::readDouble(in); }},
    {"Power pert span", [](Param& p, std::ifstream& in, std::string&) { p.setPPRKSteps(CodeUtils::readDouble(in)); }},
    {"Energy thresh", [](Param& p, std::ifstream& in, std::string&) { p.enThresh = CodeUtils::readDouble(in); }},
    {"Poisson process",
     [](Param& p, std::ifstream& in, std::string&) {
         p.poissonOn = 1;
         p.poissonRate = CodeUtils::readDouble(in);
         p.poissonAmp = CodeUtils::readDouble(in);
     }},
    {"Telegraphic process",
     [](Param& p, std::ifstream& in, std::string&) {
         p.telegValues.clear();
         p.telegraphOn = 1;
         p.telegRateA = CodeUtils::readDouble(in);
         p.telegRateB = CodeUtils::readDouble(in);
         p.telegRateBInv = 1 / p.telegRateB;
         p.telegRateAInv = 1 / p.telegRateA;
         p.telegValue = CodeUtils::readDouble(in);
         p.telegValues.push_back(CodeUtils::readDouble(in));
     }},
    {"Standard deviation", [](Param& p, std::ifstream& in, std::string&) { p.setSigma(CodeUtils::readDouble(in)); }},
    {"Intermittent parameter",
     [](Param& p, std::ifstream& in, std::string&) {
         p.intermitParam = CodeUtils::readDouble(in);
         p.setIntermit(p.intermitParam);
     }},
    {"Number of stddev values",
     [](Param& p, std::ifstream& in, std::string&) {
         p.numSigmaValues = CodeUtils::readintForKey(in, "Number of stddev values");
     }},
    {"Stddev stepwidth",
     [](Param& p, std::ifstream& in, std::string& line) {
         // The first line after the key is a label; the value follows it.
         line = CodeUtils::nextLine(in);
         p.sigmaStep = CodeUtils::readDouble(in);
         if (p.numSigmaValues > 1) p.sigma = p.sigma - p.sigmaStep;
     }},
    {"Mode stoch inp", [](Param& p, std::ifstream&, std::string&) { p.modeStochInp = true; }},
    {"Mode sif",
     [](Param& p, std::ifstream&, std::string&) {
         p.modeSif = true;
         p.modeStochInp = true;
     }},
    {"Mode stepfunc",
     [](Param& p, std::ifstream&, std::string&) {
         p.modeStepFun = true;
         p.modeStochInp = true;
     }},
    {"Mode given series",
     [](Param& p, std::ifstream&, std::string&) {
         p.modeGivenSeries = true;
         p.modeStochInp = true;
     }},
    {"Mode surv", [](Param& p, std::ifstream&, std::string&) { p.modeSurv = true; }},
    {"Mode surv all", [](Param& p, std::ifstream&, std::string&) { p.modeSurvivall = true; }},
    {"Mode stoch casc", [](Param& p, std::ifstream&, std::string&) { p.modeStochCASC = true; }},
    {"Mode stoch lf", [](Param& p, std::ifstream&, std::string&) { p.modeStochLf = true; }},
    {"Mode raster rt", [](Param& p, std::ifstream&, std::string&) { p.modeRasterRt = true; }},
    {"Mode RMRT", [](Param& p, std::ifstream&, std::string&) { p.modeRMRT = true; }},
    {"Mode save traj", [](Param& p, std::ifstream&, std::string&) { p.modeStraj = true; }},
    {"Mode ERT", [](Param& p, std::ifstream&, std::string&) { p.modeERT = true; }},
    {"Mode PPERT", [](Param& p, std::ifstream&, std::string&) { p.modePPert = true; }},
    {"Mode NRonly", [](Param& p, std::ifstream&, std::string&) { p.nrOnly = true; }},
    {"Mode Raster", [](Param& p, std::ifstream&, std::string&) { p.modeRaster = true; }},
    {"Mode maxp", [](Param& p, std::ifstream&, std::string&) { p.modeMaxp = true; }},
    {"Mode fast", [](Param& p, std::ifstream&, std::string&) { p.modeFast = true; }},
    {"Mode test stoch", [](Param& p, std::ifstream&, std::string&) { p.testStoch = true; }},
    {"Mode iterative net", [](Param& p, std::ifstream&, std::string&) { p.modeIterativeNetgen = true; }},
    {"Mode rewire net", [](Param& p, std::ifstream&, std::string&) { p.modeRewireNetgen = true; }},
    {"Mode mean rt", [](Param& p, std::ifstream&, std::string&) { p.modeMeanRetTimes = true; }},
};

bool isComment(const std::string& line) { return line.compare(0, 2, "//") == 0; }

}  // namespace

Param::Param()
    : modeRasterRt(false),
      modeRMRT(false),
      modeMeanRetTimes(false),
      modeERT(false),
      modePPert(false),
      modeMaxpOnly(false),
      modeMaxp(false),
      nrOnly(false),
      modeStochInp(false),
      modeSif(false),
      modeStepFun(false),
      modeGivenSeries(false),
      modeSurv(false),
      modeSurvivall(false),
      modeStochCASC(false),
      modeStochLf(false),
      testStoch(false),
      modeStraj(false),
      modeIterativeNetgen(false),
      modeRewireNetgen(false),
      modeRaster(false),
      modeFast(false),
      graphViz(false),
      writeParamFile(true),
      kmax(8.0),
      singleNodeK(8.0),
      kurtosis(0),
      convergence(1.0),
      stepWidth(0.01),
      stepWidthSqrt(0),
      timeTaken(0),
      enThresh(0.1),
      sigma(0.01),
      logSigma(1.0),
      sigmaStep(0),
      logNormMu(std::log(0.01)),
      intermit(0),
      intermitParam(0),
      poissonRate(0.1),
      poissonRateInv(10.0),
      poissonAmp(1.0),
      telegValue(0),
      telegRateA(0),
      telegRateB(0),
      telegRateAInv(0),
      telegRateBInv(0),
      ppInit(1.0),
      ppStepWidth(1.0),
      version(0),
      numNodes(1),
      rkSteps(100),
      saveRKEvery(98),
      saveOrdparEvery(2147483647),
      saveOmsumEvery(2147483647),
      rkSaveSteps(2),
      omsumSteps(100),
      ordparSteps(100),
      draws(500),
      numGenNets(1),
      edges(1),
      numSigmaValues(1),
      numB(1),
      sigmaOn(0),
      telegraphOn(0),
      poissonOn(0),
      ppSteps(1),
      ppRKSteps(0),
      randSeed(static_cast<unsigned>(time(nullptr))),
      randSeedStart(randSeed),
      outputFilename("00"),
      sigmaQuad(0.0001),
      enRetReached(false),
      enRetTime(std::numeric_limits<double>::infinity()) {}

bool Param::readParamsFromFile(std::string fileName) {
    std::ifstream in(fileName);
    if (!in.is_open()) return false;
    std::cout << "-------------------- Param reading " << " --------------------\n";

    std::string line = "0";
    while (!line.empty()) {
        line = CodeUtils::nextLine(in);
        if (isComment(line)) continue;
        for (const ParamKey& entry : kParamKeys) {
            if (!CodeUtils::lineIs(line, entry.key)) continue;
            std::string keyLine = line;
            entry.handle(*this, in, line);
            std::cout << "read " << keyLine << '\n';
            break;
        }
    }

    if (modeMaxp && !modeRMRT && !modeERT && !modeRaster) modeMaxpOnly = true;
    return true;
}

void Param::setStepWidth(double h) {
    stepWidth = h;
    stepWidthSqrt = std::sqrt(h);
}

void Param::setSigma(double s) {
    sigma = s;
    sigmaQuad = s * s;
    if (s == 0) {
        sigmaOn = 0;
    } else {
        sigmaOn = 1;
        logSigma = std::log(s);
    }
}

void Param::setIntermit(double q) {
    intermit = q;
    double q2 = q * q;
    logNormMu = std::log(sigma) - 0.5 * q2;
    kurtosis = std::exp(4 * q2) + 2 * std::exp(3 * q2) + 3 * std::exp(2 * q2) - 6;
}

void Param::setPoissonRate(double r) {
    poissonRate = r;
    poissonRateInv = 1 / r;
}

void Param::setTelegRate(double a, double b) {
    telegRateA = a;
    telegRateB = b;
    telegRateAInv = 1 / a;
    telegRateBInv = 1 / b;
}

void Param::setSaveOmsum(double every) {
    saveOmsumEvery = CodeUtils::truncToInt(every);
    omsumSteps = savedStepCount(rkSteps, saveOmsumEvery, "Save omsum every");
}

void Param::setSaveOrdpar(double every) {
    saveOrdparEvery = CodeUtils::truncToInt(every);
    ordparSteps = savedStepCount(rkSteps, saveOrdparEvery, "Save ordpar every");
}

void Param::setPPRKSteps(double span) {
    if (stepWidth == 0) {
        CodeUtils::warn("\"Power pert span\" needs a non-zero \"RK stepwidth\", but the step width is 0; "
                        "its step count is set to 0");
        ppRKSteps = 0;
        return;
    }
    ppRKSteps = CodeUtils::truncToInt(span / stepWidth);
}

void Param::resetFlanks() {
    std::size_t nodes = numNodes > 0 ? static_cast<std::size_t>(numNodes) : 0;
    flanksA.assign(nodes, std::vector<double>());
    flanksB.assign(nodes, std::vector<double>());
}

void Param::initAll(int n) { initVec.assign(n > 0 ? static_cast<std::size_t>(n) : 0, 0.0); }

// ---- result paths and the run report ---------------------------------------------

std::string Param::getOfile(std::string selector) const {
    std::size_t slash = outputFilename.rfind('/');
    if (selector == "path") return slash == std::string::npos ? std::string() : outputFilename.substr(0, slash + 1);
    if (selector == "file") return slash == std::string::npos ? outputFilename : outputFilename.substr(slash + 1);
    return outputFilename;
}

std::string Param::reportFileName() const { return getOfile("path") + "Param" + getOfile("file"); }

bool Param::toFile() {
    if (!writeParamFile) return false;
    std::string name = reportFileName();
    std::remove(name.c_str());
    std::ofstream out(name, std::ios::app);
    if (!out.is_open()) {
        CodeUtils::warnUnwritable(name);
        return true;
    }
    out << "========================= Param =========================\n"
        << "---------------- Calculation Parameters -----------------\n"
        << "RungeKuttaSteps: " << rkSteps << '\n'
        << "RungeKuttaStepWidth: " << stepWidth << '\n'
        << "Random Seed (start): " << randSeedStart << '\n'
        << "Random Seed (end): " << randSeed << '\n'
        << '\n'
        << "----------------------- Simulation ----------------------\n"
        << "Version: " << version << '\n'
        << "TimeTaken(sec): " << timeTaken << '\n'
        << '\n'
        << '\n';
    out.close();
    if (out.fail()) CodeUtils::warnUnwritable(name);
    return true;
}

bool Param::toGraphViz() {
    std::string name = "GraphViz" + outputFilename;
    std::ofstream out(name, std::ios::app);
    if (!out.is_open()) CodeUtils::warnUnwritable(name);
    return true;
}
