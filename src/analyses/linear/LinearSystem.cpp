#include "analyses/linear/LinearSystem.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "grid/PowerGrid.h"

namespace {

// Differences below this share of the largest value are rounding: a matrix
// (or a set of rates) that agrees to it counts as symmetric (equal).
constexpr double kStructureTolerance = 1e-12;

using RowMajor = Eigen::SparseMatrix<double, Eigen::RowMajor>;

Eigen::SparseMatrix<double> assembleLaplacian(PowerGrid& grid, const std::vector<double>& theta, bool& finite) {
    const int n = grid.getNumNodes();
    std::vector<Eigen::Triplet<double>> entries;
    for (int i = 0; i < n; ++i) {
        for (TransmissionLine line : grid.linesOf(i)) {
            // Zero when the line is out of service, as in the swing equation.
            const double k = line.getCouplingMag();
            if (k == 0) continue;
            const int j = line.getToNode();
            const double c = k * std::cos(theta[i] - theta[j] - line.getCouplingAng());
            finite = finite && std::isfinite(c);
            entries.emplace_back(i, i, c);
            entries.emplace_back(i, j, -c);
        }
    }
    Eigen::SparseMatrix<double> L(n, n);
    L.setFromTriplets(entries.begin(), entries.end());
    // Couplings that cancel tie no nodes together.
    L.prune([](const Eigen::Index&, const Eigen::Index&, const double& value) { return value != 0; });
    L.makeCompressed();
    return L;
}

double largestMagnitude(const Eigen::SparseMatrix<double>& m) {
    double largest = 0;
    for (int k = 0; k < m.outerSize(); ++k) {
        for (Eigen::SparseMatrix<double>::InnerIterator it(m, k); it; ++it) largest = std::max(largest, std::abs(it.value()));
    }
    return largest;
}

bool isSymmetric(const Eigen::SparseMatrix<double>& L) {
    const Eigen::SparseMatrix<double> transposed = L.transpose();
    const Eigen::SparseMatrix<double> difference = L - transposed;
    return largestMagnitude(difference) <= kStructureTolerance * largestMagnitude(L);
}

// Strongly connected components of the graph with an edge i -> j for every
// L_ij != 0 (node i feels node j), by Tarjan's algorithm without recursion
// (grids of a million nodes). component[i] numbers them; returns the count.
int stronglyConnected(const RowMajor& rows, std::vector<int>& component) {
    const int n = static_cast<int>(rows.rows());
    std::vector<int> index(n, -1), low(n, 0), stack, edgeAt(n, 0);
    std::vector<char> onStack(n, 0);
    component.assign(n, -1);
    int counter = 0, components = 0;
    const int* outer = rows.outerIndexPtr();
    const int* inner = rows.innerIndexPtr();
    for (int root = 0; root < n; ++root) {
        if (index[root] >= 0) continue;
        std::vector<int> path{root};
        index[root] = low[root] = counter++;
        stack.push_back(root);
        onStack[root] = 1;
        edgeAt[root] = outer[root];
        while (!path.empty()) {
            const int v = path.back();
            if (edgeAt[v] < outer[v + 1]) {
                const int w = inner[edgeAt[v]++];
                if (w == v) continue;
                if (index[w] < 0) {
                    index[w] = low[w] = counter++;
                    stack.push_back(w);
                    onStack[w] = 1;
                    edgeAt[w] = outer[w];
                    path.push_back(w);
                } else if (onStack[w]) {
                    low[v] = std::min(low[v], index[w]);
                }
                continue;
            }
            path.pop_back();
            if (!path.empty()) low[path.back()] = std::min(low[path.back()], low[v]);
            if (low[v] != index[v]) continue;
            int w;
            do {
                w = stack.back();
                stack.pop_back();
                onStack[w] = 0;
                component[w] = components;
            } while (w != v);
            ++components;
        }
    }
    return components;
}

int findRoot(std::vector<int>& parent, int k) {
    while (parent[k] != k) k = parent[k] = parent[parent[k]];
    return k;
}

// Islands of the coupling graph, every record taken as a tie both ways.
int countIslands(const RowMajor& rows) {
    const int n = static_cast<int>(rows.rows());
    std::vector<int> parent(n);
    std::iota(parent.begin(), parent.end(), 0);
    int islands = n;
    for (int i = 0; i < n; ++i) {
        for (RowMajor::InnerIterator it(rows, i); it; ++it) {
            const int a = findRoot(parent, i), b = findRoot(parent, static_cast<int>(it.col()));
            if (a == b) continue;
            parent[a] = b;
            --islands;
        }
    }
    return islands;
}

// A group that feels no node outside it (a sink of the component graph)
// turns freely: one zero eigenvalue, two when none of its nodes is damped.
int countRotationModes(const RowMajor& rows, const std::vector<double>& damping) {
    std::vector<int> component;
    const int components = stronglyConnected(rows, component);
    std::vector<char> feelsOthers(components, 0), damped(components, 0);
    for (int i = 0; i < rows.rows(); ++i) {
        if (damping[i] != 0) damped[component[i]] = 1;
        for (RowMajor::InnerIterator it(rows, i); it; ++it) {
            if (it.value() != 0 && component[it.col()] != component[i]) feelsOthers[component[i]] = 1;
        }
    }
    int modes = 0;
    for (int c = 0; c < components; ++c) {
        if (!feelsOthers[c]) modes += damped[c] ? 1 : 2;
    }
    return modes;
}

}  // namespace

Eigen::SparseMatrix<std::complex<double>> LinearSystem::pencilAt(std::complex<double> lambda) const {
    Eigen::SparseMatrix<std::complex<double>> P = laplacian.cast<std::complex<double>>();
    for (int i = 0; i < nodes; ++i) P.coeffRef(i, i) += lambda * lambda / inertiaInv[i] + lambda * damping[i];
    P.makeCompressed();
    return P;
}

Eigen::SparseMatrix<double> LinearSystem::pencilAt(double lambda) const {
    Eigen::SparseMatrix<double> P = laplacian;
    for (int i = 0; i < nodes; ++i) P.coeffRef(i, i) += lambda * lambda / inertiaInv[i] + lambda * damping[i];
    P.makeCompressed();
    return P;
}

LinearSystem linearise(PowerGrid& grid, const std::vector<double>& steadyState) {
    LinearSystem system;
    const int n = grid.getNumNodes();
    system.nodes = n;
    for (int i = 0; i < n; ++i) {
        const Node* node = grid.getNode(i);
        system.inertiaInv.push_back(node->getInertiaInv());
        system.damping.push_back(node->getDamping());
        system.finite = system.finite && std::isfinite(node->getInertiaInv()) && std::isfinite(node->getDamping());
    }
    system.laplacian = assembleLaplacian(grid, steadyState, system.finite);
    if (!system.finite) return system;

    system.symmetric = isSymmetric(system.laplacian);
    // Averaging entries that agree to rounding keeps the symmetric solver's
    // input exactly symmetric (equal entries stay as they are).
    if (system.symmetric) {
        const Eigen::SparseMatrix<double> transposed = system.laplacian.transpose();
        system.laplacian = 0.5 * (system.laplacian + transposed);
        system.laplacian.makeCompressed();
    }
    double lowRate = 0, highRate = 0, largestRate = 0;
    for (int i = 0; i < n; ++i) {
        const double rate = system.dampingRate(i);
        lowRate = i == 0 ? rate : std::min(lowRate, rate);
        highRate = i == 0 ? rate : std::max(highRate, rate);
        largestRate = std::max(largestRate, std::abs(rate));
    }
    system.proportional = n > 0 && highRate - lowRate <= kStructureTolerance * largestRate;
    system.dampingPerInertia = n > 0 ? system.dampingRate(0) : 0;

    const RowMajor rows = system.laplacian;
    for (int i = 0; i < n; ++i) {
        double row = std::abs(system.dampingRate(i));
        for (RowMajor::InnerIterator it(rows, i); it; ++it) row += std::abs(it.value() * system.inertiaInv[i]);
        system.scale = std::max(system.scale, row);
    }
    system.islands = countIslands(rows);
    system.rotationModes = countRotationModes(rows, system.damping);
    return system;
}
