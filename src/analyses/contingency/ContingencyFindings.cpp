// What the contingency analysis tells: the console table of the worst
// contingencies and the analysis' entry of the run manifest.
#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <numeric>
#include <string>

#include "analyses/contingency/ContingencyAnalysis.h"
#include "input/Param.h"

namespace {

// Rows of the console table at the most.
const std::size_t kTableRows = 10;

// Worse first: more trips, more nodes outside the band, more islands, not
// returned, a higher load ratio; ties in contingency order.
bool worse(const ContingencyOutcome& a, const ContingencyOutcome& b) {
    if (a.trips.size() != b.trips.size()) return a.trips.size() > b.trips.size();
    if (a.desynchronised != b.desynchronised) return a.desynchronised > b.desynchronised;
    if (a.islands != b.islands) return a.islands > b.islands;
    if (a.returned != b.returned) return !a.returned;
    return a.maxLoadRatio > b.maxLoadRatio;
}

bool eventful(const ContingencyOutcome& o) { return !o.trips.empty() || o.desynchronised > 0 || !o.returned; }

std::string lineName(const Outage& outage) { return std::to_string(outage.from) + "-" + std::to_string(outage.to); }

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

void ContingencyAnalysis::printFindings(std::ostream& out, const Param& param) const {
    if (outcomes.empty() || !std::all_of(outcomes.begin(), outcomes.end(), [](const auto& o) { return o.done; })) {
        return;
    }
    std::vector<std::size_t> order(outcomes.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [this](std::size_t a, std::size_t b) { return worse(outcomes[a], outcomes[b]); });
    const std::size_t cascading = static_cast<std::size_t>(
        std::count_if(outcomes.begin(), outcomes.end(), [](const auto& o) { return !o.trips.empty(); }));
    const std::size_t splitting = static_cast<std::size_t>(
        std::count_if(outcomes.begin(), outcomes.end(), [](const auto& o) { return o.islands > 1; }));
    const std::size_t outside = static_cast<std::size_t>(
        std::count_if(outcomes.begin(), outcomes.end(), [](const auto& o) { return o.desynchronised > 0; }));
    const std::size_t notReturned = static_cast<std::size_t>(
        std::count_if(outcomes.begin(), outcomes.end(), [](const auto& o) { return !o.returned; }));

    out << "==================== Contingency analysis ====================\n"
        << outcomes.size() << " line outages at t = " << stepOfOutage * param.stepWidth << ", each integrated to t = "
        << param.rkSteps * param.stepWidth << " (" << param.rkSteps << " steps of " << param.stepWidth << ")\n"
        << "Outages followed by trips: " << cascading << "; ending in more than one island: " << splitting
        << "; with nodes outside the band " << band << ": " << outside << "; not returned: " << notReturned << '\n';
    const ContingencyOutcome& worst = outcomes[order.front()];
    if (!worst.trips.empty()) {
        out << "Largest cascade: " << worst.trips.size() << " trips after the outage of line "
            << lineName(worst.outage) << '\n';
    }
    if (!eventful(worst)) {
        out << "Every outage returned into the band without a further trip.\n";
        return;
    }
    out << "Worst contingencies:\n"
        << "  line         trips  islands  outside band  max |freq|  max load ratio  returned\n";
    for (std::size_t r = 0; r < order.size() && r < kTableRows; ++r) {
        const ContingencyOutcome& o = outcomes[order[r]];
        if (!eventful(o)) break;
        std::string row = "  " + lineName(o.outage);
        row.resize(std::max<std::size_t>(row.size() + 1, 14), ' ');
        char rest[128];
        std::snprintf(rest, sizeof rest, "%5zu  %7d  %12d  %10s  %14s  %s", o.trips.size(), o.islands,
                      o.desynchronised, formatted("%.4g", o.maxFrequency).c_str(),
                      formatted("%.4g", o.maxLoadRatio).c_str(), o.returned ? "yes" : "no");
        out << row << rest << '\n';
    }
}

nlohmann::ordered_json ContingencyAnalysis::manifestSection(const Param& param) const {
    using Json = nlohmann::ordered_json;
    Json outages = Json::array();
    for (const Outage& outage : lineOutages) outages.push_back(Json{{"from", outage.from}, {"to", outage.to}});
    Json section = Json::object();
    section["contingencies"] = lineOutages.size();
    section["lines_given"] = linesGiven();
    section["outages"] = outages;
    section["outage_time"] = stepOfOutage * param.stepWidth;
    section["outage_step"] = stepOfOutage;
    section["band"] = band;
    section["settle_time"] = stepsToSettle * param.stepWidth;
    section["settle_steps"] = stepsToSettle;
    return section;
}
