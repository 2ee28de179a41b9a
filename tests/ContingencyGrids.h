#ifndef TESSALY_TESTS_CONTINGENCYGRIDS_H
#define TESSALY_TESTS_CONTINGENCYGRIDS_H

// The five-node meshed grid of the contingency tests: a ring 0-1-2-3-4-0 with
// the chord 1-3, generators at 0 and 1, inertia 1, damping 0.5. Taking out
// the line 4-0 moves its flow onto the ring's other side: at the new steady
// state the line 2-3 carries 0.78, in the first swing up to 1.23, so with
// capacity 1 it trips in the transient only.

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

struct FiveNodeLine {
    int from;
    int to;
    double coupling;
};

inline const std::vector<FiveNodeLine>& fiveNodeLines() {
    static const std::vector<FiveNodeLine> lines = {{0, 1, 8}, {1, 2, 6}, {2, 3, 8}, {3, 4, 4}, {4, 0, 8}, {1, 3, 4}};
    return lines;
}

inline std::string exact(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

struct FiveNodeGrid {
    double capacity23 = 1.0;  // of the line 2-3
    double capacity40 = 2.5;  // of the line 4-0
    // Lossy lines: series admittance y = 1 / (r + jx) with r = x / 10 and
    // |y| the coupling, so K = |y|, phi = arg(-y) - pi/2 and "Power diag"
    // the sum of |y| cos(arg y) over the node's records ("Line losses in diag").
    bool lossy = false;
    std::string extraKeys;

    std::string text() const {
        const double angle = lossy ? std::atan2(-10.0, 1.0) : -M_PI / 2;  // arg y
        const double phi = lossy ? std::atan2(10.0, -1.0) - M_PI / 2 : 0.0;
        std::vector<double> diag(5, 0.0);
        std::string rows;
        for (const FiveNodeLine& line : fiveNodeLines()) {
            const bool is23 = line.from == 2 && line.to == 3;
            const bool is40 = line.from == 4 && line.to == 0;
            const double capacity = is23 ? capacity23 : is40 ? capacity40 : 2.5;
            for (const auto& [i, j] : {std::make_pair(line.from, line.to), std::make_pair(line.to, line.from)}) {
                rows += std::to_string(i) + " " + std::to_string(j) + " " + exact(line.coupling) + " " + exact(phi) +
                        " " + exact(capacity) + " " + exact(line.coupling) + " " + exact(angle) + "\n";
                if (lossy) diag[static_cast<std::size_t>(i)] += line.coupling * std::cos(angle);
            }
        }
        std::string diagText;
        for (double d : diag) diagText += exact(d) + " ";
        return "Random seed\n1\nRK steps\n2000\nRK stepwidth\n0.01\nOutput filename\nfive\nFlow measure\nactive\n" + extraKeys +
               "Number of nodes\n5\nPower mech\n1.5 1 -0.5 -1 -1\nPower diag\n" + diagText +
               "\nDamping\n0.5\nInertia\n1\nVoltage mag\n1\nNode type\n0 0 1 1 1\nReference node\n0\n" +
               (lossy ? "Line losses in diag\n" : "") + "Line list\n" + rows;
    }
};

}  // namespace testsupport

#endif
