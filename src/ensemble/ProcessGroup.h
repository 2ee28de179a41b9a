#ifndef TESSALY_PROCESSGROUP_H
#define TESSALY_PROCESSGROUP_H

#include <vector>

// The processes of one run. A run started by an MPI launcher (mpirun, srun)
// is a group of several: every process reads the input and solves the same
// power flows, and each integrates its share of the raster's initial
// conditions and of the independent stochastic runs; the first (the leader,
// rank 0) alone prints, makes the directories, writes the run report and
// the manifest. Any other run is a group of one, and the operations below
// do nothing.
class ProcessGroup {
public:
    // A group of this process alone.
    static const ProcessGroup& alone();

    int rank() const { return rankIndex; }
    int size() const { return processes; }
    bool isLeader() const { return rankIndex == 0; }

    // Every process gets the leader's `values` (the same count everywhere).
    void broadcast(std::vector<long long>& values) const;
    // Returns when every process has called it.
    void barrier() const;
    // The `values` of every process, in rank order, at the leader (and an
    // empty list at the others).
    std::vector<std::vector<double>> gather(const std::vector<double>& values) const;
    // Ends every process of the run at once (a failure in one process would
    // otherwise leave the others waiting for it), with exit status `status`.
    [[noreturn]] void abort(int status) const;

private:
    friend class MpiSession;
    ProcessGroup() = default;

    int rankIndex = 0;
    int processes = 1;
    bool connected = false;  // MPI was initialised for this group
};

// MPI for the lifetime of the object, when the program was started by an
// MPI launcher and the build has MPI; otherwise a group of one. Every
// process must construct it before anything else and destroy it last.
class MpiSession {
public:
    MpiSession(int& argc, char**& argv);
    ~MpiSession();
    MpiSession(const MpiSession&) = delete;
    MpiSession& operator=(const MpiSession&) = delete;

    const ProcessGroup& processes() const { return group; }
    // In a build without MPI: how many processes an MPI launcher started
    // (each would run the whole run into the same files); 0 otherwise.
    int processesWithoutMpi() const { return unsupportedProcesses; }

private:
    ProcessGroup group;
    int unsupportedProcesses = 0;
};

// How an analysis shares out its work: worker threads in each process, and
// the processes of the run.
struct Parallelism {
    int threads = 1;
    const ProcessGroup* processes = &ProcessGroup::alone();
};

#endif
