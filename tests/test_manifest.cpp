// The run manifest of real runs, parsed and checked against the files on
// disk: a raster run (every mode), the wind example (every stochastic mode),
// a second run appending to the files of the first, and a run killed
// part-way.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "util/Sha256.h"
#include "TestSupport.h"

using namespace testsupport;
using Json = nlohmann::json;

namespace {

Json manifestOf(const std::string& path) { return Json::parse(readText(path)); }

// Runs the shipped example `name` in `dir`; its manifest.
Json exampleManifest(const ScratchDir& dir, const std::string& name) {
    copyExamples(dir);
    RunResult r = runProgram(dir.path(), name + ".txt\n");
    EXPECT_EQ(r.status, 0) << r.err;
    return manifestOf(dir.file("Manifest" + name + ".json"));
}

long long itemSize(const Json& file) { return file["dtype"] == "int32" ? 4 : 8; }

// Every file entry: this run's records fill the file from its offset to its
// end, and the entries are exactly the result files under `dir`.
void expectFilesMatchTheDisk(const std::string& dir, const Json& manifest) {
    std::set<std::string> listed;
    for (const Json& file : manifest["files"]) {
        const std::string path = file["path"];
        listed.insert(path);
        const long long width = file["record_width"];
        EXPECT_EQ(fileSize(dir + "/" + path), file["offset"].get<long long>() +
                                                  file["records"].get<long long>() * width * itemSize(file))
            << path;
        EXPECT_EQ(file["byte_order"], "little");
        const Json& columns = file.contains("group") ? file["group"]["columns"] : file["columns"];
        const long long perRecord = file.contains("group") ? file["group"]["count"].get<long long>() : 1;
        EXPECT_EQ(static_cast<long long>(columns.size()) * perRecord, width) << path;
    }
    std::set<std::string> onDisk;
    for (const std::string& file : filesUnder(dir)) {
        if (file.find(".txt") == std::string::npos && file.rfind("Param", 0) != 0 && !isRunManifest(file)) {
            onDisk.insert(file);
        }
    }
    EXPECT_EQ(listed, onDisk);
}

const Json& fileOfKind(const Json& manifest, const std::string& kind, int run = -1) {
    for (const Json& file : manifest["files"]) {
        if (file["kind"] == kind && (run < 0 || file["run"] == run)) return file;
    }
    throw std::runtime_error("no file of kind " + kind);
}

long long recordsOf(const Json& manifest, const std::string& kind) { return fileOfKind(manifest, kind)["records"]; }

long long segmentTotal(const Json& file, const char* count, const char* width = nullptr) {
    long long total = 0;
    for (const Json& segment : file["segments"]) {
        total += segment[count].get<long long>() * (width ? segment[width].get<long long>() : 1);
    }
    return total;
}

// Four nodes, a single frequency kick at node 0, integrated for (nearly)
// ever: only a kill ends it.
const std::string kEndlessRaster =
    "Random seed\n1\nRK steps\n2000000000\nOutput filename\nendless\nMode raster rt\nMode RMRT\n"
    "Number of nodes\n4\nPower mech\n1 0 -1 0\nDamping\n0.5\nInertia\n2\n"
    "Coupling mag\n0 2 0 0\n2 0 2 0\n0 2 0 2\n0 0 2 0\n"
    "First pert node\n0\nLast pert node\n1\nFreq pert minimum\n0\nFreq pert maximum\n0.1\nFreq pert step\n0.1\n"
    "RT threshold high\n0.1\n";

}  // namespace

TEST(RunManifest, RasterRunDescribesEveryFileAndTheRasterOrder) {
    ScratchDir dir;
    const Json manifest = exampleManifest(dir, "raster");
    EXPECT_EQ(manifest["schema"], 1);
    EXPECT_EQ(manifest["complete"], true);
    EXPECT_EQ(manifest["exit_status"], 0);
    EXPECT_TRUE(manifest["end_time"].is_string());
    std::string digest;
    std::uint64_t size = 0;
    ASSERT_TRUE(Sha256::ofFile(dir.file("raster.txt"), digest, size));
    EXPECT_EQ(manifest["input"], Json({{"path", "raster.txt"}, {"sha256", digest}, {"size", size}}));
    EXPECT_EQ(manifest["report"], "Paramraster");
    EXPECT_EQ(manifest["modes"], Json({"Mode raster rt", "Mode RMRT", "Mode save traj", "Mode ERT", "Mode maxp"}));
    EXPECT_EQ(manifest["power_flow"]["converged"], true);
    EXPECT_EQ(manifest["stochastic"], nullptr);
    expectFilesMatchTheDisk(dir.path(), manifest);

    const Json& raster = manifest["raster"];
    const long long conditions = raster["initial_conditions"];
    const int steps = manifest["steps"];
    EXPECT_EQ(conditions, 8);
    EXPECT_EQ(recordsOf(manifest, "raster.ijtor"), conditions);
    EXPECT_EQ(recordsOf(manifest, "raster.ipm"), conditions);
    EXPECT_EQ(recordsOf(manifest, "raster.freq_traj"), conditions * (steps - 1));
    EXPECT_EQ(recordsOf(manifest, "raster.freq_samples"),
              conditions * static_cast<long long>(raster["sample_steps"].size()));
    EXPECT_EQ(raster["sample_steps"], Json({1, 51, 101, 151}));
    const Json& endpoints = fileOfKind(manifest, "raster.freq_endpoints");
    EXPECT_EQ(endpoints["records"].get<long long>(), conditions * static_cast<long long>(endpoints["blocks"].size()));

    // Initial condition ic = ((node - a) * F + fi) * P + pi: the kick of every
    // mean return-time record is where the manifest says it is.
    const std::vector<double> ijtor = readDoubles(dir.file("ijtor/ijtorraster"));
    const std::vector<double> frequencies = raster["frequency_offsets"];
    const std::vector<double> phases = raster["phase_offsets"];
    const std::vector<double> steady = manifest["power_flow"]["steady_state_phases"];
    const int a = raster["first_node"];
    const std::size_t width = fileOfKind(manifest, "raster.ijtor")["record_width"];
    for (long long ic = 0; ic < conditions; ++ic) {
        const std::size_t pi = ic % phases.size();
        const std::size_t fi = ic / phases.size() % frequencies.size();
        const int node = a + static_cast<int>(ic / (phases.size() * frequencies.size()));
        const double* record = &ijtor[ic * width];
        EXPECT_EQ(record[0], node) << ic;
        EXPECT_EQ(record[2], steady[node] + phases[pi]) << ic;
        EXPECT_EQ(record[3], frequencies[fi]) << ic;
    }
}

TEST(RunManifest, StochasticRunsWithSegmentsTripsAndSharedFiles) {
    ScratchDir dir;
    const Json manifest = exampleManifest(dir, "wind");
    EXPECT_EQ(manifest["complete"], true);
    EXPECT_EQ(manifest["output_name"], "wind");
    EXPECT_EQ(manifest["report"], "Paramwindw1tn1");
    EXPECT_EQ(manifest["raster"], nullptr);
    expectFilesMatchTheDisk(dir.path(), manifest);

    const Json& stochastic = manifest["stochastic"];
    EXPECT_EQ(stochastic["histogram"], Json({{"bins", 5000}, {"bin_width", 0.005}, {"low_edge", -12.5}}));
    EXPECT_EQ(stochastic["increment_histogram"]["lag_steps"], Json({50, 100}));
    const Json& runs = stochastic["runs"];
    ASSERT_EQ(runs.size(), 4u);
    const char* names[] = {"windw0tn0", "windw0tn1", "windw1tn0", "windw1tn1"};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(runs[k]["index"], k);
        EXPECT_EQ(runs[k]["output_name"], names[k]);
        EXPECT_EQ(runs[k]["wind_part"], k / 2);
        EXPECT_EQ(runs[k]["configuration"], k % 2);
        EXPECT_EQ(runs[k]["power_flow_converged"], true);
        // The cascade's trips of the run are those of its trip files.
        const std::vector<int32_t> from = readInts(dir.file(std::string("stochcas/stochcasI") + names[k]));
        const std::vector<double> times = readDoubles(dir.file(std::string("stochcas/stochcasT") + names[k]));
        ASSERT_EQ(runs[k]["tripped_lines"].size(), from.size()) << k;
        for (std::size_t t = 0; t < from.size(); ++t) {
            EXPECT_EQ(runs[k]["tripped_lines"][t]["from"], from[t]);
            EXPECT_EQ(runs[k]["tripped_lines"][t]["time"], times[t]);
        }
    }
    EXPECT_EQ(runs[1]["tripped_lines"], Json::parse(R"([{"from": 0, "to": 4, "time": 1.01}])"));

    for (const Json& file : manifest["files"]) {
        const std::string kind = file["kind"];
        if (!file["run"].is_null()) {
            const std::string name = runs[file["run"].get<int>()]["output_name"];
            if (kind != "stoch.power_series" && kind != "stoch.wind_speed") {
                EXPECT_NE(std::string(file["path"]).find(name), std::string::npos) << file["path"];
            }
        }
        // Segments account for every value of the file.
        if (kind == "stoch.surv") {
            EXPECT_EQ(segmentTotal(file, "records", "width"), file["records"]) << file["path"];
        }
        if (kind == "stoch.flanks" || kind == "stoch.power_series" || kind == "stoch.wind_speed") {
            EXPECT_EQ(segmentTotal(file, "values"), file["records"]) << file["path"];
        }
    }
    // Configuration 1 drives nodes 0 and 1; node 1 also carries configuration
    // 0's turbine: its power series file belongs to two runs.
    const Json& shared = fileOfKind(manifest, "stoch.power_series");
    EXPECT_EQ(shared["path"], "pseries/windtn1w0");
    EXPECT_EQ(shared["run"], nullptr);
    EXPECT_EQ(shared["segments"], Json::parse(R"([{"run": 0, "values": 500}, {"run": 1, "values": 500}])"));
    const Json& survival = fileOfKind(manifest, "stoch.surv", 0);
    EXPECT_EQ(survival["segments"], Json::parse(R"([{"analysis": "cascade", "width": 1, "records": 6},
                                                   {"analysis": "surv_all", "width": 1, "records": 6},
                                                   {"analysis": "surv", "width": 5, "records": 6}])"));
}

TEST(RunManifest, SecondRunRecordsWhereItsRecordsStart) {
    ScratchDir dir;
    const Json first = exampleManifest(dir, "raster");
    RunResult second = runProgram(dir.path(), "raster.txt\n");
    ASSERT_EQ(second.status, 0);
    EXPECT_TRUE(contains(second.err, "10 result files of output name \"raster\" exist already")) << second.err;
    const Json manifest = manifestOf(dir.file("Manifestraster.json"));
    expectFilesMatchTheDisk(dir.path(), manifest);
    ASSERT_EQ(manifest["files"].size(), first["files"].size());
    for (std::size_t k = 0; k < first["files"].size(); ++k) {
        const Json& before = first["files"][k];
        const Json& after = manifest["files"][k];
        EXPECT_EQ(before["offset"], 0);
        EXPECT_EQ(after["offset"].get<long long>(), fileSize(dir.file(after["path"])) / 2) << after["path"];
        EXPECT_EQ(after["records"], before["records"]) << after["path"];
    }
}

TEST(RunManifest, NextToTheReportWithNonFiniteNumbersAsText) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
    RunResult r = runOnInput(dir.path(), "Param\n0\nOutput filename\nout/run7\nEnergy thresh\n-inf\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const Json manifest = manifestOf(dir.file("out/Manifestrun7.json"));
    EXPECT_EQ(manifest["report"], nullptr);
    EXPECT_EQ(manifest["files"], Json::array());
    EXPECT_EQ(manifest["nodes"], 0);
    EXPECT_EQ(manifest["power_flow"]["tries"], 0);

    ScratchDir raster;
    RunResult inf = runOnInput(raster.path(), kEndlessRaster.substr(0, kEndlessRaster.find("RK steps")) +
                                                  "RK steps\n20\nEnergy thresh\ninf\n" +
                                                  kEndlessRaster.substr(kEndlessRaster.find("Output filename")));
    ASSERT_EQ(inf.status, 0) << inf.err;
    EXPECT_EQ(manifestOf(raster.file("Manifestendless.json"))["raster"]["energy_threshold"], "inf");
}

TEST(RunManifest, RunKilledPartWayStaysIncomplete) {
    ScratchDir dir;
    writeText(dir.file("input.txt"), kEndlessRaster);
    // The run writes its manifest before its first result; it is killed as
    // soon as the manifest is there (at most a few seconds from now).
    ASSERT_TRUE(killWhenThere(dir.path(), {"input.txt"}, dir.file("Manifestendless.json")));
    const Json manifest = manifestOf(dir.file("Manifestendless.json"));
    EXPECT_EQ(manifest["complete"], false);
    EXPECT_EQ(manifest["exit_status"], nullptr);
    EXPECT_EQ(manifest["end_time"], nullptr);
    ASSERT_EQ(manifest["files"].size(), 3u);
    for (const Json& file : manifest["files"]) EXPECT_EQ(file["offset"], 0);
}

// The case's bus numbers and the unit system travel from the input into the
// manifest; times and frequencies of the file columns follow the units. An
// input without the keys describes itself in the model's own units.
TEST(RunManifest, BusNumbersAndPhysicalUnitsReachTheManifest) {
    const std::string grid = "Number of nodes\n4\nPower mech\n1 0 -1 0\nDamping\n0.5\nInertia\n2\n"
                             "Coupling mag\n0 2 0 0\n2 0 2 0\n0 2 0 2\n0 0 2 0\n";
    const std::string raster = "RK steps\n20\nMode raster rt\nMode RMRT\nMode save traj\nFirst pert node\n0\n"
                               "Last pert node\n1\nFreq pert minimum\n0\nFreq pert maximum\n0.1\nFreq pert step\n0.1\n"
                               "RT threshold high\n0.1\n";
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(), "Output filename\nbuses\n" + raster + grid +
                                             "Bus numbers\n10 20 5 7\nUnit system\nphysical\nNominal frequency\n50\n"
                                             "Base power\n100\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Json manifest = manifestOf(dir.file("Manifestbuses.json"));
    EXPECT_EQ(manifest["bus_numbers"], Json({10, 20, 5, 7}));
    EXPECT_EQ(manifest["units"], Json({{"system", "physical"}, {"time", "s"}, {"frequency", "rad/s"},
                                       {"nominal_frequency", 50.0}, {"base_power", 100.0}}));
    const Json& ijtor = fileOfKind(manifest, "raster.ijtor");
    EXPECT_EQ(ijtor["group"]["columns"][3]["unit"], "rad/s");
    EXPECT_EQ(ijtor["group"]["columns"][4]["unit"], "s");

    ScratchDir plain;
    r = runOnInput(plain.path(), "Output filename\nplain\n" + raster + grid);
    ASSERT_EQ(r.status, 0) << r.err;
    manifest = manifestOf(plain.file("Manifestplain.json"));
    EXPECT_EQ(manifest["bus_numbers"], nullptr);
    EXPECT_EQ(manifest["units"]["system"], "model");
    EXPECT_EQ(fileOfKind(manifest, "raster.ijtor")["group"]["columns"][4]["unit"], "t");

    // Keys the run could not mean: nothing is written, and the message names them.
    for (const auto& [keys, message] : std::vector<std::pair<std::string, std::string>>{
             {"Bus numbers\n10 20 10 7\n", "\"Bus numbers\" names bus 10 at node 0 and at node 2"},
             {"Bus numbers\n10 20 5.5 7\n", "\"Bus numbers\" is 5.5 at node 2"},
             {"Bus numbers\n10 20 5\n", "\"Bus numbers\" has 3 values, but the grid has 4 nodes"},
             {"Unit system\nphysical\n", "\"Nominal frequency\" is not given"},
             {"Unit system\nSI\n", "\"Unit system\" is \"SI\" (allowed model, physical)"},
             {"Nominal frequency\n-50\n", "\"Nominal frequency\" is -50"}}) {
        ScratchDir bad;
        r = runOnInput(bad.path(), "Output filename\nbad\n" + raster + grid + keys);
        EXPECT_EQ(r.status, 2) << keys;
        EXPECT_TRUE(contains(r.err, message)) << r.err;
        EXPECT_FALSE(fileExists(bad.file("Manifestbad.json"))) << keys;
    }
}
