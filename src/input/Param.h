#ifndef TESSALY_PARAM_H
#define TESSALY_PARAM_H

#include <ostream>
#include <string>
#include <vector>

class InputText;

// The run's parameter set: integration settings, mode switches, random seed,
// output name and the result lists some analyses fill. Members are public:
// the analyses read and change them directly.
class Param {
public:
    // Mode switches.
    bool modeRasterRt;
    bool modeRMRT;
    bool modeMeanRetTimes;
    bool modeERT;
    bool modePPert;
    bool modeMaxpOnly;
    bool modeMaxp;
    bool nrOnly;
    bool modeStochInp;
    bool modeSif;
    bool modeStepFun;
    bool modeGivenSeries;
    bool modeSurv;
    bool modeSurvivall;
    bool modeStochCASC;
    bool modeStochLf;
    bool testStoch;
    bool modeStraj;
    bool modeIterativeNetgen;
    bool modeRewireNetgen;
    bool modeRaster;
    // Puts the lines a cascade tripped back in service when the cascade ends.
    bool cascadeRestoreLines;
    bool modeFast;
    bool graphViz;
    bool writeParamFile;
    // The dynamic contingency analysis: one integration per line outage.
    bool modeContingency = false;
    // Single-node basin stability: random kicks per node on the ensemble engine.
    bool modeBasin = false;
    bool modeLinearStability;

    // Real-valued settings.
    double kmax;
    double singleNodeK;
    double kurtosis;
    double convergence;
    double stepWidth;
    double stepWidthSqrt;
    double timeTaken;
    double enThresh;
    double sigma;
    double logSigma;
    double sigmaStep;
    double logNormMu;
    double intermit;
    double intermitParam;
    double poissonRate;
    double poissonRateInv;
    double poissonAmp;
    double telegValue;
    double telegRateA;
    double telegRateB;
    double telegRateAInv;
    double telegRateBInv;
    double ppInit;
    double ppStepWidth;

    // Integer settings.
    int version;
    int numNodes;
    int rkSteps;
    int saveRKEvery;
    int saveOrdparEvery;
    int saveOmsumEvery;
    int rkSaveSteps;
    int omsumSteps;
    int ordparSteps;
    int draws;
    int numGenNets;
    int edges;
    int numSigmaValues;
    int numB;
    int sigmaOn;
    int telegraphOn;
    int poissonOn;
    int ppSteps;
    int ppRKSteps;
    unsigned randSeed;
    unsigned randSeedStart;

    // Containers and strings.
    std::vector<double> initVec;
    std::vector<double> ppSpanVec;
    std::vector<double> telegValues;
    std::vector<double> lineMaxFlows;
    std::vector<double> lineMaxRatios;
    std::vector<int> lineMaxIds;
    std::vector<std::vector<double>> flanksA;
    std::vector<std::vector<double>> flanksB;
    std::string outputFilename;
    std::string outputFilenameCopy;
    double sigmaQuad;

    Param();

    // Reads the parameter keys of an input file (false when it cannot be
    // opened), reporting them on standard output.
    bool readParamsFromFile(std::string fileName);
    void read(InputText& in, std::ostream& console);
    // The keys of the parameter reader.
    static std::vector<std::string> keys();
    // The switch keys (a key line alone turns them on) that are on, in the
    // order of the reader's keys.
    std::vector<std::string> switchesOn() const;
    // Throws InputError for a parameter no run can go on with.
    void validate() const;

    bool isModeRasterRt() const { return modeRasterRt; }
    void setModeRasterRt(bool on) { modeRasterRt = on; }
    bool isModeRMRT() const { return modeRMRT; }
    bool isModeMeanRetTimes() const { return modeMeanRetTimes; }
    void setModeMeanRetTimes(bool on) { modeMeanRetTimes = on; }
    bool isModeERT() const { return modeERT; }
    bool isModePPert() const { return modePPert; }
    bool isModeMaxpOnly() const { return modeMaxpOnly; }
    void setModeMaxpOnly(bool on) { modeMaxpOnly = on; }
    bool isModeMaxp() const { return modeMaxp; }
    void setModeMaxp(bool on) { modeMaxp = on; }
    bool isNRonly() const { return nrOnly; }
    bool isModeStochInp() const { return modeStochInp; }
    void setModeStochInp(bool on) { modeStochInp = on; }
    bool isModeSif() const { return modeSif; }
    void setModeSif(bool on) { modeSif = on; }
    bool isModeStepFun() const { return modeStepFun; }
    void setModeStepFun(bool on) { modeStepFun = on; }
    bool isModeGivenSeries() const { return modeGivenSeries; }
    void setModeGivenSeries(bool on) { modeGivenSeries = on; }
    bool isModeSurv() const { return modeSurv; }
    void setModeSurv(bool on) { modeSurv = on; }
    bool isModeSurvivall() const { return modeSurvivall; }
    void setModeSurvivall(bool on) { modeSurvivall = on; }
    bool isModeStochCASC() const { return modeStochCASC; }
    void setModeStochCASC(bool on) { modeStochCASC = on; }
    bool isModeStochLf() const { return modeStochLf; }
    void setModeStochLf(bool on) { modeStochLf = on; }
    bool isTestStoch() const { return testStoch; }
    bool isModeFast() const { return modeFast; }
    void setModeFast(bool on) { modeFast = on; }
    bool isModeStraj() const { return modeStraj; }
    void setModeStraj(bool on) { modeStraj = on; }
    bool isModeIterativeNetgen() const { return modeIterativeNetgen; }
    void setModeIterativeNetgen(bool on) { modeIterativeNetgen = on; }
    bool isModeRewireNetgen() const { return modeRewireNetgen; }
    bool isModeLinearStability() const { return modeLinearStability; }
    void setModeRewireNetgen(bool on) { modeRewireNetgen = on; }

    unsigned getRandSeed() const { return randSeed; }
    void setRandSeed(unsigned seed) { randSeed = seed; }
    double getSigmaQuad() const { return sigmaQuad; }
    double getEnThresh() const { return enThresh; }
    void setEnThresh(double threshold) { enThresh = threshold; }

    void setStepWidth(double h);
    void setSigma(double s);
    void setIntermit(double q);
    void setPoissonRate(double r);
    void setTelegRate(double a, double b);
    void setSaveOmsum(double every);
    void setSaveOrdpar(double every);
    void setPPRKSteps(double span);

    void resetFlanks();
    void initAll(int n);

    // Result paths and the run report.
    std::string getOfile(std::string selector) const;
    std::string reportFileName() const;
    bool toFile();
    bool toGraphViz();
};

#endif
