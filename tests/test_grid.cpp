#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <stdexcept>

#include "CodeUtils.h"
#include "PowerGrid.h"
#include "TestSupport.h"

using testsupport::ScratchDir;
using testsupport::writeText;

namespace {

// Reads `text` as the grid file; returns what the reader printed.
std::string readGrid(PowerGrid& grid, const ScratchDir& dir, const std::string& text) {
    writeText(dir.file("grid.txt"), text);
    testing::internal::CaptureStdout();
    bool ok = false;
    try {
        ok = grid.readFromFile(dir.file("grid.txt"));
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ok);
    return out;
}

std::string inputErrorOf(const std::string& text) {
    ScratchDir dir;
    PowerGrid grid;
    try {
        readGrid(grid, dir, text);
    } catch (const InputError& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(GridContainer, LineLookupAndCreation) {
    PowerGrid grid;
    grid.setNumNodes(6);
    TransmissionLine* line = grid.provideTrLine(2, 5);
    line->setCouplingMag(3);
    EXPECT_EQ(grid.provideTrLine(2, 5), line);
    EXPECT_EQ(grid.linesOf(2).size(), 1u);
    EXPECT_EQ(grid.getTrLine(2, 5), line);
    EXPECT_EQ(line->getFromNode(), 2);
    EXPECT_EQ(line->getToNode(), 5);
    EXPECT_TRUE(line->isOnline());
    EXPECT_TRUE(grid.getTrLine(5, 2)->isNull());
    EXPECT_TRUE(grid.getTrLine(2, 2)->isNull());
    EXPECT_EQ(grid.getCouplingMag(2, 5), 3.0);
    EXPECT_EQ(grid.getCouplingMag(5, 2), 0.0);
}

TEST(GridContainer, OutOfRangeIndicesAreRejected) {
    PowerGrid grid;
    grid.setNumNodes(3);
    EXPECT_THROW(grid.getNode(-1), std::out_of_range);
    EXPECT_THROW(grid.getNode(3), std::out_of_range);
    EXPECT_THROW(grid.getPowerMech(3), std::out_of_range);
    EXPECT_THROW(grid.setPowerMech(-2, 1.0), std::out_of_range);
    EXPECT_THROW(grid.getTrLine(3, 0), std::out_of_range);
    EXPECT_THROW(grid.provideTrLine(3, 0), std::out_of_range);
    EXPECT_THROW(grid.provideTrLine(0, 3), std::out_of_range);
    EXPECT_THROW(grid.provideTrLine(1, 1), std::invalid_argument);
    EXPECT_THROW(grid.linesOf(7), std::out_of_range);
    EXPECT_THROW(grid.setNumNodes(-1), std::invalid_argument);
    EXPECT_TRUE(grid.getTrLine(0, 99)->isNull());
    EXPECT_EQ(grid.linesOf(0).size(), 0u);
}

TEST(GridContainer, SetNumNodesRebuildsEverything) {
    PowerGrid grid;
    grid.setNumNodes(4);
    grid.getNode(1)->setPowerMech(2);
    grid.getNode(1)->setType(Node::GENERATOR);
    grid.provideTrLine(0, 1);
    grid.setNumNodes(3);
    ASSERT_EQ(grid.getNumNodes(), 3);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(grid.getNode(k)->getNum(), k);
        EXPECT_EQ(grid.getNode(k)->getType(), Node::UNKNOWN);
        EXPECT_EQ(grid.getNode(k)->getPowerMech(), 0.0);
        EXPECT_TRUE(grid.linesOf(k).empty());
    }
    EXPECT_THROW(grid.getNode(3), std::out_of_range);
}

TEST(GridContainer, IworGensAndPowerReset) {
    PowerGrid grid;
    grid.setNumNodes(4);
    EXPECT_EQ(grid.IWOR(0), 1);
    EXPECT_EQ(grid.IWOR(2), 3);
    grid.setRefNode(2);
    EXPECT_EQ(grid.IWOR(0), 0);
    EXPECT_EQ(grid.IWOR(1), 1);
    EXPECT_EQ(grid.IWOR(2), 3);

    EXPECT_TRUE(grid.getGens().empty());
    grid.getNode(3)->setType(Node::GENERATOR);
    grid.getNode(1)->setType(Node::GENERATOR);
    grid.getNode(2)->setType(Node::LOAD);
    std::vector<Node*> gens = grid.getGens();
    ASSERT_EQ(gens.size(), 2u);
    EXPECT_EQ(gens[0]->getNum(), 1);
    EXPECT_EQ(gens[1]->getNum(), 3);

    grid.getNode(0)->setPowerMechInit(1.5);
    grid.setPowerMech(0, 9);
    grid.setPowerMech(3, 4);
    grid.resetPowerMech();
    EXPECT_EQ(grid.getPowerMech(), (std::vector<double>{1.5, 0, 0, 0}));
}

TEST(GridFile, NodeListsAndScalarKeys) {
    ScratchDir dir;
    PowerGrid grid;
    std::string out = readGrid(grid, dir,
                               "// a comment\n"
                               "Number of nodes\n4\n"
                               "Power mech\n1 2 3 4 5\n"
                               "Power diag\n0.5\n"
                               "Voltage ang\n0.1 0.2 0.3 0.4\n"
                               "Inertia\n2\n"
                               "Damping\n0.25\n"
                               "Node type\n0 1.9 2 255\n"
                               "RK steps\n100\n"
                               "Reference node\n3\n"
                               "NRIC\n5\n"
                               "NR precision\n1e-6\n");
    EXPECT_EQ(out,
              "-------------------- PowerGrid reading  --------------------\n"
              "read Number of nodes\nread Power mech\nread Power diag\nread Voltage ang\nread Inertia\n"
              "read Damping\nread Node type\nread Reference node\nread NRIC\nread NR precision\n");
    EXPECT_EQ(grid.getNumNodes(), 4);
    EXPECT_EQ(grid.getPowerMech(), (std::vector<double>{1, 2, 3, 4}));
    EXPECT_EQ(grid.getNode(3)->getPowerMechInit(), 4.0);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(grid.getNode(k)->getPowerDiag(), 0.5);
        EXPECT_EQ(grid.getNode(k)->getInertia(), 2.0);
        EXPECT_EQ(grid.getNode(k)->getInertiaInv(), 0.5);
        EXPECT_EQ(grid.getNode(k)->getDamping(), 0.25);
    }
    EXPECT_EQ(grid.getNode(2)->getVoltPhase(), 0.3);
    EXPECT_EQ(grid.getNode(2)->getVoltPhaseSs(), 0.3);
    EXPECT_EQ(grid.getNode(1)->getType(), Node::LOAD);
    EXPECT_EQ(grid.getNode(3)->getType(), Node::UNKNOWN);
    EXPECT_EQ(grid.getRefNode(), 3);
    EXPECT_EQ(grid.getNrICs(), 5);
    EXPECT_EQ(grid.getNrPrecision(), 1e-6);
}

TEST(GridFile, NodeTypeBeyondAnyCodeStoresWithoutFault) {
    ScratchDir dir;
    PowerGrid grid;
    readGrid(grid, dir, "Number of nodes\n3\nNode type\nnan -2.7 1e300\n");
    EXPECT_EQ(grid.getNode(0)->getType(), 0);
    EXPECT_EQ(grid.getNode(1)->getType(), -2);
    EXPECT_EQ(grid.getNode(2)->getType(), 0);
}

TEST(GridFile, MatricesCreateAndConfigureLines) {
    ScratchDir dir;
    PowerGrid grid;
    readGrid(grid, dir,
             "Number of nodes\n3\n"
             "Line capacity\n0 9 9\n9 0 9\n9 9 0\n"
             "Coupling mag\n5 2 0\n2 0 nan\n0 0\n"
             "Coupling ang\n0.7 0.1\n0.2\n1 1 1\n"
             "Admittance mag\n0 10 0\n0 0 0\n4\n"
             "Voltage mag\n1.1\n"
             "Line capacity\n0 3\n");
    // Diagonal and zero entries create nothing; NaN counts as non-zero.
    ASSERT_EQ(grid.linesOf(0).size(), 1u);
    ASSERT_EQ(grid.linesOf(1).size(), 2u);
    ASSERT_EQ(grid.linesOf(2).size(), 1u);
    EXPECT_EQ(grid.linesOf(1)[0].getToNode(), 0);
    EXPECT_EQ(grid.linesOf(1)[1].getToNode(), 2);
    EXPECT_TRUE(std::isnan(grid.getCouplingMag(1, 2)));
    EXPECT_EQ(grid.getCouplingMag(0, 1), 2.0);
    EXPECT_EQ(grid.getTrLine(0, 1)->getCouplingAng(), 0.1);
    EXPECT_EQ(grid.getTrLine(1, 0)->getCouplingAng(), 0.2);
    // The line 2->0 exists only through the admittance, uncoupled but in service.
    TransmissionLine* admittanceOnly = grid.getTrLine(2, 0);
    EXPECT_TRUE(admittanceOnly->isOnline());
    EXPECT_EQ(admittanceOnly->getCouplingMag(), 0.0);
    EXPECT_EQ(admittanceOnly->getCouplingAng(), 0.0);
    // Capacities before the lines existed were lost; the later block set one.
    EXPECT_EQ(grid.getTrLine(0, 1)->getCapacity(), 3.0);
    EXPECT_EQ(grid.getTrLine(1, 0)->getCapacity(), 0.0);
    // Constant flow term from the sending node's voltage: 1.1^2 * 10.
    EXPECT_NEAR(grid.getTrLine(0, 1)->getCflow().real(), 12.1, 1e-12);
    EXPECT_EQ(grid.getTrLine(0, 1)->getCflow().imag(), 0.0);
    EXPECT_EQ(grid.getTrLine(1, 0)->getCflow(), std::complex<double>(0, 0));
}

TEST(GridFile, CflowCarriesTheAdmittanceAngle) {
    PowerGrid grid;
    grid.setNumNodes(2);
    grid.getNode(1)->setVoltMagSs(2);
    TransmissionLine* line = grid.provideTrLine(1, 0);
    line->setAdmittanceMag(3);
    line->setAdmittanceAng(0.4);
    grid.calcCflow();
    EXPECT_NEAR(line->getCflow().real(), 12 * std::cos(0.4), 1e-12);
    EXPECT_NEAR(line->getCflow().imag(), -12 * std::sin(0.4), 1e-12);
}

TEST(GridFile, ExternalFiles) {
    ScratchDir dir;
    writeText(dir.file("p.txt"), "3 -1 -2\n");
    writeText(dir.file("k.txt"), "0 1 1\n1 0\n\n1 0 0\n");
    writeText(dir.file("phi.txt"), "0 0.3\n");
    PowerGrid grid;
    readGrid(grid, dir,
             "Number of nodes\n3\n"
             "Power mech ext\n" + dir.file("p.txt") + "\n"
             "Coupling mag ext\n" + dir.file("k.txt") + "\n"
             "Coupling ang ext\n" + dir.file("phi.txt") + "\n"
             "Coupling mag ext\n" + dir.file("missing.txt") + "\n");
    EXPECT_EQ(grid.getPowerMech(), (std::vector<double>{3, -1, -2}));
    EXPECT_EQ(grid.linesOf(0).size(), 2u);
    EXPECT_EQ(grid.linesOf(1).size(), 1u);
    EXPECT_EQ(grid.linesOf(2).size(), 0u);  // the empty line ended the file's matrix
    EXPECT_EQ(grid.getTrLine(0, 1)->getCouplingAng(), 0.3);
}

TEST(GridFile, ReadingStopsAndRestarts) {
    ScratchDir dir;
    PowerGrid grid;
    std::string out = readGrid(grid, dir, "\nNumber of nodes\n3\n");
    EXPECT_EQ(out, "-------------------- PowerGrid reading  --------------------\n");
    EXPECT_EQ(grid.getNumNodes(), 0);

    // A key with a trailing blank or CR is no key; its value line is dropped too.
    out = readGrid(grid, dir, "Number of nodes\n2\nPower mech \n7\nPower mech\r\n8\nDamping\n1\n");
    EXPECT_EQ(out,
              "-------------------- PowerGrid reading  --------------------\n"
              "read Number of nodes\nread Damping\n");
    EXPECT_EQ(grid.getPowerMech(), (std::vector<double>{0, 0}));

    // A second node count discards what came before it.
    readGrid(grid, dir, "Number of nodes\n2\nPower mech\n4\nCoupling mag\n0 1\n1 0\nNumber of nodes\n3\nDamping\n1\n");
    EXPECT_EQ(grid.getPowerMech(), (std::vector<double>{0, 0, 0}));
    EXPECT_TRUE(grid.linesOf(0).empty());
    EXPECT_EQ(grid.getNode(2)->getDamping(), 1.0);

    testing::internal::CaptureStdout();
    EXPECT_FALSE(grid.readFromFile(dir.file("no-such-file")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(grid.getNumNodes(), 3);
}

TEST(GridFile, InputLimits) {
    EXPECT_EQ(inputErrorOf("Number of nodes\n5\nPower mech\n1 2 3\n"),
              "\"Power mech\" has 3 values, but the grid has 5 nodes (allowed 1 value or at least 5)");
    EXPECT_NE(inputErrorOf("Number of nodes\n2\nDamping\n\n"), "");
    EXPECT_EQ(inputErrorOf("Number of nodes\n3\nNode type\n1\n"),
              "\"Node type\" has 1 value, but the grid has 3 nodes (allowed at least 3, one per node)");
    EXPECT_EQ(inputErrorOf("Number of nodes\n2\nCoupling mag\n0 1 1\n1 0\n"),
              "\"Coupling mag\" row 0 has 3 entries, but the grid has 2 nodes (allowed at most 2)");
    EXPECT_EQ(inputErrorOf("Number of nodes\n2\nLine capacity\n0 1\n1 0 5\n"),
              "\"Line capacity\" row 1 has 3 entries, but the grid has 2 nodes (allowed at most 2)");
    EXPECT_EQ(inputErrorOf("Number of nodes\n3\nReference node\n3\n"),
              "\"Reference node\" is 3, but the grid has 3 nodes (allowed 0..2)");
    EXPECT_NE(inputErrorOf("Number of nodes\n3\nReference node\n-1\n"), "");
    EXPECT_NE(inputErrorOf("Number of nodes\n-4\n"), "");
    // Checked once the whole file is read: a later node count can make it valid.
    EXPECT_EQ(inputErrorOf("Number of nodes\n3\nReference node\n4\nNumber of nodes\n5\n"), "");
    EXPECT_EQ(inputErrorOf("Reference node\n4\n"), "");

    ScratchDir dir;
    writeText(dir.file("k.txt"), "0 1\n1 0\n1 1\n");
    writeText(dir.file("p.txt"), "1 2\n");
    std::string tooManyRows = inputErrorOf("Number of nodes\n2\nCoupling mag ext\n" + dir.file("k.txt") + "\n");
    EXPECT_NE(tooManyRows.find("\"Coupling mag ext\" file"), std::string::npos);
    EXPECT_NE(tooManyRows.find("has 3 rows, but the grid has 2 nodes"), std::string::npos);
    std::string shortList = inputErrorOf("Number of nodes\n3\nPower diag ext\n" + dir.file("p.txt") + "\n");
    EXPECT_NE(shortList.find("has 2 values, but the grid has 3 nodes"), std::string::npos);
    EXPECT_NE(inputErrorOf("Number of nodes\n3\nPower diag ext\n" + dir.file("missing") + "\n"), "");
}

TEST(GridFile, InputLimitStopsTheRunBeforeAnythingIsWritten) {
    ScratchDir dir;
    testsupport::RunResult r = testsupport::runOnInput(dir.path(),
                                                       "Number of nodes\n3\n"
                                                       "Power mech\n1 -1\n"
                                                       "Coupling mag\n0 1 0\n1 0 1\n0 1 0\n\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tessaly: error: \"Power mech\" has 2 values, but the grid has 3 nodes "
                     "(allowed 1 value or at least 3)\n");
    EXPECT_EQ(r.out.find("Newton Raphson"), std::string::npos);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"input.txt"});

    r = testsupport::runOnInput(dir.path(), "Number of nodes\n2\nReference node\n2\n\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tessaly: error: \"Reference node\" is 2, but the grid has 2 nodes (allowed 0..1)\n");
}

TEST(GridReport, ByteForByte) {
    PowerGrid empty;
    EXPECT_EQ(empty.toString(),
              "====================== Power grid =======================\n"
              "----------------- Power flow Parameters -----------------\n"
              "NRPrecision: 1e-09\n"
              "NRSolver: dense\n"
              "\n"
              "------------------------ Nodes --------------------------\n"
              "ReferenceNode: 0\n"
              "Power: \n\n"
              "Voltage phases SS: \n\n"
              "Node types: \n\n"
              "\n\n");

    PowerGrid grid;
    grid.setNumNodes(2);
    grid.setRefNode(1);
    grid.setNrPrecision(0.001);
    grid.setPowerMech(0, 1.0 / 3);
    grid.setPowerMech(1, -2e7);
    grid.getNode(0)->setVoltPhaseSs(-0.5);
    grid.getNode(0)->setType(Node::GENERATOR);
    EXPECT_EQ(grid.toString(),
              "====================== Power grid =======================\n"
              "----------------- Power flow Parameters -----------------\n"
              "NRPrecision: 0.001\n"
              "NRSolver: dense\n"
              "\n"
              "------------------------ Nodes --------------------------\n"
              "ReferenceNode: 1\n"
              "Power: \n0.333333 -2e+07 \n"
              "Voltage phases SS: \n-0.5 0 \n"
              "Node types: \n0 255 \n"
              "\n\n");
}
