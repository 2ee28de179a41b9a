#ifndef TESSALY_NODE_H
#define TESSALY_NODE_H

// One bus of the grid: power terms, damping, inertia, voltage and a type code.
class Node {
public:
    static const short GENERATOR;
    static const short LOAD;
    static const short SYNC_COND;
    static const short UNKNOWN;

    explicit Node(int k);
    virtual ~Node();

    int getNum() const { return num; }
    void setNum(int k) { num = k; }
    short getType() const { return type; }
    void setType(short t) { type = t; }
    double getPowerMechInit() const { return powerMechInit; }
    void setPowerMechInit(double p) { powerMechInit = p; }
    double getPowerMech() const { return powerMech; }
    void setPowerMech(double p) { powerMech = p; }
    double getPowerDiag() const { return powerDiag; }
    void setPowerDiag(double p) { powerDiag = p; }
    double getDamping() const { return damping; }
    void setDamping(double d) { damping = d; }
    double getInertia() const { return inertia; }
    void setInertia(double m) { inertia = m; }
    double getInertiaInv() const { return inertiaInv; }
    void setInertiaInv(double mInv) { inertiaInv = mInv; }
    double getVoltPhaseSs() const { return voltPhaseSs; }
    void setVoltPhaseSs(double phase) { voltPhaseSs = phase; }
    double getVoltPhase() const { return voltPhase; }
    void setVoltPhase(double phase) { voltPhase = phase; }
    double getVoltMagSs() const { return voltMagSs; }
    void setVoltMagSs(double mag) { voltMagSs = mag; }
    bool isGen() const { return type == GENERATOR; }

private:
    int num;
    short type;
    double powerMechInit;
    double powerMech;
    double powerDiag;
    double damping;
    double inertia;
    double inertiaInv;
    double voltPhaseSs;
    double voltPhase;
    double voltMagSs;
};

#endif
