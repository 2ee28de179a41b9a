// Power flow on large grids: time per power flow and per Newton step, and the
// peak memory of a process that builds the grid and solves it, for the dense
// and the sparse Newton solver on ring-plus-chords grids of 100 to 10,000
// nodes and on the IEEE 118-bus example. Then a raster of 10 initial
// conditions x 1,000 steps on a 10,000-node grid given as "Line list", run end
// to end by the program itself.
//
// Peak memory is measured in a fresh process (this program started again with
// --peak-memory), so nothing the timing runs left behind counts.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "grid/PowerGrid.h"

namespace {

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

// A ring of n nodes with a chord from every tenth node of one half to the node
// opposite; generators (+1) and loads (-1) alternate, every line has coupling 8.
struct RingWithChords {
    int n;
    template <typename Connect>
    void forEachLine(Connect connect) const {
        for (int i = 0; i < n; ++i) connect(i, (i + 1) % n);
        for (int i = 0; i < n / 2; i += 10) connect(i, i + n / 2);
    }
    double power(int i) const { return i % 2 == 0 ? 1.0 : -1.0; }
};

void buildRingWithChords(PowerGrid& grid, int n) {
    RingWithChords shape{n};
    grid.setNumNodes(n);
    for (int i = 0; i < n; ++i) {
        Node* node = grid.getNode(i);
        node->setPowerMechInit(shape.power(i));
        node->setPowerMech(shape.power(i));
        node->setDamping(0.5);
        node->setInertia(1.0);
        node->setInertiaInv(1.0);
    }
    shape.forEachLine([&](int a, int b) {
        grid.provideTrLine(a, b)->setCouplingMag(8.0);
        grid.provideTrLine(b, a)->setCouplingMag(8.0);
    });
}

// n > 0: ring with chords of n nodes; n = 0: the IEEE 118-bus example.
void buildGrid(PowerGrid& grid, int n) {
    if (n > 0) {
        buildRingWithChords(grid, n);
    } else {
        quietly([&] { grid.readFromFile(TESSALY_SOURCE_DIR "/examples/ieee118.txt"); });
    }
}

PowerGrid::NrSolver solverOf(int code) { return code == 0 ? PowerGrid::NrSolver::Dense : PowerGrid::NrSolver::Sparse; }

// Phases 0 and the slack power as built: every power flow starts alike.
void resetToFlatStart(PowerGrid& grid) {
    grid.resetPowerMech();
    for (int k = 0; k < grid.getNumNodes(); ++k) grid.getNode(k)->setVoltPhase(0);
}

// The IEEE example keeps its own starting phases and its flat start.
void prepare(PowerGrid& grid, int n, int solver, const std::vector<double>& filePhases) {
    if (n > 0) {
        resetToFlatStart(grid);
    } else {
        grid.resetPowerMech();
        for (int k = 0; k < grid.getNumNodes(); ++k) grid.getNode(k)->setVoltPhase(filePhases[k]);
    }
    grid.setNrSolver(solverOf(solver));
    grid.setNrStart(PowerGrid::NrStart::Flat);
}

int newtonSteps(PowerGrid& grid) {
    int steps = 0;
    quietly([&] { grid.NRMethod(grid.getNrPrecision(), steps); });
    return steps;
}

struct ChildUsage {
    bool ok;
    double peakMiB;
    double seconds;
};

// Runs `argv` as a child process (standard input from `input` when given,
// output discarded) and returns its peak resident memory and wall time.
ChildUsage runChild(const std::vector<std::string>& argv, const std::string& workDir = "",
                    const std::string& input = "") {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::cout.flush();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
        int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, 1);
        if (!input.empty()) {
            int in = open(input.c_str(), O_RDONLY);
            dup2(in, 0);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    double seconds = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) * 1e-9;
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0, usage.ru_maxrss / 1024.0, seconds};
}

std::string selfPath() {
    std::vector<char> buf(4096);
    ssize_t len = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    return len > 0 ? std::string(buf.data(), len) : std::string();
}

// Argument 0: node count (0 = IEEE 118); argument 1: 0 dense, 1 sparse.
void BM_PowerFlow(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const int solver = static_cast<int>(state.range(1));
    PowerGrid grid;
    buildGrid(grid, n);
    std::vector<double> filePhases;
    for (int k = 0; k < grid.getNumNodes(); ++k) filePhases.push_back(grid.getNode(k)->getVoltPhase());
    bool converged = true;
    for (auto _ : state) {
        state.PauseTiming();
        prepare(grid, n, solver, filePhases);
        state.ResumeTiming();
        quietly([&] { converged = grid.NRPF() && converged; });
    }
    if (!converged) state.SkipWithError("the power flow did not converge");
    prepare(grid, n, solver, filePhases);
    int steps = newtonSteps(grid);
    state.counters["nodes"] = grid.getNumNodes();
    state.counters["Newton_steps"] = steps;
    state.counters["s_per_step"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * steps,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    ChildUsage child = runChild({selfPath(), "--peak-memory", std::to_string(n), std::to_string(solver)});
    state.counters["peak_RSS_MiB"] = child.ok ? child.peakMiB : -1;
}

void powerFlowSizes(benchmark::internal::Benchmark* b) {
    for (int n : {0, 100, 1000, 2000}) b->Args({n, 0});
    for (int n : {0, 100, 1000, 2000, 10000}) b->Args({n, 1});
}
BENCHMARK(BM_PowerFlow)->Apply(powerFlowSizes)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The input file of the end-to-end raster: the ring with chords as "Line list"
// rows, 10 frequency kicks at node 0, mean return times over 1,000 steps.
void writeRasterInput(const std::string& path, int n) {
    RingWithChords shape{n};
    std::ofstream out(path);
    out << "Number of nodes\n" << n << "\nRK steps\n1000\nRK stepwidth\n0.01\nRandom seed\n1\n"
        << "Output filename\nbench\nMode raster rt\nMode RMRT\nNR start\nflat\nNR precision\n1e-8\n"
        << "Damping\n0.5\nInertia\n1\nPower mech\n";
    for (int i = 0; i < n; ++i) out << shape.power(i) << (i + 1 < n ? " " : "\n");
    out << "Line list\n";
    shape.forEachLine([&](int a, int b) { out << a << ' ' << b << " 8 0\n" << b << ' ' << a << " 8 0\n"; });
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
    state.counters["peak_RSS_MiB"] = child.peakMiB;
    std::system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(BM_RasterLineList10k)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

// --peak-memory N SOLVER: build the grid and solve it once, in this process.
int measurePeakMemory(int n, int solver) {
    PowerGrid grid;
    buildGrid(grid, n);
    std::vector<double> filePhases;
    for (int k = 0; k < grid.getNumNodes(); ++k) filePhases.push_back(grid.getNode(k)->getVoltPhase());
    prepare(grid, n, solver, filePhases);
    quietly([&] { grid.NRPF(); });
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--peak-memory") == 0) {
        return measurePeakMemory(std::atoi(argv[2]), std::atoi(argv[3]));
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
