// Power flow on large grids: time per power flow and per Newton step, and the
// peak memory of a process that builds the grid and solves it, for every
// Newton solver on
//  - imported grids: the IEEE 118-bus example (examples/ieee118.txt) and, when
//    the environment variable TESSALY_BENCH_IMPORTED names one, another
//    imported input file (the README uses case_ACTIVSg2000);
//  - rings with parallel chords: n nodes on a ring and a chord from every
//    tenth node of one half to the node opposite, n/20 chords that never
//    cross (the grid is planar, a direct factorisation fills in little);
//  - rings with random chords: n nodes on a ring and n/2 chords between
//    random pairs of nodes (average degree 3, the random networks of
//    basin-stability studies; a direct factorisation fills in heavily);
// of 1,000, 10,000 and 100,000 nodes, from a flat start. The label names the
// solver "auto" takes on the grid; BM_SolverChoice times that choice. Then a raster of 10 initial conditions x
// 1,000 steps on a 10,000-node grid given as "Line list", run end to end by
// the program itself.
//
// Peak memory is measured in a fresh process (this program started again with
// --peak-memory), which reports its own peak resident memory, so nothing the
// timing runs left behind counts. (A child's ru_maxrss would: Linux carries
// the resident memory the process had when it called exec into it.)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "grid/PowerGrid.h"

namespace {

using Solver = PowerGrid::NrSolver;

// Console output of the power flow would drown the benchmark table; it goes
// to /dev/null while `work` runs.
template <typename Work>
void quietly(Work work) {
    std::cout.flush();
    std::fflush(nullptr);
    const int savedOut = dup(1);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    work();
    std::cout.flush();
    std::fflush(nullptr);
    dup2(savedOut, 1);
    close(devNull);
    close(savedOut);
}

enum Shape { kIeee118, kImported, kParallelChords, kRandomChords };

// A synthetic grid: generators (+1) and loads (-1) alternate, every line has
// coupling 8 both ways.
struct SyntheticGrid {
    int n;
    std::vector<std::pair<int, int>> lines;

    SyntheticGrid(Shape shape, int nodes) : n(nodes) {
        for (int i = 0; i < n; ++i) lines.emplace_back(i, (i + 1) % n);
        if (shape == kParallelChords) {
            for (int i = 0; i < n / 2; i += 10) lines.emplace_back(i, i + n / 2);
            return;
        }
        std::set<std::pair<int, int>> taken;
        for (const auto& line : lines) taken.insert(std::minmax(line.first, line.second));
        std::mt19937 gen(20240611u);
        std::uniform_int_distribution<int> pick(0, n - 1);
        for (int chords = 0; chords < n / 2;) {
            int a = pick(gen), b = pick(gen);
            if (a == b || !taken.insert(std::minmax(a, b)).second) continue;
            lines.emplace_back(a, b);
            ++chords;
        }
    }
    double power(int i) const { return i % 2 == 0 ? 1.0 : -1.0; }
};

// The importer's tolerance: 1e-9, above 1,000 nodes 1e-12 per node.
double precisionFor(int n) { return std::max(1e-9, 1e-12 * n); }

void buildSynthetic(PowerGrid& grid, const SyntheticGrid& shape) {
    grid.setNumNodes(shape.n);
    grid.setNrPrecision(precisionFor(shape.n));
    for (int i = 0; i < shape.n; ++i) {
        Node* node = grid.getNode(i);
        node->setPowerMechInit(shape.power(i));
        node->setPowerMech(shape.power(i));
        node->setDamping(0.5);
        node->setInertia(1.0);
        node->setInertiaInv(1.0);
    }
    for (const auto& line : shape.lines) {
        grid.provideTrLine(line.first, line.second)->setCouplingMag(8.0);
        grid.provideTrLine(line.second, line.first)->setCouplingMag(8.0);
    }
}

const char* importedFile() { return std::getenv("TESSALY_BENCH_IMPORTED"); }

// False when the grid is an imported file that is not there.
bool buildGrid(PowerGrid& grid, Shape shape, int n) {
    if (shape == kParallelChords || shape == kRandomChords) {
        buildSynthetic(grid, SyntheticGrid(shape, n));
        return true;
    }
    const std::string file = shape == kIeee118 ? TESSALY_SOURCE_DIR "/examples/ieee118.txt"
                                               : (importedFile() ? importedFile() : "");
    bool read = false;
    if (!file.empty()) quietly([&] { read = grid.readFromFile(file); });
    return read;
}

// Synthetic grids start from phases 0, imported ones from the file's
// phases, every power flow with the slack power as built.
void prepare(PowerGrid& grid, Solver solver, const std::vector<double>& startPhases) {
    grid.resetPowerMech();
    for (int k = 0; k < grid.getNumNodes(); ++k) grid.getNode(k)->setVoltPhase(startPhases[k]);
    grid.setNrSolver(solver);
    grid.setNrStart(PowerGrid::NrStart::Flat);
}

std::vector<double> phasesOf(PowerGrid& grid) {
    std::vector<double> phases;
    for (int k = 0; k < grid.getNumNodes(); ++k) phases.push_back(grid.getNode(k)->getVoltPhase());
    return phases;
}

int newtonSteps(PowerGrid& grid) {
    int steps = 0;
    quietly([&] { grid.NRMethod(grid.getNrPrecision(), steps); });
    return steps;
}

struct ChildUsage {
    bool ok;
    double peakMiB;  // ru_maxrss: includes what this process held at the fork
    double seconds;
    std::string output;
};

// Runs `argv` as a child process (standard input from `input` when given)
// and returns its standard output, peak resident memory and wall time.
ChildUsage runChild(const std::vector<std::string>& argv, const std::string& workDir = "",
                    const std::string& input = "") {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::cout.flush();
    std::fflush(nullptr);
    int out[2];
    if (pipe(out) != 0) std::abort();
    pid_t pid = fork();
    if (pid == 0) {
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
        close(out[0]);
        dup2(out[1], 1);
        if (!input.empty()) {
            int in = open(input.c_str(), O_RDONLY);
            dup2(in, 0);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    std::string output;
    char buf[4096];
    for (ssize_t got; (got = read(out[0], buf, sizeof buf)) > 0;) output.append(buf, static_cast<std::size_t>(got));
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    double seconds = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) * 1e-9;
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0, usage.ru_maxrss / 1024.0, seconds, output};
}

std::string selfPath() {
    std::vector<char> buf(4096);
    ssize_t len = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    return len > 0 ? std::string(buf.data(), len) : std::string();
}

// Arguments: the shape, the node count (synthetic grids), the solver.
void BM_PowerFlow(benchmark::State& state) {
    const Shape shape = static_cast<Shape>(state.range(0));
    const int n = static_cast<int>(state.range(1));
    const Solver solver = static_cast<Solver>(state.range(2));
    PowerGrid grid;
    if (!buildGrid(grid, shape, n)) {
        state.SkipWithError("no imported grid: set TESSALY_BENCH_IMPORTED to an input file made by the importer");
        return;
    }
    const std::vector<double> startPhases = phasesOf(grid);
    state.SetLabel(std::string(PowerGrid::nrSolverName(solver)) + " (auto: " +
                   PowerGrid::nrSolverName(grid.usedNrSolver()) + ")");
    bool converged = true;
    for (auto _ : state) {
        state.PauseTiming();
        prepare(grid, solver, startPhases);
        state.ResumeTiming();
        quietly([&] { converged = grid.NRPF() && converged; });
    }
    if (!converged) state.SkipWithError("the power flow did not converge");
    prepare(grid, solver, startPhases);
    int steps = newtonSteps(grid);
    state.counters["nodes"] = grid.getNumNodes();
    state.counters["Newton_steps"] = steps;
    state.counters["s_per_step"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * steps,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    ChildUsage child = runChild({selfPath(), "--peak-memory", std::to_string(shape), std::to_string(n),
                                 std::to_string(static_cast<int>(solver))});
    state.counters["peak_RSS_MiB"] = child.ok ? std::atof(child.output.c_str()) / 1024 : -1;
}

void addCase(benchmark::internal::Benchmark* b, Shape shape, int n, Solver solver) {
    b->Args({shape, n, static_cast<int>(solver)});
}

// The dense path stops at 2,000 nodes (10,000 would need about 3.2 GB and
// minutes per step). The sparse LU of a ring with random chords fills in
// with the square of the nodes: at 10,000 nodes it runs once (below), at
// 100,000 it would need tens of GB.
void powerFlowCases(benchmark::internal::Benchmark* b) {
    for (Shape shape : {kIeee118, kImported}) {
        for (Solver solver : {Solver::Dense, Solver::Sparse, Solver::Iterative}) addCase(b, shape, 0, solver);
    }
    for (Shape shape : {kParallelChords, kRandomChords}) {
        for (int n : {1000, 10000, 100000}) {
            if (n <= PowerGrid::kDenseSolverMaxNodes) addCase(b, shape, n, Solver::Dense);
            if (shape == kParallelChords || n <= PowerGrid::kDenseSolverMaxNodes) addCase(b, shape, n, Solver::Sparse);
            addCase(b, shape, n, Solver::Iterative);
        }
    }
}
BENCHMARK(BM_PowerFlow)->Apply(powerFlowCases)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
// About 30 s per power flow.
BENCHMARK(BM_PowerFlow)
    ->Args({kRandomChords, 10000, static_cast<int>(Solver::Sparse)})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// What "auto" adds above 2,000 nodes: measuring the fill of a direct
// factorisation. The choice is kept for a grid until its records or its
// reference node change; moving the reference node makes every iteration
// measure.
void BM_SolverChoice(benchmark::State& state) {
    const Shape shape = static_cast<Shape>(state.range(0));
    PowerGrid grid;
    buildGrid(grid, shape, static_cast<int>(state.range(1)));
    Solver choice = Solver::Auto;
    for (auto _ : state) {
        grid.setRefNode(grid.getRefNode() == 0 ? 1 : 0);
        choice = grid.usedNrSolver();
    }
    state.SetLabel(PowerGrid::nrSolverName(choice));
}
BENCHMARK(BM_SolverChoice)
    ->ArgsProduct({{kParallelChords, kRandomChords}, {10000, 100000}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// The input file of the end-to-end raster: the ring with parallel chords as
// "Line list" rows, 10 frequency kicks at node 0, mean return times over 1,000 steps.
void writeRasterInput(const std::string& path, int n) {
    SyntheticGrid shape(kParallelChords, n);
    std::ofstream out(path);
    out << "Number of nodes\n" << n << "\nRK steps\n1000\nRK stepwidth\n0.01\nRandom seed\n1\n"
        << "Output filename\nbench\nMode raster rt\nMode RMRT\nNR start\nflat\nNR precision\n1e-8\n"
        << "Damping\n0.5\nInertia\n1\nPower mech\n";
    for (int i = 0; i < n; ++i) out << shape.power(i) << (i + 1 < n ? " " : "\n");
    out << "Line list\n";
    for (const auto& line : shape.lines) {
        const int a = line.first, b = line.second;
        out << a << ' ' << b << " 8 0\n" << b << ' ' << a << " 8 0\n";
    }
    out << "First pert node\n0\nLast pert node\n1\nFreq pert minimum\n-0.5\nFreq pert maximum\n0.49\n"
        << "Freq pert step\n0.1\nPhase pert minimum\n0\nPhase pert maximum\n0.1\nPhase pert step\n1\n"
        << "RT threshold low\n0.01\nRT threshold high\n0.1\nNum of thresh\n3\n";
}

void BM_RasterLineList10k(benchmark::State& state) {
    const int n = 10000;
    char pattern[] = "/tmp/tessaly-bench-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    std::string dir = pattern;
    writeRasterInput(dir + "/input.txt", n);
    std::ofstream(dir + "/stdin.txt") << "input.txt\n";
    ChildUsage child{};
    for (auto _ : state) {
        child = runChild({TESSALY_BIN}, dir, dir + "/stdin.txt");
        state.SetIterationTime(child.seconds);
        state.PauseTiming();
        std::system(("rm -rf '" + dir + "'/ijtor '" + dir + "'/frequency '" + dir + "'/phase '" + dir +
                     "'/heijtor '" + dir + "'/etraj '" + dir + "'/ipm")
                        .c_str());
        state.ResumeTiming();
    }
    if (!child.ok) state.SkipWithError("the program failed");
    // Run it first or alone (--benchmark_filter): what this process holds
    // when it starts the program counts in the program's ru_maxrss.
    state.counters["peak_RSS_MiB"] = child.peakMiB;
    std::system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(BM_RasterLineList10k)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

// --peak-memory SHAPE N SOLVER: build the grid and solve it once, in this
// process, and print its peak resident memory in KiB.
int measurePeakMemory(Shape shape, int n, Solver solver) {
    PowerGrid grid;
    if (!buildGrid(grid, shape, n)) return 1;
    prepare(grid, solver, phasesOf(grid));
    bool converged = false;
    quietly([&] { converged = grid.NRPF(); });
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) std::cout << std::atol(line.c_str() + 6) << '\n';
    }
    return converged ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--peak-memory") == 0) {
        return measurePeakMemory(static_cast<Shape>(std::atoi(argv[2])), std::atoi(argv[3]),
                                 static_cast<Solver>(std::atoi(argv[4])));
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
