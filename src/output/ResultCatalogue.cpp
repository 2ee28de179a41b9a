#include "output/ResultCatalogue.h"

#include <algorithm>
#include <stdexcept>

namespace results {

namespace {

const char* const kRad = "rad";
const char* const kTime = "t";
const char* const kFrequency = "rad/t";
const char* const kPower = "p.u.";
const char* const kRate = "1/t";

// The first four values of every per-initial-condition raster record.
std::vector<Column> withKick(std::vector<Column> rest, const char* secondColumn) {
    std::vector<Column> columns = {{"perturbed_node", nullptr},
                                   {secondColumn, nullptr},
                                   {"initial_phase", kRad},
                                   {"initial_frequency", kFrequency}};
    columns.insert(columns.end(), rest.begin(), rest.end());
    return columns;
}

const std::vector<KindInfo>& catalogue() {
    static const std::vector<KindInfo> kinds = {
        {Kind::rasterMeanReturn, "raster.ijtor", Dtype::float64, Layout::perNode,
         withKick({{"mean_return_time", kTime}}, "node"),
         "One record per initial condition, in raster order: for every node the perturbed node, the node, the "
         "perturbed node's initial phase and frequency, and the node's mean return time into the frequency bands."},
        {Kind::rasterEnergyReturn, "raster.heijtor", Dtype::float64, Layout::fixed,
         withKick({{"energy_return_time", kTime}}, "unused"),
         "One record per initial condition, in raster order: the perturbed node, 0, its initial phase and "
         "frequency, and the time the energy returned below the energy threshold for good (inf: never)."},
        {Kind::rasterEnergyTrajectory, "raster.etraj", Dtype::float64, Layout::perStep, {{"energy", nullptr}},
         "One record per initial condition, in raster order: the energy after each step 1 .. S-1."},
        {Kind::rasterMaxima, "raster.ipm", Dtype::float64, Layout::perNode,
         withKick({{"frequency_max", kFrequency},
                   {"frequency_max_time", kTime},
                   {"phase_max", kRad},
                   {"phase_max_time", kTime}},
                  "node"),
         "One record per initial condition, in raster order: for every node the perturbed node, the node, the "
         "perturbed node's initial phase and frequency, the node's largest frequency deviation and phase and "
         "their times."},
        {Kind::rasterFrequencyTrajectory, "raster.freq_traj", Dtype::float64, Layout::perNode,
         {{"frequency", kFrequency}},
         "The frequency deviation of every node after each step 1 .. S-1: S-1 records per initial condition, "
         "initial conditions in raster order."},
        {Kind::rasterPhaseTrajectory, "raster.phase_traj", Dtype::float64, Layout::perNode, {{"phase", kRad}},
         "The phase of every node after each step 1 .. S-1: S-1 records per initial condition, initial "
         "conditions in raster order."},
        {Kind::rasterFrequencySamples, "raster.freq_samples", Dtype::float64, Layout::perNode,
         {{"frequency", kFrequency}},
         "The frequency deviation of every node after each step of raster.sample_steps (energy mode): that many "
         "records per initial condition, in raster order."},
        {Kind::rasterPhaseSamples, "raster.phase_samples", Dtype::float64, Layout::perNode, {{"phase", kRad}},
         "The phase of every node after each step of raster.sample_steps (energy mode): that many records per "
         "initial condition, in raster order."},
        {Kind::rasterFrequencyEndpoints, "raster.freq_endpoints", Dtype::float64, Layout::perNode,
         {{"frequency", kFrequency}},
         "The frequency deviation of every node at the start and the end of a trajectory: per initial condition, "
         "in raster order, one record per entry of blocks."},
        {Kind::rasterPhaseEndpoints, "raster.phase_endpoints", Dtype::float64, Layout::perNode, {{"phase", kRad}},
         "The phase of every node at the start and the end of a trajectory: per initial condition, in raster "
         "order, one record per entry of blocks."},
        {Kind::stochFrequencyTrajectory, "stoch.freq_traj", Dtype::float64, Layout::perNode,
         {{"frequency", kFrequency}}, "The frequency deviation of every node after each step 1 .. S-1 of the run."},
        {Kind::stochPhaseTrajectory, "stoch.phase_traj", Dtype::float64, Layout::perNode, {{"phase", kRad}},
         "The phase of every node after each step 1 .. S-1 of the run."},
        {Kind::stochLineFlows, "stoch.flows", Dtype::float64, Layout::fixed,
         {{"from", nullptr}, {"to", nullptr}, {"mean_flow", kPower}, {"max_flow", kPower}},
         "One record per line record, in node and line-list order: sending node, receiving node, and the mean "
         "and largest flow over the counted steps."},
        {Kind::stochSurvival, "stoch.surv", Dtype::float64, Layout::fixed, {{"survival_count", nullptr}},
         "Per analysis of segments: a count every survive_interval counted steps of how many steps stayed "
         "within the threshold (per node for surv, all nodes at once otherwise), closed by one NaN record."},
        {Kind::stochFlanks, "stoch.flanks", Dtype::float64, Layout::fixed, {{"crossing_time", kTime}},
         "Per analysis of segments and per node: the times the node's frequency left the threshold band, NaN, "
         "the times it came back, NaN."},
        {Kind::stochHistogram, "stoch.hist", Dtype::int32, Layout::perBin, {{"count", nullptr}},
         "One record per node: how many counted steps put the node's frequency deviation in each histogram bin."},
        {Kind::stochIncrementHistogram, "stoch.incr_hist", Dtype::int32, Layout::perBin, {{"count", nullptr}},
         "One record per node: how many increments of the node's frequency over the time lag fell in each "
         "increment histogram bin."},
        {Kind::stochTripFrom, "stoch.trip_from", Dtype::int32, Layout::fixed, {{"from", nullptr}},
         "One record per line record the cascade tripped, in trip order: its sending node."},
        {Kind::stochTripTo, "stoch.trip_to", Dtype::int32, Layout::fixed, {{"to", nullptr}},
         "One record per line record the cascade tripped, in trip order: its receiving node."},
        {Kind::stochTripTime, "stoch.trip_time", Dtype::float64, Layout::fixed, {{"time", kTime}},
         "One record per line record the cascade tripped, in trip order: the time it tripped."},
        {Kind::stochMaxFlow, "stoch.max_flow", Dtype::float64, Layout::fixed, {{"max_flow", kPower}},
         "One record per step of the cascade: the flow of the line record with the largest load ratio."},
        {Kind::stochMaxRatio, "stoch.max_ratio", Dtype::float64, Layout::fixed, {{"max_ratio", nullptr}},
         "One record per step of the cascade: the largest load ratio (flow over capacity) of any line record."},
        {Kind::stochMaxLine, "stoch.max_line", Dtype::int32, Layout::fixed, {{"from", nullptr}, {"to", nullptr}},
         "One record per step of the cascade: the nodes of the line record with the largest load ratio (-1, -1 "
         "when no line carries load)."},
        {Kind::stochPowerSeries, "stoch.power_series", Dtype::float64, Layout::fixed, {{"power", kPower}},
         "The mechanical power of the turbine at node, one value per step of the wind part, once for every run "
         "that drives this node in this part (see segments)."},
        {Kind::stochWindSpeed, "stoch.wind_speed", Dtype::float64, Layout::fixed, {{"wind_speed", nullptr}},
         "The wind speed at every step, per turbine of every run in run order (see segments)."},
        {Kind::contingencyBaseFlows, "contingency.base_flows", Dtype::float64, Layout::fixed,
         {{"from", nullptr}, {"to", nullptr}, {"flow", kPower}, {"capacity", kPower}, {"load_ratio", nullptr}},
         "One record per line record, in node and line-list order, at the steady state every contingency starts "
         "from: sending and receiving node, the flow under the run's flow measure, the capacity the trip rule "
         "compares it with, and their ratio."},
        {Kind::contingencyNodes, "contingency.nodes", Dtype::float64, Layout::perNode,
         {{"final_frequency", kFrequency}, {"max_frequency", kFrequency}, {"island", nullptr}},
         "One record per contingency, in the order of contingency.outages: for every node its frequency "
         "deviation at the end, the largest absolute frequency deviation it reached, and the island it ends in "
         "(islands numbered from 0 in the order of their lowest node)."},
        {Kind::contingencySummary, "contingency.summary", Dtype::float64, Layout::fixed,
         {{"from", nullptr},
          {"to", nullptr},
          {"trips", nullptr},
          {"islands", nullptr},
          {"desynchronised", nullptr},
          {"max_frequency", kFrequency},
          {"max_load_ratio", nullptr},
          {"returned", nullptr}},
         "One record per contingency, in the order of contingency.outages: the line taken out, how many lines "
         "tripped after it, the islands and the nodes outside the frequency band at the end, the largest "
         "absolute frequency deviation and load ratio reached, and 1 when the grid returned into the band for "
         "the settle time, else 0."},
        {Kind::contingencyTrips, "contingency.trips", Dtype::float64, Layout::fixed,
         {{"contingency", nullptr}, {"from", nullptr}, {"to", nullptr}, {"time", kTime}},
         "One record per line the trip rule switched off, contingencies in order and their trips in trip order: "
         "the contingency's index, the record that exceeded its capacity and the time of the state in which it "
         "did."},
        {Kind::linearEigenvalues, "linear.eigenvalues", Dtype::float64, Layout::fixed,
         {{"real", kRate}, {"imag", kRate}, {"frequency", kRate}, {"damping_ratio", nullptr}, {"rotation_mode", nullptr}},
         "One record per eigenvalue of the swing equations linearised at the steady state, the least damped "
         "first: real and imaginary part, frequency (imag / 2 pi), damping ratio (-real / |eigenvalue|) and 1 for "
         "a mode of free rotation, 0 otherwise."},
        {Kind::linearParticipation, "linear.participation", Dtype::float64, Layout::perNode,
         {{"participation", nullptr}},
         "One record per least-damped mode, in the order of linear.participation_modes: every node's "
         "participation factor in the mode, summing to 1."},
        {Kind::basinSamples, "basin.samples", Dtype::float64, Layout::fixed,
         {{"node", nullptr},
          {"sample", nullptr},
          {"phase_offset", kRad},
          {"frequency_offset", kFrequency},
          {"class", nullptr},
          {"decision_time", kTime}},
         "One record per sample, in round order (every node's batch of the round in the order of basin.nodes): the "
         "perturbed node, the node's sample number, the offsets of its phase and frequency from the steady state, "
         "its class (an index into basin.classes) and the time the class was decided."},
        {Kind::basinStability, "basin.stability", Dtype::float64, Layout::fixed,
         {{"node", nullptr},
          {"samples", nullptr},
          {"returned", nullptr},
          {"other_fixed_point", nullptr},
          {"not_returned", nullptr},
          {"undecided", nullptr},
          {"stability", nullptr},
          {"standard_error", nullptr}},
         "One record per node of basin.nodes, in that order: its samples, how many of them fell into each class, "
         "its basin stability (returned / samples) and the standard error sqrt(S (1 - S) / samples)."},
    };
    return kinds;
}

}  // namespace

const KindInfo& kindInfo(Kind kind) {
    for (const KindInfo& info : catalogue()) {
        if (info.kind == kind) return info;
    }
    throw std::logic_error("result kind without a catalogue entry");
}

const char* dtypeName(Dtype dtype) { return dtype == Dtype::int32 ? "int32" : "float64"; }

std::size_t itemSize(Dtype dtype) { return dtype == Dtype::int32 ? 4 : 8; }

long long recordWidth(const KindInfo& info, const RecordShape& shape) {
    const long long columns = static_cast<long long>(info.columns.size());
    switch (info.layout) {
        case Layout::perNode: return columns * std::max(shape.nodes, 0);
        case Layout::perStep: return std::max(shape.steps - 1, 0);
        case Layout::perBin: return std::max(shape.bins, 0);
        case Layout::fixed: break;
    }
    return columns;
}

RecordGroup recordGroup(const KindInfo& info, const RecordShape& shape) {
    switch (info.layout) {
        case Layout::perNode: return {"node", 0, std::max(shape.nodes, 0)};
        // Steps count from 1: the state after the first step.
        case Layout::perStep: return {"step", 1, recordWidth(info, shape)};
        case Layout::perBin: return {"bin", 0, recordWidth(info, shape)};
        case Layout::fixed: break;
    }
    return {"", 0, 1};
}

}  // namespace results
