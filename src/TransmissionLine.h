#ifndef TESSALY_TRANSMISSIONLINE_H
#define TESSALY_TRANSMISSIONLINE_H

#include <complex>

// One directed line record from fromNode to toNode. A physical line is two
// records, one in each endpoint's line list. Outside code compiles against
// this declaration and links TransmissionLine.o, so the layout is fixed and
// every member function is defined out of line.
class TransmissionLine {
public:
    TransmissionLine();
    TransmissionLine(int from, int to);
    virtual ~TransmissionLine();

    void init();

    static TransmissionLine* getNullLine();
    bool isNull();

    bool isOnline() const;
    void setOnline(bool on);
    int getFromNode() const;
    void setFromNode(int from);
    int getToNode() const;
    void setToNode(int to);

    double getAdmittanceMag() const;
    void setAdmittanceMag(double mag);
    double getAdmittanceAng() const;
    void setAdmittanceAng(double ang);
    double getCouplingMag();
    void setCouplingMag(double mag);
    double getCouplingAng() const;
    void setCouplingAng(double ang);
    double getCapacity() const;
    void setCapacity(double cap);
    std::complex<double> getCflow() const;
    void setCflow(std::complex<double> c);

    double getFlow(double* phases);
    double measureFlow(double* phases);
    void addMeanFlow(double x);
    double getMeanFlow();
    void resetMeanFlow();
    bool setMaxFlow(double x);
    double getMaxFlow();
    void resetMaxFlow();

    static TransmissionLine* nullLine;

private:
    bool nulll;
    bool online;
    int fromNode;
    int toNode;
    double admittanceMag;
    double admittanceAng;
    double couplingMag;
    double couplingAng;
    double capacity;
    std::complex<double> cflow;
    double meanFlow;
    double maxFlow;
    double curFlow;
};

#endif
