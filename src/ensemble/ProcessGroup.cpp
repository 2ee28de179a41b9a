#include "ensemble/ProcessGroup.h"

#include <algorithm>
#include <cstdlib>

#ifdef TESSALY_MPI
#include <mpi.h>
#endif

namespace {

// Set by mpirun (Open MPI), by srun with PMIx or PMI-2, and by the launchers
// of other MPI libraries. A program started any other way runs alone, also
// when it was built with MPI.
bool startedByMpiLauncher() {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_RANK", "PMI_SIZE"}) {
        if (std::getenv(name) != nullptr) return true;
    }
    return false;
}

#ifndef TESSALY_MPI
// How many processes the launcher started, as far as its variables tell.
int launchedProcesses() {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE"}) {
        if (const char* value = std::getenv(name)) return std::max(1, std::atoi(value));
    }
    return 1;
}
#endif

}  // namespace

const ProcessGroup& ProcessGroup::alone() {
    static const ProcessGroup group;
    return group;
}

#ifdef TESSALY_MPI

void ProcessGroup::broadcast(std::vector<long long>& values) const {
    if (!connected || values.empty()) return;
    MPI_Bcast(values.data(), static_cast<int>(values.size()), MPI_LONG_LONG, 0, MPI_COMM_WORLD);
}

void ProcessGroup::barrier() const {
    if (connected) MPI_Barrier(MPI_COMM_WORLD);
}

std::vector<std::vector<double>> ProcessGroup::gather(const std::vector<double>& values) const {
    if (!connected) return {values};
    int count = static_cast<int>(values.size());
    std::vector<int> counts(isLeader() ? processes : 0);
    MPI_Gather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
    std::vector<int> starts(counts.size(), 0);
    int total = 0;
    for (std::size_t r = 0; r < counts.size(); ++r) {
        starts[r] = total;
        total += counts[r];
    }
    std::vector<double> all(static_cast<std::size_t>(total));
    MPI_Gatherv(values.data(), count, MPI_DOUBLE, all.data(), counts.data(), starts.data(), MPI_DOUBLE, 0,
                MPI_COMM_WORLD);
    std::vector<std::vector<double>> perProcess;
    for (std::size_t r = 0; r < counts.size(); ++r) {
        perProcess.emplace_back(all.begin() + starts[r], all.begin() + starts[r] + counts[r]);
    }
    return perProcess;
}

MpiSession::MpiSession(int& argc, char**& argv) {
    if (!startedByMpiLauncher()) return;
    // Only the main thread of a process talks to the others.
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
    MPI_Comm_rank(MPI_COMM_WORLD, &group.rankIndex);
    MPI_Comm_size(MPI_COMM_WORLD, &group.processes);
    group.connected = true;
}

MpiSession::~MpiSession() {
    if (group.connected) MPI_Finalize();
}

void ProcessGroup::abort(int status) const {
    if (connected && processes > 1) MPI_Abort(MPI_COMM_WORLD, status);
    std::exit(status);
}

#else

void ProcessGroup::broadcast(std::vector<long long>&) const {}

void ProcessGroup::barrier() const {}

std::vector<std::vector<double>> ProcessGroup::gather(const std::vector<double>& values) const { return {values}; }

MpiSession::MpiSession(int&, char**&) {
    if (startedByMpiLauncher()) unsupportedProcesses = launchedProcesses();
}

MpiSession::~MpiSession() = default;

void ProcessGroup::abort(int status) const { std::exit(status); }

#endif
