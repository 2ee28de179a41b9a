#include "input/Param.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>

#include "util/CodeUtils.h"
#include "input/InputText.h"
#include "output/ResultPaths.h"
#include "input/InputValues.h"
#include "diagnostics/Diagnostics.h"

namespace {

// ceil(steps / every) as an int. A save interval of 0 has no step count: the
// count is then 0 and the user is told which key caused it.
int savedStepCount(int steps, int every, const char* key) {
    if (every == 0) {
        Diagnostics::warn(std::string("\"") + key +
                        "\" is 0, but it must be a non-zero step interval; its saved-step count is set to 0");
        return 0;
    }
    return CodeUtils::truncToInt(std::ceil(static_cast<double>(steps) / every));
}

// Matching order matters only for the order of the checks; every key is a
// whole line, so no key shadows another.
const ReaderKey<Param> kParamKeys[] = {
    {"Number of nodes",
     [](Param& p, ReaderCursor& c) { p.numNodes = InputValues::readintForKey(c.in, "Number of nodes"); }},
    {"Single Node K", [](Param& p, ReaderCursor& c) { p.singleNodeK = InputValues::readDouble(c.in); }},
    {"Kmax", [](Param& p, ReaderCursor& c) { p.kmax = InputValues::readintForKey(c.in, "Kmax"); }},
    {"Number of b", [](Param& p, ReaderCursor& c) { p.numB = InputValues::readintForKey(c.in, "Number of b"); }},
    {"Number of gen nets",
     [](Param& p, ReaderCursor& c) { p.numGenNets = InputValues::readintForKey(c.in, "Number of gen nets"); }},
    {"Edges", [](Param& p, ReaderCursor& c) { p.edges = InputValues::readintForKey(c.in, "Edges"); }},
    {"Draws", [](Param& p, ReaderCursor& c) { p.draws = InputValues::readintForKey(c.in, "Draws"); }},
    {"Save omsum every", [](Param& p, ReaderCursor& c) { p.setSaveOmsum(InputValues::readDouble(c.in)); }},
    {"Save ordpar every", [](Param& p, ReaderCursor& c) { p.setSaveOrdpar(InputValues::readDouble(c.in)); }},
    {"Convergence value", [](Param& p, ReaderCursor& c) { p.convergence = InputValues::readDouble(c.in); }},
    {"RK steps", [](Param& p, ReaderCursor& c) { p.rkSteps = InputValues::readintForKey(c.in, "RK steps"); }},
    {"RK stepwidth", [](Param& p, ReaderCursor& c) { p.setStepWidth(InputValues::readDouble(c.in)); }},
    {"Save RK every",
     [](Param& p, ReaderCursor& c) {
         p.saveRKEvery = InputValues::readintForKey(c.in, "Save RK every");
         p.rkSaveSteps = savedStepCount(p.rkSteps, p.saveRKEvery, "Save RK every");
     }},
    {"Param",
     [](Param& p, ReaderCursor& c) { p.writeParamFile = InputValues::readintForKey(c.in, "Param") != 0; }},
    {"Random seed",
     [](Param& p, ReaderCursor& c) {
         p.randSeed = static_cast<unsigned>(InputValues::readintForKey(c.in, "Random seed"));
         p.randSeedStart = p.randSeed;
     }},
    {"Version",
     [](Param& p, ReaderCursor& c) {
         if (InputValues::readintForKey(c.in, "Version") != p.version) {
             c.console << "warning! Version of input does not match program version\n";
         }
     }},
    {"Graphviz", [](Param& p, ReaderCursor&) { p.graphViz = true; }},
    {"Output filename",
     [](Param& p, ReaderCursor& c) {
         c.line = InputValues::readValueLine(c.in);
         p.outputFilename = c.line;
         p.outputFilenameCopy = c.line;
     }},
    {"Power pert span vec", [](Param& p, ReaderCursor& c) { InputValues::readDVec(c.in, &p.ppSpanVec); }},
    {"Power pert init", [](Param& p, ReaderCursor& c) { p.ppInit = InputValues::readDouble(c.in); }},
    {"Power pert steps",
     [](Param& p, ReaderCursor& c) { p.ppSteps = InputValues::readintForKey(c.in, "Power pert steps"); }},
    {"Power pert step width", [](Param& p, ReaderCursor& c) { p.ppStepWidth = InputValues::readDouble(c.in); }},
    {"Power pert span", [](Param& p, ReaderCursor& c) { p.setPPRKSteps(InputValues::readDouble(c.in)); }},
    {"Energy thresh", [](Param& p, ReaderCursor& c) { p.enThresh = InputValues::readDouble(c.in); }},
    {"Poisson process",
     [](Param& p, ReaderCursor& c) {
         p.poissonOn = 1;
         p.poissonRate = InputValues::readDouble(c.in);
         p.poissonAmp = InputValues::readDouble(c.in);
     }},
    {"Telegraphic process",
     [](Param& p, ReaderCursor& c) {
         p.telegValues.clear();
         p.telegraphOn = 1;
         p.telegRateA = InputValues::readDouble(c.in);
         p.telegRateB = InputValues::readDouble(c.in);
         p.telegRateBInv = 1 / p.telegRateB;
         p.telegRateAInv = 1 / p.telegRateA;
         p.telegValue = InputValues::readDouble(c.in);
         p.telegValues.push_back(InputValues::readDouble(c.in));
     }},
    {"Standard deviation", [](Param& p, ReaderCursor& c) { p.setSigma(InputValues::readDouble(c.in)); }},
    {"Intermittent parameter",
     [](Param& p, ReaderCursor& c) {
         p.intermitParam = InputValues::readDouble(c.in);
         p.setIntermit(p.intermitParam);
     }},
    {"Number of stddev values",
     [](Param& p, ReaderCursor& c) {
         p.numSigmaValues = InputValues::readintForKey(c.in, "Number of stddev values");
     }},
    {"Stddev stepwidth",
     [](Param& p, ReaderCursor& c) {
         // The first line after the key is a label; the value follows it.
         c.line = InputValues::readValueLine(c.in);
         p.sigmaStep = InputValues::readDouble(c.in);
         if (p.numSigmaValues > 1) p.sigma = p.sigma - p.sigmaStep;
     }},
    {"Mode stoch inp", [](Param& p, ReaderCursor&) { p.modeStochInp = true; }},
    {"Mode sif",
     [](Param& p, ReaderCursor&) {
         p.modeSif = true;
         p.modeStochInp = true;
     }},
    {"Mode stepfunc",
     [](Param& p, ReaderCursor&) {
         p.modeStepFun = true;
         p.modeStochInp = true;
     }},
    {"Mode given series",
     [](Param& p, ReaderCursor&) {
         p.modeGivenSeries = true;
         p.modeStochInp = true;
     }},
    {"Mode surv", [](Param& p, ReaderCursor&) { p.modeSurv = true; }},
    {"Mode surv all", [](Param& p, ReaderCursor&) { p.modeSurvivall = true; }},
    {"Mode stoch casc", [](Param& p, ReaderCursor&) { p.modeStochCASC = true; }},
    {"Mode stoch lf", [](Param& p, ReaderCursor&) { p.modeStochLf = true; }},
    {"Mode raster rt", [](Param& p, ReaderCursor&) { p.modeRasterRt = true; }},
    {"Mode RMRT", [](Param& p, ReaderCursor&) { p.modeRMRT = true; }},
    {"Mode save traj", [](Param& p, ReaderCursor&) { p.modeStraj = true; }},
    {"Mode ERT", [](Param& p, ReaderCursor&) { p.modeERT = true; }},
    {"Mode PPERT", [](Param& p, ReaderCursor&) { p.modePPert = true; }},
    {"Mode NRonly", [](Param& p, ReaderCursor&) { p.nrOnly = true; }},
    {"Mode Raster", [](Param& p, ReaderCursor&) { p.modeRaster = true; }},
    {"Mode maxp", [](Param& p, ReaderCursor&) { p.modeMaxp = true; }},
    {"Mode fast", [](Param& p, ReaderCursor&) { p.modeFast = true; }},
    {"Mode test stoch", [](Param& p, ReaderCursor&) { p.testStoch = true; }},
    {"Mode iterative net", [](Param& p, ReaderCursor&) { p.modeIterativeNetgen = true; }},
    {"Mode rewire net", [](Param& p, ReaderCursor&) { p.modeRewireNetgen = true; }},
    {"Mode mean rt", [](Param& p, ReaderCursor&) { p.modeMeanRetTimes = true; }},
    {"Cascade restore lines", [](Param& p, ReaderCursor&) { p.cascadeRestoreLines = true; }},
    {"Mode contingency", [](Param& p, ReaderCursor&) { p.modeContingency = true; }},
    {"Mode basin", [](Param& p, ReaderCursor&) { p.modeBasin = true; }},
    {"Mode linear stability", [](Param& p, ReaderCursor&) { p.modeLinearStability = true; }},
};

// The keys that are switches (a key line alone turns the flag on), for the
// list of switches a run had on.
struct SwitchKey {
    const char* key;
    bool Param::*flag;
};

const SwitchKey kSwitchKeys[] = {
    {"Graphviz", &Param::graphViz},
    {"Mode stoch inp", &Param::modeStochInp},
    {"Mode sif", &Param::modeSif},
    {"Mode stepfunc", &Param::modeStepFun},
    {"Mode given series", &Param::modeGivenSeries},
    {"Mode surv", &Param::modeSurv},
    {"Mode surv all", &Param::modeSurvivall},
    {"Mode stoch casc", &Param::modeStochCASC},
    {"Mode stoch lf", &Param::modeStochLf},
    {"Mode raster rt", &Param::modeRasterRt},
    {"Mode RMRT", &Param::modeRMRT},
    {"Mode save traj", &Param::modeStraj},
    {"Mode ERT", &Param::modeERT},
    {"Mode PPERT", &Param::modePPert},
    {"Mode NRonly", &Param::nrOnly},
    {"Mode Raster", &Param::modeRaster},
    {"Mode maxp", &Param::modeMaxp},
    {"Mode fast", &Param::modeFast},
    {"Mode test stoch", &Param::testStoch},
    {"Mode iterative net", &Param::modeIterativeNetgen},
    {"Mode rewire net", &Param::modeRewireNetgen},
    {"Mode mean rt", &Param::modeMeanRetTimes},
    {"Cascade restore lines", &Param::cascadeRestoreLines},
    {"Mode contingency", &Param::modeContingency},
    {"Mode basin", &Param::modeBasin},
    {"Mode linear stability", &Param::modeLinearStability},
};

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
      cascadeRestoreLines(false),
      modeFast(false),
      graphViz(false),
      writeParamFile(true),
      modeLinearStability(false),
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
      sigmaQuad(0.0001) {}

bool Param::readParamsFromFile(std::string fileName) {
    InputText in(fileName);
    if (!in.isOpen()) return false;
    read(in, std::cout);
    return true;
}

void Param::read(InputText& in, std::ostream& console) {
    console << "-------------------- Param reading " << " --------------------\n";
    scanBlock(in, console, *this, kParamKeys);
    if (modeMaxp && !modeRMRT && !modeERT && !modeRaster) modeMaxpOnly = true;
}

std::vector<std::string> Param::keys() { return keyNames(kParamKeys); }

std::vector<std::string> Param::switchesOn() const {
    std::vector<std::string> on;
    for (const ReaderKey<Param>& entry : kParamKeys) {
        for (const SwitchKey& switchKey : kSwitchKeys) {
            if (std::string(switchKey.key) == entry.key && this->*switchKey.flag) on.push_back(entry.key);
        }
    }
    return on;
}

void Param::validate() const {
    if (!(std::isfinite(stepWidth) && stepWidth > 0)) {
        throw InputError("\"RK stepwidth\" is " + CodeUtils::d2Str(stepWidth) +
                         ", but it must be finite and greater than 0");
    }
    if (rkSteps < 0) {
        throw InputError("\"RK steps\" is " + std::to_string(rkSteps) + ", but it must be at least 0");
    }
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
        Diagnostics::warn("\"Power pert span\" needs a non-zero \"RK stepwidth\", but the step width is 0; "
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
    if (selector == "path") return results::directoryPart(outputFilename);
    if (selector == "file") return results::filePart(outputFilename);
    return outputFilename;
}

std::string Param::reportFileName() const { return getOfile("path") + "Param" + getOfile("file"); }

bool Param::toFile() {
    if (!writeParamFile) return false;
    std::string name = reportFileName();
    std::remove(name.c_str());
    std::ofstream out(name, std::ios::app);
    if (!out.is_open()) {
        Diagnostics::warnUnwritable(name);
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
    if (out.fail()) Diagnostics::warnUnwritable(name);
    return true;
}

// The marker holds nothing: one that cannot be made is warned about, but
// leaves the run's results complete.
bool Param::toGraphViz() {
    std::string name = "GraphViz" + outputFilename;
    std::ofstream out(name, std::ios::app);
    if (!out.is_open()) Diagnostics::warn("cannot write " + name + ": " + std::strerror(errno));
    return true;
}
