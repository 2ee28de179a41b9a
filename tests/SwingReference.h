#ifndef TESSALY_TESTS_SWINGREFERENCE_H
#define TESSALY_TESTS_SWINGREFERENCE_H

// The swing equation of node i written out record by record from the grid's
// line lists: the bits every evaluation of the exact right-hand side must give.

#include <cmath>

#include "grid/PowerGrid.h"

inline double perRecordSwingEq(PowerGrid& grid, const double* theta, const double* omega, int i) {
    double sum = 0;
    for (TransmissionLine line : grid.linesOf(i)) {
        sum += line.getCouplingMag() * std::sin(theta[i] - theta[line.getToNode()] - line.getCouplingAng());
    }
    Node* node = grid.getNode(i);
    return (-node->getDamping() * omega[i] + node->getPowerMech() - node->getPowerDiag() - sum) * node->getInertiaInv();
}

#endif
