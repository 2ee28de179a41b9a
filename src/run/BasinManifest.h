#ifndef TESSALY_BASINMANIFEST_H
#define TESSALY_BASINMANIFEST_H

#include <nlohmann/json.hpp>

class BasinStability;

// The manifest's "basin" section: the settings the samples were drawn and
// classified with, and (once the analysis ran) how much it integrated.
nlohmann::ordered_json basinManifest(const BasinStability& basin);

#endif
