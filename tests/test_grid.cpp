#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>

#include "util/CodeUtils.h"
#include "grid/PowerGrid.h"
#include "TestSupport.h"
#include "diagnostics/Diagnostics.h"

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
    testing::internal::CaptureStderr();
    readGrid(grid, dir,
             "Number of nodes\n3\n"
             "Power mech ext\n" + dir.file("p.txt") + "\n"
             "Coupling mag ext\n" + dir.file("k.txt") + "\n"
             "Coupling ang ext\n" + dir.file("phi.txt") + "\n");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"Coupling mag ext\" file \"" + dir.file("k.txt") +
                       "\" has 2 rows, but the grid has 3 nodes (one row per node): row 2 is missing\n"),
              std::string::npos) << err;
    EXPECT_NE(err.find("\"Coupling ang ext\" file \"" + dir.file("phi.txt") + "\" has 1 row"), std::string::npos)
        << err;
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

    // A key with a trailing blank is no key; its value line is dropped too. A
    // CR LF line end reads as LF.
    out = readGrid(grid, dir, "Number of nodes\n2\nPower mech \n7\nPower mech\r\n8\r\nDamping\n1\n");
    EXPECT_EQ(out,
              "-------------------- PowerGrid reading  --------------------\n"
              "read Number of nodes\nread Power mech\nread Damping\n");
    EXPECT_EQ(grid.getPowerMech(), (std::vector<double>{8, 8}));

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
    EXPECT_EQ(inputErrorOf("Number of nodes\n3\nReference node\n3\n"),
              "\"Reference node\" is 3, but the grid has 3 nodes (allowed 0..2)");
    EXPECT_NE(inputErrorOf("Number of nodes\n3\nReference node\n-1\n"), "");
    EXPECT_NE(inputErrorOf("Number of nodes\n-4\n"), "");
    // Checked once the whole file is read: a later node count can make it valid.
    EXPECT_EQ(inputErrorOf("Number of nodes\n3\nReference node\n4\nNumber of nodes\n5\n"), "");
    EXPECT_EQ(inputErrorOf("Reference node\n4\n"), "");

    ScratchDir dir;
    writeText(dir.file("p.txt"), "1 2\n");
    std::string shortList = inputErrorOf("Number of nodes\n3\nPower diag ext\n" + dir.file("p.txt") + "\n");
    EXPECT_NE(shortList.find("has 2 values, but the grid has 3 nodes"), std::string::npos);
    EXPECT_EQ(inputErrorOf("Number of nodes\n3\nPower diag ext\n" + dir.file("missing") + "\n"),
              "\"Power diag ext\" names the file \"" + dir.file("missing") +
                  "\", which cannot be read (No such file or directory)");
    EXPECT_EQ(inputErrorOf("Number of nodes\n3\nCoupling ang ext\n" + dir.path() + "\n"),
              "\"Coupling ang ext\" names the file \"" + dir.path() + "\", which cannot be read (Is a directory)");
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

namespace {

// Four nodes with every kind of line value, as matrices and as "Line list"
// rows in the matrices' row order.
const std::string kLineGridHead =
    "Number of nodes\n4\nRK steps\n30\nRandom seed\n3\nOutput filename\nlines\n"
    "Power mech\n1 -0.25 -0.5 -0.25\nDamping\n0.5\nInertia\n1\nVoltage mag\n1.05 1 0.98 1\n";
const std::string kLineGridMatrices =
    "Coupling mag\n0 5 0 3\n5.5 0 2 0\n0 2 0 4\n3 0 4.5 0\n"
    "Coupling ang\n0 0.01 0 0.02\n-0.01 0 0 0\n0 0.03 0 0\n0 0 0.04 0\n"
    "Line capacity\n0 2 0 inf\n2 0 1 0\n0 1 0 1.5\n0 0 1.5 0\n"
    "Admittance mag\n0 4.8 0 2.9\n5.2 0 1.9 0\n0 2.1 0 3.8\n3.1 0 4.4 0\n"
    "Admittance ang\n0 -1.4 0 -1.3\n-1.45 0 -1.5 0\n0 -1.2 0 -1.1\n-1.35 0 -1.25 0\n";
const std::string kLineGridList =
    "Line list\n"
    "0 1 5 0.01 2 4.8 -1.4\n0 3 3 0.02 inf 2.9 -1.3\n"
    "1 0 5.5 -0.01 2 5.2 -1.45\n1 2 2 0 1 1.9 -1.5\n"
    "2 1 2 0.03 1 2.1 -1.2\n2 3 4 0 1.5 3.8 -1.1\n"
    "3 0 3 0 0 3.1 -1.35\n3 2 4.5 0.04 1.5 4.4 -1.25\n";
const std::string kLineGridTail =
    "Reference node\n0\nMode raster rt\nMode RMRT\nMode save traj\nFirst pert node\n0\nLast pert node\n2\n"
    "Freq pert minimum\n-0.2\nFreq pert maximum\n0.3\nFreq pert step\n0.4\n"
    "Phase pert minimum\n0\nPhase pert maximum\n0.1\nPhase pert step\n1\n"
    "RT threshold low\n0.01\nRT threshold high\n0.1\nNum of thresh\n2\n";

std::vector<std::string> filesUnder(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
            names.push_back(std::filesystem::relative(entry.path(), dir).string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string withoutLine(std::string text, const std::string& prefix) {
    std::size_t at = text.find(prefix);
    if (at != std::string::npos) text.erase(at, text.find('\n', at) + 1 - at);
    return text;
}

}  // namespace

TEST(LineList, SameRecordsAndByteIdenticalResultsAsMatrices) {
    ScratchDir dir;
    PowerGrid fromMatrices;
    PowerGrid fromList;
    readGrid(fromMatrices, dir, kLineGridHead + kLineGridMatrices + kLineGridTail);
    std::string out = readGrid(fromList, dir, kLineGridHead + kLineGridList + kLineGridTail);
    EXPECT_NE(out.find("read Line list\nread Reference node\n"), std::string::npos);
    for (int i = 0; i < 4; ++i) {
        std::vector<TransmissionLine> a = fromMatrices.linesOf(i);
        std::vector<TransmissionLine> b = fromList.linesOf(i);
        ASSERT_EQ(a.size(), b.size()) << "node " << i;
        for (std::size_t k = 0; k < a.size(); ++k) {
            EXPECT_EQ(a[k].getToNode(), b[k].getToNode());
            EXPECT_EQ(a[k].getCouplingMag(), b[k].getCouplingMag());
            EXPECT_EQ(a[k].getCouplingAng(), b[k].getCouplingAng());
            EXPECT_EQ(a[k].getCapacity(), b[k].getCapacity());
            EXPECT_EQ(a[k].getAdmittanceMag(), b[k].getAdmittanceMag());
            EXPECT_EQ(a[k].getAdmittanceAng(), b[k].getAdmittanceAng());
            EXPECT_EQ(a[k].getCflow(), b[k].getCflow());
            EXPECT_TRUE(b[k].isOnline());
        }
    }

    ScratchDir runM;
    ScratchDir runL;
    testsupport::RunResult m = testsupport::runOnInput(runM.path(), kLineGridHead + kLineGridMatrices + kLineGridTail);
    testsupport::RunResult l = testsupport::runOnInput(runL.path(), kLineGridHead + kLineGridList + kLineGridTail);
    ASSERT_EQ(m.status, 0);
    ASSERT_EQ(l.status, 0);
    // The list warns about nothing the matrices do not.
    EXPECT_EQ(l.err, m.err);
    std::string tail = "Finished reading parameters.";
    EXPECT_EQ(m.out.substr(m.out.find(tail), m.out.find("dclockt") - m.out.find(tail)),
              l.out.substr(l.out.find(tail), l.out.find("dclockt") - l.out.find(tail)));
    std::vector<std::string> files = filesUnder(runM.path());
    ASSERT_EQ(files, filesUnder(runL.path()));
    EXPECT_GT(files.size(), 4u);
    for (const std::string& name : files) {
        if (name == "input.txt" || testsupport::isRunManifest(name)) continue;
        std::string a = testsupport::readText(runM.path() + "/" + name);
        std::string b = testsupport::readText(runL.path() + "/" + name);
        if (name == "Paramlines") {
            a = withoutLine(a, "TimeTaken");
            b = withoutLine(b, "TimeTaken");
        }
        EXPECT_TRUE(a == b) << name;
    }
}

TEST(LineList, RowsUpdateEarlierRecordsAndHandBackTheLineThatEndsThem) {
    ScratchDir dir;
    PowerGrid grid;
    std::string out = readGrid(grid, dir,
                               "Number of nodes\n3\n"
                               "Coupling mag\n0 1 1\n1 0 0\n1 0 0\n"
                               "Line list\n0 2 7 0.5\n2 1 4 0\n1 2 0 0 3\n"
                               "// a comment ends the rows and is skipped as usual\n"
                               "Line list\n1 0 9 0\n"
                               "Damping\n0.5\n");
    EXPECT_EQ(out,
              "-------------------- PowerGrid reading  --------------------\n"
              "read Number of nodes\nread Coupling mag\nread Line list\nread Line list\nread Damping\n");
    ASSERT_EQ(grid.linesOf(0).size(), 2u);  // 0->2 updated in place, not doubled
    EXPECT_EQ(grid.getCouplingMag(0, 2), 7.0);
    EXPECT_EQ(grid.getTrLine(0, 2)->getCouplingAng(), 0.5);
    EXPECT_EQ(grid.getCouplingMag(1, 0), 9.0);
    EXPECT_EQ(grid.linesOf(2).back().getToNode(), 1);
    // A row with coupling 0 still creates its record, uncoupled but in service.
    EXPECT_TRUE(grid.getTrLine(1, 2)->isOnline());
    EXPECT_EQ(grid.getTrLine(1, 2)->getCapacity(), 3.0);
    EXPECT_EQ(grid.getNode(2)->getDamping(), 0.5);
}

TEST(LineList, InputErrorsNameTheRowTheValueAndTheLimit) {
    const std::string head = "Number of nodes\n3\nLine list\n0 1 1 0\n";
    EXPECT_EQ(inputErrorOf(head + "1 3 1 0\n"),
              "\"Line list\" row 2 \"1 3 1 0\" names node 3, but the grid has 3 nodes (allowed whole numbers 0..2)");
    EXPECT_EQ(inputErrorOf(head + "-1 2 1 0\n"),
              "\"Line list\" row 2 \"-1 2 1 0\" names node -1, but the grid has 3 nodes (allowed whole numbers 0..2)");
    EXPECT_EQ(inputErrorOf(head + "0.5 2 1 0\n"),
              "\"Line list\" row 2 \"0.5 2 1 0\" names node 0.5, but the grid has 3 nodes (allowed whole numbers 0..2)");
    EXPECT_EQ(inputErrorOf(head + "2 2 1 0\n"),
              "\"Line list\" row 2 \"2 2 1 0\" is a line from node 2 to itself (allowed two different nodes)");
    EXPECT_EQ(inputErrorOf(head + "1 0 1 0\n0 1 2 0\n"),
              "\"Line list\" row 3 \"0 1 2 0\" repeats the record 0 -> 1 of row 1 (allowed one row per record)");
    for (const char* row : {"0 2 1", "0 2 1 0 5 1", "0 2 1 0 5 1 0 9"}) {
        std::string error = inputErrorOf(head + row + "\n");
        EXPECT_NE(error.find("\"Line list\" row 2 \"" + std::string(row) + "\" has "), std::string::npos) << error;
        EXPECT_NE(error.find("(allowed 4, 5 or 7: from to couplingMag couplingAng"), std::string::npos) << error;
    }
    EXPECT_EQ(inputErrorOf("Line list\n0 1 1 0\n"),
              "\"Line list\" row 1 \"0 1 1 0\" names node 0, but the grid has 0 nodes "
              "(allowed none before \"Number of nodes\")");

    ScratchDir dir;
    testsupport::RunResult r = testsupport::runOnInput(dir.path(), head + "0 1 2 0\nMode raster rt\n\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("tessaly: error: \"Line list\" row 2"), std::string::npos);
    EXPECT_EQ(r.out.find("Newton Raphson"), std::string::npos);
}

TEST(GridFile, PowerFlowChoices) {
    ScratchDir dir;
    PowerGrid grid;
    std::string out = readGrid(grid, dir, "NR solver\nsparse\nNR start\ndc\n");
    EXPECT_EQ(out,
              "-------------------- PowerGrid reading  --------------------\n"
              "read NR solver\nread NR start\n");
    EXPECT_EQ(grid.getNrSolver(), PowerGrid::NrSolver::Sparse);
    EXPECT_EQ(grid.getNrStart(), PowerGrid::NrStart::Dc);
    readGrid(grid, dir, "NR solver\nauto\nNR start\nflat\n");
    EXPECT_EQ(grid.getNrSolver(), PowerGrid::NrSolver::Auto);
    EXPECT_EQ(grid.getNrStart(), PowerGrid::NrStart::Flat);
    readGrid(grid, dir, "NR solver\niterative\n");
    EXPECT_EQ(grid.getNrSolver(), PowerGrid::NrSolver::Iterative);
    EXPECT_EQ(inputErrorOf("NR solver\nSparse\n"),
              "\"NR solver\" is \"Sparse\" (allowed dense, sparse, auto, iterative)");
    EXPECT_EQ(inputErrorOf("NR start\nzero\n"), "\"NR start\" is \"zero\" (allowed random, flat, dc)");
    EXPECT_EQ(inputErrorOf("NR start\n"), "\"NR start\" is \"\" (allowed random, flat, dc)");
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
