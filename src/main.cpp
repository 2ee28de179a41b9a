#include <cstdio>
#include <iostream>

#include "tessaly.h"

int main() {
    // Every console line reaches a pipe (tessaly | tee log) as it is written,
    // not when the run ends; std::cout writes through the C stream.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return runTessaly(std::cin);
}
