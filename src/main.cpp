#include <cstdio>
#include <iostream>

#include "CommandLine.h"
#include "tessaly.h"

int main(int argc, char** argv) {
    // Every console line reaches a pipe (tessaly | tee log) as it is written,
    // not when the run ends; std::cout writes through the C stream.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    const CommandLine commandLine =
        parseCommandLine(argc, argv, CommandLineEnvironment::ofProcess(), std::cout, std::cerr);
    if (commandLine.exitStatus) return *commandLine.exitStatus;
    return runTessaly(std::cin, commandLine.options);
}
