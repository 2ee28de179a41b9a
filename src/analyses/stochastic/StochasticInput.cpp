#include "analyses/stochastic/StochasticInput.h"

#include <climits>
#include <cmath>
#include <fstream>
#include <iostream>
#include <sstream>

#include "analyses/stochastic/StochasticCommon.h"
#include "diagnostics/Diagnostics.h"
#include "input/InputText.h"
#include "input/InputValues.h"
#include "input/Param.h"
#include "util/CodeUtils.h"

using namespace stochastic;

namespace {

// Lag in steps, halves rounded away from zero; values an int cannot hold
// saturate (NaN gives 0, which the survival analysis refuses).
int lagToSteps(double lag, double dt) {
    double steps = std::round(lag / dt);
    if (std::isnan(steps)) return 0;
    if (steps >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (steps <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(steps);
}

}  // namespace

StochasticInput::StochasticInput(PowerGrid* grid, Param* param)
    : grid(grid),
      param(param),
      balanceStationary(true),
      flucShare(false),
      multipleWindSer(false),
      pratedGiven(false),
      writeStoch(false),
      stochFilename("Pseries"),
      turbineVmean(8.0),
      turbineVrated(12.5),
      balanceFactor(1.0),
      windD1(0.054) {}

StochasticInput::~StochasticInput() = default;

// ---- settings, reader and report ---------------------------------------------

void StochasticInput::setFreqHistBinNum(int n) {
    freqHistHalfBins = n / 2;
    freqHistBinNum = 2 * freqHistHalfBins;
}

void StochasticInput::calcTLagSteps(std::vector<double> lags) {
    timeLagSteps.clear();
    for (double lag : lags) timeLagSteps.push_back(lagToSteps(lag, param->stepWidth));
}

namespace {

template <auto member>
void readReal(StochasticInput& stochastic, ReaderCursor& cursor) {
    stochastic.*member = InputValues::readDouble(cursor.in);
}

template <auto member>
void readInt(StochasticInput& stochastic, ReaderCursor& cursor) {
    stochastic.*member = InputValues::readintForKey(cursor.in, cursor.key);
}

const ReaderKey<StochasticInput> kStochasticKeys[] = {
    {"Turbine nodes",
     [](StochasticInput& s, ReaderCursor& c) {
         s.turbineNodes = InputValues::readIntMatArb(c.in, c.line);
         c.handedBack = true;
     }},
    {"Turbine prated",
     [](StochasticInput& s, ReaderCursor& c) {
         InputValues::readDVec(c.in, &s.turbinePrated);
         s.pratedGiven = true;
     }},
    {"Turbine vrated", readReal<&StochasticInput::turbineVrated>},
    {"Renewable share",
     [](StochasticInput& s, ReaderCursor& c) {
         InputValues::readDVec(c.in, &s.renewableShare);
         s.flucShare = true;
     }},
    {"Turbine vmean", readReal<&StochasticInput::turbineVmean>},
    {"Survive threshold", readReal<&StochasticInput::surviveThreshold>},
    {"Survive init steps", readInt<&StochasticInput::surviveInitSteps>},
    {"Survive interval", readInt<&StochasticInput::surviveInterval>},
    {"Write stoch",
     [](StochasticInput& s, ReaderCursor& c) { s.writeStoch = InputValues::readintForKey(c.in, c.key) != 0; }},
    {"Freq hist bin width", readReal<&StochasticInput::freqHistBinWidth>},
    {"Freq hist bin num",
     [](StochasticInput& s, ReaderCursor& c) { s.setFreqHistBinNum(InputValues::readintForKey(c.in, c.key)); }},
    {"Freq incr hist bin width", readReal<&StochasticInput::freqIncrHistBinWidth>},
    {"Freq time lags",
     [](StochasticInput& s, ReaderCursor& c) {
         InputValues::readDVec(c.in, &s.timeLags);
         s.calcTLagSteps(s.timeLags);
     }},
    // The value line stays the current line: an empty one ends the block.
    {"Stoch filename",
     [](StochasticInput& s, ReaderCursor& c) {
         c.line = InputValues::readValueLine(c.in);
         s.stochFilename = c.line;
     }},
    {"Wind series",
     [](StochasticInput& s, ReaderCursor& c) {
         s.windSeries = InputValues::readDMatArb(c.in, c.line);
         c.handedBack = true;
     }},
    {"Wind series ext",
     [](StochasticInput& s, ReaderCursor& c) {
         c.line = InputValues::readValueLine(c.in);
         if (!c.in.isScanOnly()) s.windSeries = InputValues::readExtDMat(c.line, c.key);
     }},
    {"Wind mult", [](StochasticInput& s, ReaderCursor&) { s.multipleWindSer = true; }},
    {"Wind D1", readReal<&StochasticInput::windD1>},
};

}  // namespace

bool StochasticInput::readFromFile(std::string fileName) {
    InputText in(fileName);
    if (in.isOpen()) read(in, std::cout);
    return true;
}

void StochasticInput::read(InputText& in, std::ostream& console) {
    console << "-------------------- StochasticInput reading " << " --------------------\n";
    scanBlock(in, console, *this, kStochasticKeys);
}

std::vector<std::string> StochasticInput::keys() { return keyNames(kStochasticKeys); }

std::string StochasticInput::toString() {
    std::ostringstream out;
    out << "=================== Stochastic Input ====================\n";
    out << "----------------- Algorithm Parameters ------------------\n";
    out << "TurbineNodeConfigs: \n";
    for (const std::vector<int>& row : turbineNodes) out << CodeUtils::ivec2str(row);
    out << "\n";
    out << "------------------ Turbine Parameters -------------------\n";
    out << "Rated speed: " << turbineVrated << "\n";
    out << "Rated power: \n";
    out << CodeUtils::dvec2str(turbinePrated);
    out << "Average speed: " << turbineVmean << "\n";
    out << "\n";
    out << "---------------------- Exceedance -----------------------\n";
    out << "Threshold: " << surviveThreshold << "\n";
    out << "InitializationSteps: " << surviveInitSteps << "\n";
    out << "Interval: " << surviveInterval << "\n";
    out << "\n";
    out << "----------------- Frequency Histogram -------------------\n";
    out << "Bin width: " << freqHistBinWidth << "\n";
    out << "Number of bins: " << freqHistBinNum << "\n";
    out << "Minimum Frequency: " << -freqHistHalfBins * freqHistBinWidth << "\n";
    out << "Maximum Frequency: " << freqHistHalfBins * freqHistBinWidth << "\n";
    out << "\n\n";
    return out.str();
}

bool StochasticInput::toFile(Param* param) {
    if (!param->writeParamFile) return false;
    const std::string name = "Param" + param->outputFilename;
    std::ofstream out(name, std::ios::app);
    if (!out.is_open()) {
        Diagnostics::warnUnwritable(name);
        return true;
    }
    out << toString();
    return true;
}
