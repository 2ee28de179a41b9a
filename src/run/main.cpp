#include <csignal>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "util/CodeUtils.h"
#include "run/CommandLine.h"
#include "ensemble/ProcessGroup.h"
#include "run/tessaly.h"
#include "diagnostics/Diagnostics.h"

int main(int argc, char** argv) {
    // A file that reaches the file size limit (ulimit -f, a batch system's
    // limit) fails its write with EFBIG, which the writers report and
    // survive, instead of the signal ending the run (set before MPI starts:
    // it writes files too).
    std::signal(SIGXFSZ, SIG_IGN);
    // First and last: the processes of a cluster run connect before anything
    // else and part after everything.
    MpiSession mpi(argc, argv);
    const ProcessGroup& processes = mpi.processes();
    // Every console line reaches a pipe (tessaly | tee log) as it is written,
    // not when the run ends; std::cout writes through the C stream.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    // The leader of a cluster run prints for all: the others run the same
    // input and would repeat its console text and warnings.
    std::ostringstream unheard;
    if (!processes.isLeader()) {
        if (!std::freopen("/dev/null", "w", stdout)) std::cout.setstate(std::ios::badbit);
        Diagnostics::showWarnings(false);
    }
    const CommandLine commandLine = parseCommandLine(argc, argv, CommandLineEnvironment::ofProcess(), std::cout,
                                                     processes.isLeader() ? std::cerr : unheard);
    if (commandLine.exitStatus) return *commandLine.exitStatus;
    if (mpi.processesWithoutMpi() > 1) {
        std::cerr << "tessaly: error: started as one of " << mpi.processesWithoutMpi()
                  << " processes by an MPI launcher, but this build has no MPI: every process would run the whole "
                     "run into the same files (build with MPI, see the README, or run without the launcher)\n";
        return 2;
    }
    return runTessaly(std::cin, commandLine.options, processes);
}
