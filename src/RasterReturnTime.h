#ifndef TESSALY_RASTERRETURNTIME_H
#define TESSALY_RASTERRETURNTIME_H

#include <string>

class Param;
class PowerGrid;
class RungeKutta;

// Raster return-time analysis: perturbs every node of a range over a raster of
// phase and frequency offsets and measures how the grid returns.
class RasterReturnTime {
public:
    explicit RasterReturnTime(PowerGrid* grid);
    virtual ~RasterReturnTime();

    bool readFromFile(std::string fileName);
    std::string toString();
    // Throws InputError (before anything is written) for an unusable configuration.
    void rasterRT(Param& param, RungeKutta& rk);
};

#endif
