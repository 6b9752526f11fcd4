// Displays built from EDIDs: the "edid" key of a scenario display (docs/scenarios.md, "A
// display from an EDID").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "edid/edid.h"

namespace df::sim {

// The bytes an "edid" value names: hex digits (whitespace between them allowed), or otherwise a
// file path, relative to baseDir. nullopt with error set when the file cannot be read or the
// text is not whole bytes.
std::optional<std::vector<std::uint8_t>> edidBytes(const std::string& value,
                                                   const std::string& baseDir, std::string& error);

// For every display with an "edid" key, fills the keys the scenario does not give: the
// display's "modes" and "current"; the top-level "registry" (one HDMI framebuffer service per
// such display that is not built in) and "externalDisplay" (for the first of them). Runs before
// validation. The decoder's diagnostics, prefixed with the display's path, go to notes when
// given. False with error set when an "edid" is not a string, cannot be read or is no EDID.
[[nodiscard]] bool expandEdids(nlohmann::json& scenario, const std::string& baseDir,
                               std::string& error, std::vector<std::string>* notes = nullptr);

// A ready-made machine: a built-in panel (display 1, the control display) and a television
// (display 2) with the given EDID as hex, not yet expanded.
nlohmann::json televisionScenario(const std::vector<std::uint8_t>& edid);

// The television's UUID string in televisionScenario: made from the EDID's vendor, product and
// serial, so one television keeps its UUID.
std::string edidUuid(const edid::Decoded& d);

}  // namespace df::sim
