// The wind series and turbine power of the stochastic analysis: wind parts,
// step functions and stochastic interpolation, the power curve and the
// balance of the other generators.
#include "analyses/stochastic/StochasticInput.h"

#include <climits>
#include <cmath>
#include <cstdlib>

#include "analyses/stochastic/StochasticCommon.h"
#include "diagnostics/Diagnostics.h"
#include "grid/PowerGrid.h"
#include "input/Param.h"
#include "output/ResultPaths.h"
#include "output/ResultWriters.h"
#include "diagnostics/RunStatus.h"
#include "util/CodeUtils.h"
#include "util/MTRand.h"

using namespace stochastic;

void StochasticInput::getPartsAndLen(int& parts, int& len, const std::vector<double>* series) const {
    const long long samples = static_cast<long long>(series->size());
    const int steps = param->rkSteps;
    auto cut = [&](double partLength) {
        if (!(partLength >= 1.0 && partLength <= INT_MAX)) {
            throw InputError(quoted("RK steps") + " is " + str(steps) + " with " + quoted("RK stepwidth") + " " +
                             str(param->stepWidth) + ", which gives wind parts of " + str(partLength) +
                             " samples, but " + quoted("Wind mult") + " needs parts of at least 1 sample");
        }
        len = static_cast<int>(partLength);
        parts = static_cast<int>(samples / len);
    };
    if (param->isModeSif() || param->isModeStepFun()) cut(std::ceil(steps * param->stepWidth) + 1);
    if (param->isModeGivenSeries()) cut(steps);
}

void StochasticInput::getCurrentWindPart(int part, int len, std::vector<std::vector<double>>* all,
                                         std::vector<std::vector<double>>* current) {
    current->clear();
    const std::size_t begin = static_cast<std::size_t>(part) * static_cast<std::size_t>(len);
    const std::size_t end = begin + static_cast<std::size_t>(len);
    for (const std::vector<double>& row : *all) {
        if (row.size() < end) throw std::out_of_range("wind row shorter than the requested part");
        current->emplace_back(row.begin() + static_cast<std::ptrdiff_t>(begin),
                              row.begin() + static_cast<std::ptrdiff_t>(end));
    }
}

void StochasticInput::prepareTurbines(Param& param, std::vector<int> nodes, int part) {
    const std::size_t numNodes = static_cast<std::size_t>(grid->getNumNodes());
    sharePower = renewableShare;
    if (!flucShare) {
        sharePower = grid->getPowerMech();
    } else if (sharePower.size() == nodes.size()) {
        sharePower.assign(numNodes, 0.0);
        for (std::size_t j = 0; j < nodes.size(); ++j) sharePower.at(nodes[j]) = renewableShare[j];
    } else if (sharePower.size() < numNodes) {
        sharePower.resize(numNodes, 0.0);
    }

    if (!pratedGiven) {
        turbinePrated.clear();
        for (std::size_t i = 0; i < numNodes; ++i) {
            turbinePrated.push_back(std::pow(turbineVrated / turbineVmean, 3.0) * sharePower[i]);
        }
    }

    powerSeries.clear();
    const std::string dir = param.getOfile("path");
    for (std::size_t j = 0; j < nodes.size(); ++j) {
        powerSeries.emplace_back();
        stochasticPseries(nodes[j], &currentWindPart.at(j), &powerSeries.back(), param);
        if (writeStoch && writesSeries) {
            directories.use(CodeUtils::joinPath(dir, "pseries"));
            ResultWriters::vecToBinFile(powerSeries.back(),
                                    results::powerSeriesPath(param.outputFilename, stochFilename, nodes[j], part));
        }
    }
}

void StochasticInput::stochasticPseries(int node, std::vector<double>* speed, std::vector<double>* power,
                                        Param& param) {
    const int samples = static_cast<int>(speed->size());
    const double dt = param.stepWidth;
    const std::string windFile = results::windSpeedPath(param.outputFilename, stochFilename);

    if (param.isModeStepFun()) {
        power->clear();
        if (samples != 1) {
            const int repeats = stepFunctionRepeats(dt);
            for (int k = 0; k <= samples - 2; ++k) power->insert(power->end(), repeats, (*speed)[k]);
        }
        if (writeStoch) writeWindSeries(*power, windFile, node);
        speedToPower(node, power, power);
    }
    if (param.isModeSif()) {
        power->clear();
        for (int k = 0; k <= samples - 2; ++k) {
            std::vector<double> piece = stochInterp(param, {0.0, 1.0}, {(*speed)[k], (*speed)[k + 1]}, dt);
            power->insert(power->end(), piece.begin(), piece.end());
        }
        if (writeStoch) writeWindSeries(*power, windFile, node);
        speedToPower(node, power, power);
    }
    if (param.isModeGivenSeries()) {
        power->assign(speed->size(), 0.0);
        speedToPower(node, speed, power);
    }
}

std::vector<double> StochasticInput::stochInterp(Param& param, std::vector<double> times,
                                                 std::vector<double> values, double dt) {
    if (times.size() < 2 || values.size() < 2) {
        throw std::invalid_argument("stochInterp needs two times and two values");
    }
    const double t0 = times[0];
    const double t1 = times[1];
    const double y0 = values[0];
    const double y1 = values.back();
    const double D = windD1;

    param.setRandSeed(param.getRandSeed() + 1U);
    const uint32_t s = param.getRandSeed();
    MTRand forward(s);
    MTRand backward(2U * s);

    const double steps = std::floor((t1 - t0) / dt);
    if (!(steps >= 1.0)) return {};
    if (steps > INT_MAX) throw std::length_error("stochInterp: too many steps between the two times");
    const int n = static_cast<int>(steps);

    const double d = 2 * t0 - t1;
    const double a1 = (y1 - y0) / d;
    const double b1 = ((y0 + y1) * t0 - y1 * t1) / d;
    const double a2 = (y0 - y1) / d;
    const double b2 = ((y0 + y1) * t0 - y0 * t1) / d;

    const double sigma = std::sqrt(D * dt);
    std::vector<double> f(static_cast<std::size_t>(n) + 1);
    std::vector<double> g(static_cast<std::size_t>(n) + 1);
    f[0] = y0;
    g[0] = y1;
    for (int k = 0; k < n; ++k) {
        const double t = t0 + (k + 1) * dt;
        const double xiA = forward.randNorm(0.0, 2.0);
        const double xiB = backward.randNorm(0.0, 2.0);
        f[k + 1] = f[k] - (f[k] - a1 * t - b1) * D * dt + sigma * xiA;
        g[k + 1] = g[k] - (g[k] - a2 * t - b2) * D * dt + sigma * xiB;
    }

    std::vector<double> result(static_cast<std::size_t>(n));
    for (int m = 0; m < n; ++m) {
        const double w = static_cast<double>(m) / n;
        result[m] = w * g[n - 1 - m] + (1 - w) * f[m];
    }
    return result;
}

void StochasticInput::speedToPower(int node, std::vector<double>* speed, std::vector<double>* power) {
    const double pfac = powerCurvePfac(node);
    if (power->size() < speed->size()) power->resize(speed->size());
    const double offset = flucShare ? grid->getPowerMech(node) - sharePower.at(node) : 0.0;
    for (std::size_t i = 0; i < speed->size(); ++i) {
        (*power)[i] = powerCurveFunc((*speed)[i], pfac);
        if (flucShare) (*power)[i] += offset;
    }
}

double StochasticInput::powerCurvePfac(int node) {
    return turbinePrated.at(node) / std::pow(turbineVrated, 3.0);
}

double StochasticInput::powerCurveFunc(double v, double pfac) {
    return pfac * std::pow(std::min(turbineVrated, std::fabs(v)), 3.0);
}

void StochasticInput::calcBalanceFactor(std::vector<int> nodes) {
    grid->resetPowerMech();
    double generation = 0;
    for (Node* gen : grid->getGens()) generation += gen->getPowerMech();
    double meanTurbinePower = 0;
    for (std::size_t j = 0; j < nodes.size(); ++j) meanTurbinePower += CodeUtils::dvecMean(powerSeries.at(j));
    double turbineNodePower = 0;
    for (int node : nodes) turbineNodePower += grid->getPowerMech(node);
    const double rest = generation - turbineNodePower;
    balanceFactor = (generation - meanTurbinePower) / rest;
}

void StochasticInput::setPowerMechStationary(std::vector<int> nodes) {
    grid->resetPowerMech();
    if (!balanceStationary) return;
    for (Node* gen : grid->getGens()) gen->setPowerMech(gen->getPowerMech() * balanceFactor);
    for (std::size_t j = 0; j < nodes.size(); ++j) {
        grid->setPowerMech(nodes[j], CodeUtils::dvecMean(powerSeries.at(j)));
    }
    const bool converged = grid->NRPF();
    if (currentRun != nullptr) {
        currentRun->powerFlowConverged = currentRun->powerFlowConverged.value_or(true) && converged;
    }
    if (!converged && status != nullptr) {
        status->steadyStateMissed("the power flow of " + quoted(currentAnalysis) + " for run " +
                                      quoted(param->outputFilename),
                                  grid->getPowerFlowError());
    }
}
