#ifndef TESSALY_STOCHASTICINPUT_H
#define TESSALY_STOCHASTICINPUT_H

#include <string>

class Param;
class PowerGrid;
class RungeKutta;

// Stochastic wind-input analysis: wind series to turbine power, generator
// balancing and the statistics run for every turbine configuration.
class StochasticInput {
public:
    StochasticInput(PowerGrid* grid, Param* param);
    virtual ~StochasticInput();

    bool readFromFile(std::string fileName);
    // Throws InputError (before the first configuration writes anything) for
    // input the analysis cannot run on.
    void stochSwing(Param& param, RungeKutta& rk);
    std::string toString();
};

#endif
