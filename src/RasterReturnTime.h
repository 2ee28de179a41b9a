#ifndef TESSALY_RASTERRETURNTIME_H
#define TESSALY_RASTERRETURNTIME_H

#include <ostream>
#include <string>
#include <vector>

#include "Progress.h"

class InputText;
class Param;
class PowerGrid;
class RungeKutta;

// Raster return-time analysis: perturbs every node of a range over a raster of
// phase and frequency offsets and measures how the grid returns.
class RasterReturnTime {
public:
    explicit RasterReturnTime(PowerGrid* grid);
    virtual ~RasterReturnTime();
    RasterReturnTime(const RasterReturnTime&) = delete;
    RasterReturnTime& operator=(const RasterReturnTime&) = delete;

    // Reads the raster keys of an input file, reporting them on standard output.
    bool readFromFile(std::string fileName);
    void read(InputText& in, std::ostream& console);
    // The keys of the raster reader.
    static std::vector<std::string> keys();
    std::string toString();
    // Throws InputError for a configuration the analysis cannot run on.
    void validate(const Param& param) const;
    // Validates (before anything is written), then walks the raster.
    void rasterRT(Param& param, RungeKutta& rk);

    // ---- the raster's initial conditions -------------------------------------
    // Whether the walk has any initial condition (a node range and a
    // frequency range that are not empty).
    bool walks() const;
    // The offsets in the order the walk uses them, accumulated as it does
    // (min, min + step, ... below max); empty when the raster does not walk.
    // Every row of frequency offsets uses the same phase offsets, the first
    // of them always. Valid input only (see validate).
    std::vector<double> frequencyOffsets() const;
    std::vector<double> phaseOffsets() const;
    // Nodes x frequency offsets x phase offsets.
    long long initialConditions() const;

    // ---- raster walk and return-time table ---------------------------------
    bool nextPertNode();
    void resetThresh();
    void setRetTime(double* values, double t, int k);
    void setRetAllThresh(double* values, double t);
    void setMeanRet(double* out);
    double getThresh(int k);
    bool vecConvergence(double* values, double eps, int n);
    // Copies the grid's steady-state phases, the reference of the raster's
    // initial states and of the energy measure.
    void takeSteadyState();

    // ---- modes, one initial condition each -----------------------------------
    void enrtIC(Param& param, RungeKutta& rk, double* phases, double* freqs);
    void mrtIC(Param& param, RungeKutta& rk, double* phases, double* freqs);
    void maxPIC(Param& param, RungeKutta& rk, double* phases, double* freqs);
    void trajIC(Param& param, RungeKutta& rk, double* phases, double* freqs);

    // ---- energy measure (relative to the steady state of takeSteadyState) ---
    void setEnergyRet(Param& param, double* phases, double* freqs, int i);
    double currentEnergy(double* phases, double* freqs);
    double harmonicEnergy(double* phases, double* freqs);
    double enT(double* phases, double* freqs);
    double enV(double* phases, double* freqs);

    // ---- accessors ---------------------------------------------------------
    double getFreqPertMin() const { return freqPertMin; }
    void setFreqPertMin(double v) { freqPertMin = v; }
    double getFreqPertMax() const { return freqPertMax; }
    void setFreqPertMax(double v) { freqPertMax = v; }
    double getFreqStepw() const { return freqStepw; }
    void setFreqStepw(double v) { freqStepw = v; }
    double getPhasePertMin() const { return phasePertMin; }
    void setPhasePertMin(double v) { phasePertMin = v; }
    double getPhasePertMax() const { return phasePertMax; }
    void setPhasePertMax(double v) { phasePertMax = v; }
    double getPhaseStepw() const { return phaseStepw; }
    void setPhaseStepw(double v) { phaseStepw = v; }
    double getThresholdHigh() const { return thresholdHigh; }
    void setThresholdHigh(double v) { thresholdHigh = v; }
    double getThresholdLow() const { return thresholdLow; }
    void setThresholdLow(double v) { thresholdLow = v; }
    double getThreshSpread() const { return threshSpread; }
    void setThreshSpread(double v) { threshSpread = v; }
    int getNumOfThresh() const { return numOfThresh; }
    void setNumOfThresh(int n) { numOfThresh = n; }
    bool isFixedThreshNum() const { return fixedThreshNum; }
    void setFixedThreshNum(bool fixed) { fixedThreshNum = fixed; }
    double getPertDelay() const { return pertDelay; }
    void setPertDelay(double delay);

    int getFirstPertNode() const { return firstPertNode; }
    void setFirstPertNode(int node) { firstPertNode = node; }
    int getLastPertNode() const { return lastPertNode; }
    void setLastPertNode(int node) { lastPertNode = node; }
    int getPertNode() const { return pertNode; }
    int getPertNodeCount() const { return pertNodeCount; }
    int getThreshRows() const { return threshRows; }
    const std::vector<double>& getThresholds() const { return thresholds; }
    double getRetTime(int k, int i) const { return retTime.at(k).at(i); }
    bool getRetFlag(int k, int i) const { return retFlag.at(k).at(i) != 0; }

private:
    PowerGrid* grid;
    int pertDelay;
    int firstPertNode;
    int pertNode;
    int pertNodeCount;
    int lastPertNode;
    int threshRows;
    bool fixedThreshNum;
    double freqPertMin;
    double freqPertMax;
    double phasePertMin;
    double phasePertMax;
    double freqStepw;
    double phaseStepw;
    double thresholdHigh;
    double thresholdLow;
    double threshSpread;
    int numOfThresh;
    std::vector<double> thresholds;
    std::vector<std::vector<double>> retTime;
    std::vector<std::vector<char>> retFlag;

    // Steady-state phases and, for the energy measure, one entry per line
    // record in node order and line-list order.
    struct EnergyLine {
        int from;
        int to;
        double k;
        double phi;
        double cosSteady;  // cos(s_from - s_to - phi)
    };
    std::vector<double> steadyPhases;
    std::vector<EnergyLine> energyLines;
    std::vector<double> inertias;
    std::vector<double> netPowers;  // powerMech - powerDiag

    // Counts the integration steps of the walk.
    ProgressMeter progress;

    void validateNodeRange() const;
    void validateOffsets() const;
    void validateModeSettings(const Param& param) const;
    void requireParamNodeCount(const Param& param, const char* modeKey) const;
    void makeResultDirectories(const Param& param) const;
    void runModes(Param& param, RungeKutta& rk, double* phases, double* freqs);
    void beginProgress(const Param& param);
    void clearReturnTable();
    void updateEnergyReturn(Param& param, double energy, int i);
    double deviation(double* phases, int i) const;
};

#endif
