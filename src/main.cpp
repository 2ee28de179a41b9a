#include <iostream>

#include "tessaly.h"

int main() { return runTessaly(std::cin); }
