#include "analyses/raster/RasterObservers.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "util/CodeUtils.h"
#include "grid/PowerGrid.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// The initial and then the final state, the block every return-time mode
// adds to the shared "frequency" and "phase" files.
void appendEndpoints(RangeWriter& freqOut, RangeWriter& phaseOut, const InitialCondition& ic, const double* phases,
                     const double* freqs, int n) {
    const std::size_t count = static_cast<std::size_t>(n);
    freqOut.append(ic.freqs, count);
    freqOut.append(freqs, count);
    phaseOut.append(ic.phases, count);
    phaseOut.append(phases, count);
}

}  // namespace

// ---- energy --------------------------------------------------------------------------

EnergyMeasure::EnergyMeasure(PowerGrid& grid) : steadyPhases(grid.getVoltAngSS()) {
    const int n = grid.getNumNodes();
    inertias.assign(n, 0.0);
    netPowers.assign(n, 0.0);
    for (int i = 0; i < n; ++i) {
        const Node* node = grid.getNode(i);
        inertias[i] = node->getInertia();
        netPowers[i] = node->getPowerMech() - node->getPowerDiag();
        // A copy per record: the coupling getter (which zeroes lines out of
        // service) is not const.
        for (TransmissionLine line : grid.linesOf(i)) {
            const int to = line.getToNode();
            const double phi = line.getCouplingAng();
            lines.push_back({i, to, line.getCouplingMag(), phi, std::cos(steadyPhases[i] - steadyPhases[to] - phi)});
        }
    }
}

double EnergyMeasure::deviation(const double* phases, int i) const {
    return CodeUtils::smallerAngle(phases[i] - steadyPhases[i]);
}

double EnergyMeasure::kinetic(const double* freqs) const {
    double sum = 0.0;
    const int n = static_cast<int>(inertias.size());
    for (int i = 0; i < n; ++i) sum += 0.5 * inertias[i] * (freqs[i] * freqs[i]);
    return sum;
}

double EnergyMeasure::potential(const double* phases) const {
    double lineSum = 0.0;
    for (const Line& l : lines) lineSum += 0.5 * l.k * (l.cosSteady - std::cos(phases[l.from] - phases[l.to] - l.phi));
    double powerSum = 0.0;
    const int n = static_cast<int>(netPowers.size());
    for (int i = 0; i < n; ++i) powerSum += netPowers[i] * deviation(phases, i);
    return lineSum - powerSum;
}

double EnergyMeasure::harmonic(const double* phases, const double* freqs) const {
    double sum = 0.0;
    for (const Line& l : lines) {
        const double dd = deviation(phases, l.from) - deviation(phases, l.to);
        sum += 0.25 * l.k * l.cosSteady * (dd * dd);
    }
    return kinetic(freqs) + sum;
}

EnergyReturnObserver::EnergyReturnObserver(const EnergyMeasure& measure, double threshold, double stepWidth,
                                           int sampleEvery, int n, Writers writers)
    : measure(measure), threshold(threshold), stepWidth(stepWidth), sampleEvery(sampleEvery), n(n), out(writers) {}

void EnergyReturnObserver::begin(const InitialCondition&) {
    returned = false;
    returnTime = kInf;
}

void EnergyReturnObserver::afterStep(int step, const double* phases, const double* freqs) {
    const double energy = measure.current(phases, freqs);
    if (energy < threshold) {
        if (!returned) {
            returned = true;
            returnTime = step * stepWidth;
        }
    } else {
        returned = false;
        returnTime = kInf;
    }
    out.energy->append(energy);
    if (sampleEvery > 0 && (step - 1) % sampleEvery == 0) {
        out.freqSamples->append(freqs, static_cast<std::size_t>(n));
        out.phaseSamples->append(phases, static_cast<std::size_t>(n));
    }
}

void EnergyReturnObserver::end(const InitialCondition& ic, const double* phases, const double* freqs) {
    const double record[5] = {static_cast<double>(ic.node), 0.0, ic.phases[ic.node], ic.freqs[ic.node], returnTime};
    out.returnTime->append(record, 5);
    appendEndpoints(*out.freqEndpoints, *out.phaseEndpoints, ic, phases, freqs, n);
}

// ---- mean return time ------------------------------------------------------------------

ReturnTable::ReturnTable(const std::vector<double>& thresholds, int n)
    : thresholds(thresholds), n(n), times(thresholds.size() * static_cast<std::size_t>(n), kInf), in(times.size(), 0) {}

void ReturnTable::clear() {
    std::fill(times.begin(), times.end(), kInf);
    std::fill(in.begin(), in.end(), 0);
}

void ReturnTable::update(const double* values, double t) {
    for (std::size_t k = 0; k < thresholds.size(); ++k) update(values, t, static_cast<int>(k));
}

void ReturnTable::update(const double* values, double t, int k) {
    const double thr = thresholds.at(static_cast<std::size_t>(k));
    double* time = &times[slot(k, 0)];
    char* inside = &in[slot(k, 0)];
    for (int i = 0; i < n; ++i) {
        if (std::fabs(values[i]) < thr) {
            if (!inside[i]) {
                time[i] = t;
                inside[i] = 1;
            }
        } else {
            inside[i] = 0;
            time[i] = kInf;
        }
    }
}

void ReturnTable::means(double* out, int bands) const {
    for (int i = 0; i < n; ++i) {
        double sum = 0.0;
        for (std::size_t k = 0; k < thresholds.size(); ++k) sum += times[k * n + i];
        out[i] = sum / bands;
    }
}

std::size_t ReturnTable::slot(int k, int i) const {
    return static_cast<std::size_t>(k) * static_cast<std::size_t>(n) + static_cast<std::size_t>(i);
}

double ReturnTable::time(int k, int i) const {
    if (i < 0 || i >= n) throw std::out_of_range("node " + std::to_string(i) + " outside the return table");
    return times.at(slot(k, i));
}

bool ReturnTable::inside(int k, int i) const {
    if (i < 0 || i >= n) throw std::out_of_range("node " + std::to_string(i) + " outside the return table");
    return in.at(slot(k, i)) != 0;
}

MeanReturnObserver::MeanReturnObserver(const std::vector<double>& thresholds, int bands, double stepWidth, int n,
                                       Writers writers)
    : table(thresholds, n), bands(bands), stepWidth(stepWidth), n(n), out(writers), means(n) {
    record.reserve(5 * static_cast<std::size_t>(n));
}

void MeanReturnObserver::begin(const InitialCondition&) { table.clear(); }

void MeanReturnObserver::afterStep(int step, const double*, const double* freqs) {
    table.update(freqs, step * stepWidth);
}

void MeanReturnObserver::end(const InitialCondition& ic, const double* phases, const double* freqs) {
    table.means(means.data(), bands);
    record.clear();
    for (int j = 0; j < n; ++j) {
        record.insert(record.end(), {static_cast<double>(ic.node), static_cast<double>(j), ic.phases[ic.node],
                                     ic.freqs[ic.node], means[j]});
    }
    out.meanReturn->append(record.data(), record.size());
    appendEndpoints(*out.freqEndpoints, *out.phaseEndpoints, ic, phases, freqs, n);
}

// ---- maxima ----------------------------------------------------------------------------

MaximaObserver::MaximaObserver(double stepWidth, int n, RangeWriter* maxima)
    : stepWidth(stepWidth), n(n), out(maxima) {
    record.reserve(8 * static_cast<std::size_t>(n));
}

void MaximaObserver::begin(const InitialCondition&) {
    for (std::vector<double>* v : {&freqMax, &freqMaxTime, &phaseMax, &phaseMaxTime}) v->assign(n, 0.0);
}

void MaximaObserver::afterStep(int step, const double* phases, const double* freqs) {
    const double t = step * stepWidth;
    for (int j = 0; j < n; ++j) {
        if (std::fabs(freqs[j]) > std::fabs(freqMax[j])) {
            freqMax[j] = freqs[j];
            freqMaxTime[j] = t;
        }
        if (std::fabs(phases[j]) > std::fabs(phaseMax[j])) {
            phaseMax[j] = phases[j];
            phaseMaxTime[j] = t;
        }
    }
}

void MaximaObserver::end(const InitialCondition& ic, const double*, const double*) {
    record.clear();
    for (int j = 0; j < n; ++j) {
        record.insert(record.end(), {static_cast<double>(ic.node), static_cast<double>(j), ic.phases[ic.node],
                                     ic.freqs[ic.node], freqMax[j], freqMaxTime[j], phaseMax[j], phaseMaxTime[j]});
    }
    out->append(record.data(), record.size());
}

// ---- trajectories ------------------------------------------------------------------------

TrajectoryObserver::TrajectoryObserver(int n, RangeWriter* freqs, RangeWriter* phases)
    : count(static_cast<std::size_t>(n)), freqOut(freqs), phaseOut(phases) {}
