#include "grid/Node.h"

const short Node::GENERATOR = 0;
const short Node::LOAD = 1;
const short Node::SYNC_COND = 2;
const short Node::UNKNOWN = 255;

Node::Node(int k)
    : num(k),
      type(UNKNOWN),
      powerMechInit(0),
      powerMech(0),
      powerDiag(0),
      damping(0),
      inertia(0),
      inertiaInv(0),
      voltPhaseSs(0),
      voltPhase(0),
      voltMagSs(0) {}

Node::~Node() {}
