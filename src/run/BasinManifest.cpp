#include "run/BasinManifest.h"

#include "analyses/basin/BasinStability.h"

nlohmann::ordered_json basinManifest(const BasinStability& basin) {
    using Json = nlohmann::ordered_json;
    const BasinCriteria& rules = basin.criteria();
    Json section = Json::object();
    section["nodes"] = basin.nodes();
    section["samples"] = basin.samplesPerNode();
    section["standard_error_target"] = basin.standardErrorTarget() ? Json(*basin.standardErrorTarget()) : Json(nullptr);
    section["batch"] = basin.standardErrorTarget() ? Json(BasinStability::kBatchSamples) : Json(nullptr);
    section["seed"] = basin.seed();
    section["phase_offset_range"] = {basin.box().phaseMin, basin.box().phaseMax};
    section["frequency_offset_range"] = {basin.box().freqMin, basin.box().freqMax};
    section["band"] = rules.band;
    section["settle_time"] = basin.settleTime();
    section["settle_time_default"] = basin.settleTimeDefault();
    section["block_steps"] = rules.blockSteps;
    section["window_steps"] = rules.windowSteps();
    section["phase_tolerance"] = rules.phaseTolerance;
    section["full_length"] = rules.fullLength;
    Json classes = Json::array();
    for (int c = 0; c < kBasinClasses; ++c) classes.push_back(basinClassName(static_cast<BasinClass>(c)));
    section["classes"] = classes;
    const bool ran = basin.hasRun();
    section["samples_run"] = ran ? Json(basin.samplesRun()) : Json(nullptr);
    section["steps_integrated"] = ran ? Json(basin.stepsIntegrated()) : Json(nullptr);
    section["steps_at_full_length"] = ran ? Json(basin.samplesRun() * rules.steps) : Json(nullptr);
    section["early_decisions_differing"] =
        ran && rules.fullLength ? Json(basin.earlyDecisionsDiffering()) : Json(nullptr);
    return section;
}
