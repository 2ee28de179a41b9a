// Links against the shipped line-record object alone, the way outside code
// does, and checks the flow formula and the shared null line.
#include <cmath>
#include <complex>
#include <cstdio>

#include "TransmissionLine.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

}  // namespace

int main() {
    double phases[3] = {0.3, -0.2, 1.0};

    TransmissionLine line(0, 1);
    line.setCouplingMag(2.0);
    line.setAdmittanceAng(0.1);
    line.setCflow(std::complex<double>(1.5, -0.5));
    double d = 0.3 - (-0.2) - 0.1;
    double expected = std::abs(std::complex<double>(1.5 - 2.0 * std::cos(d), -0.5 - 2.0 * std::sin(d)));
    check(std::fabs(line.getFlow(phases) - expected) < 1e-12, "flow of a line in service");
    check(line.measureFlow(phases) == line.getFlow(phases), "measureFlow returns the flow");
    check(line.getMaxFlow() == line.getFlow(phases), "measureFlow records the maximum");

    line.setOnline(false);
    check(line.getFlow(phases) == 0.0, "a line out of service carries nothing");
    check(line.getCouplingMag() == 0.0, "a line out of service couples nothing");

    TransmissionLine* null = TransmissionLine::getNullLine();
    check(null == TransmissionLine::getNullLine(), "one shared null line");
    check(null == TransmissionLine::nullLine, "the static member holds the null line");
    check(null->isNull() && !null->isOnline(), "null line flags");
    check(null->getFromNode() == -1 && null->getToNode() == -1, "null line node indices");
    null->setCouplingMag(5.0);
    null->setCapacity(3.0);
    check(null->getCouplingMag() == 0.0 && null->getFlow(phases) == 0.0, "null line couples and carries nothing");

    if (failures == 0) std::printf("line record object: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
