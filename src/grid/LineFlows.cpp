// The flows on the line records: statistics and the overload check of the
// cascade.
#include "grid/PowerGrid.h"

#include <cmath>

#include "input/Param.h"

void PowerGrid::measureFlow(double* theta) {
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) line.measureFlow(theta);
    }
}

void PowerGrid::resetLineFlows() {
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            line.resetMaxFlow();
            line.resetMeanFlow();
        }
    }
}

void PowerGrid::getFIJ(std::vector<double>* out, double divisor) {
    out->clear();
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            out->push_back(line.getFromNode());
            out->push_back(line.getToNode());
            out->push_back(line.getMeanFlow() / divisor);
            out->push_back(line.getMaxFlow());
        }
    }
}

void PowerGrid::checkLines(double* theta, std::vector<int>* fromList, std::vector<int>* toList,
                           std::vector<double>* timeList, double t, Param& param) {
    double maxFlowSeen = 0;
    double maxRatio = 0;
    // Stays -1, -1 when no line carries a positive load.
    int maxFrom = -1;
    int maxTo = -1;
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            double flow = line.getFlow(theta);
            double ratio = flow / line.getCapacity();
            if (ratio > maxRatio) {
                maxRatio = ratio;
                maxFlowSeen = flow;
                maxFrom = line.getFromNode();
                maxTo = line.getToNode();
            }
            if (flow > line.getCapacity()) {
                line.setOnline(false);
                // A record without a reverse one leaves the null line, which
                // every grid (and every worker's copy) shares, as it is.
                TransmissionLine* reverse = getTrLine(line.getToNode(), line.getFromNode());
                if (!reverse->isNull()) reverse->setOnline(false);
                couplingsStale = true;
                fromList->push_back(line.getFromNode());
                toList->push_back(line.getToNode());
                timeList->push_back(t);
            }
        }
    }
    param.lineMaxFlows.push_back(maxFlowSeen);
    param.lineMaxRatios.push_back(maxRatio);
    param.lineMaxIds.push_back(maxFrom);
    param.lineMaxIds.push_back(maxTo);
}

PowerGrid::Overloads PowerGrid::overloadsAt(double* theta) {
    Overloads found;
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            const double flow = line.getFlow(theta);
            if (!(flow > line.getCapacity())) continue;
            // A line is counted once, by the direction the overload check meets first.
            const TransmissionLine* record = findLine(line.getToNode(), line.getFromNode());
            TransmissionLine reverse = record != nullptr ? *record : TransmissionLine();
            const bool countedWithReverse =
                line.getFromNode() > line.getToNode() && reverse.getFlow(theta) > reverse.getCapacity();
            if (!countedWithReverse) ++found.lines;
            const double ratio = flow / line.getCapacity();
            if (found.worstFrom < 0 || ratio > found.worstRatio) {
                found.worstFrom = line.getFromNode();
                found.worstTo = line.getToNode();
                found.worstRatio = ratio;
            }
        }
    }
    return found;
}
