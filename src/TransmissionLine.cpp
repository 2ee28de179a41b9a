#include "TransmissionLine.h"

#include <cmath>

TransmissionLine* TransmissionLine::nullLine = nullptr;

TransmissionLine::TransmissionLine()
    : nulll(false),
      online(false),
      fromNode(0),
      toNode(0),
      admittanceMag(0),
      admittanceAng(0),
      couplingMag(0),
      couplingAng(0),
      capacity(0),
      cflow(0, 0),
      meanFlow(0),
      maxFlow(0),
      curFlow(0) {}

TransmissionLine::TransmissionLine(int from, int to) : TransmissionLine() {
    online = true;
    fromNode = from;
    toNode = to;
}

TransmissionLine::~TransmissionLine() {}

void TransmissionLine::init() { *this = TransmissionLine(); }

TransmissionLine* TransmissionLine::getNullLine() {
    if (!nullLine) {
        // Lives until the process ends: every grid shares it and callers keep
        // the pointer.
        static TransmissionLine shared;
        shared.nulll = true;
        shared.online = false;
        shared.fromNode = -1;
        shared.toNode = -1;
        nullLine = &shared;
    }
    return nullLine;
}

bool TransmissionLine::isNull() { return nulll; }

bool TransmissionLine::isOnline() const { return online; }
void TransmissionLine::setOnline(bool on) { online = on; }
int TransmissionLine::getFromNode() const { return fromNode; }
void TransmissionLine::setFromNode(int from) { fromNode = from; }
int TransmissionLine::getToNode() const { return toNode; }
void TransmissionLine::setToNode(int to) { toNode = to; }

double TransmissionLine::getAdmittanceMag() const { return admittanceMag; }
void TransmissionLine::setAdmittanceMag(double mag) { admittanceMag = mag; }
double TransmissionLine::getAdmittanceAng() const { return admittanceAng; }
void TransmissionLine::setAdmittanceAng(double ang) { admittanceAng = ang; }

// A line out of service (and the null line, whatever was written into it)
// couples nothing and carries nothing. A plain product with 0 would turn an
// infinite or NaN stored value into NaN instead.
double TransmissionLine::getCouplingMag() { return online && !nulll ? couplingMag : 0.0; }
void TransmissionLine::setCouplingMag(double mag) { couplingMag = mag; }
double TransmissionLine::getCouplingAng() const { return couplingAng; }
void TransmissionLine::setCouplingAng(double ang) { couplingAng = ang; }
double TransmissionLine::getCapacity() const { return capacity; }
void TransmissionLine::setCapacity(double cap) { capacity = cap; }

std::complex<double> TransmissionLine::getCflow() const {
    return online && !nulll ? cflow : std::complex<double>(0, 0);
}
void TransmissionLine::setCflow(std::complex<double> c) { cflow = c; }

double TransmissionLine::getFlow(double* phases) {
    // Also keeps the null line (node indices -1) from reading the phases.
    if (!online || nulll) return 0.0;
    double d = phases[fromNode] - phases[toNode] - admittanceAng;
    std::complex<double> s = getCflow() - getCouplingMag() * std::polar(1.0, d);
    return std::abs(s);
}

double TransmissionLine::measureFlow(double* phases) {
    double f = getFlow(phases);
    curFlow = f;
    meanFlow += f;
    setMaxFlow(f);
    return f;
}

void TransmissionLine::addMeanFlow(double x) { meanFlow += x; }
double TransmissionLine::getMeanFlow() { return meanFlow; }
void TransmissionLine::resetMeanFlow() { meanFlow = 0; }

bool TransmissionLine::setMaxFlow(double x) {
    if (std::fabs(x) > maxFlow) {
        maxFlow = std::fabs(x);
        return true;
    }
    return false;
}

double TransmissionLine::getMaxFlow() { return maxFlow; }
void TransmissionLine::resetMaxFlow() { maxFlow = 0; }
