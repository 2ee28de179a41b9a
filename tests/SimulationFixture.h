#ifndef TESSALY_TESTS_SIMULATIONFIXTURE_H
#define TESSALY_TESTS_SIMULATIONFIXTURE_H

// A grid, a parameter set and an integrator over them, run inside a scratch
// working directory: what an analysis needs to be exercised in process.

#include <gtest/gtest.h>

#include <memory>

#include "dynamics/Function.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "dynamics/RungeKutta.h"
#include "TestSupport.h"

class SimulationTest : public ::testing::Test {
protected:
    testsupport::ScratchDir dir;
    PowerGrid grid;
    Param param;
    std::unique_ptr<Function> function;
    std::unique_ptr<RungeKutta> rk;
    std::unique_ptr<testsupport::WorkingDirectory> workDir;

    // Call once the grid is built: enters the scratch directory and binds the
    // integrator to the grid with param's settings.
    void startSimulation(int steps, const std::string& outputName) {
        param.numNodes = grid.getNumNodes();
        param.rkSteps = steps;
        param.setStepWidth(0.01);
        param.outputFilename = outputName;
        workDir = std::make_unique<testsupport::WorkingDirectory>(dir.path());
        function = std::make_unique<Function>(&param, &grid);
        rk = std::make_unique<RungeKutta>(grid.getNumNodes(), function.get());
    }
};

#endif
