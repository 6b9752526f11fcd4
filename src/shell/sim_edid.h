// displayformat-sim's runs that answer and exit: the machine built from an EDID file, its
// formats, its displays, and the machine written out as a scenario.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace df {

// The television scenario for the EDID file, validated, or nullopt (status 2) after saying why
// on stderr. The decoder's diagnostics go to stderr as well; they do not stop the run.
std::optional<nlohmann::json> edidScenario(const std::string& path);

// One JSON line {"formats": [...], "nativeModes": {...}}: what a status report about the
// television carries. Runs the service on the virtual clock; returns the exit status.
int listFormats(const nlohmann::json& scenario);

// One JSON line per online display, with the keys of displayformatd --list-displays on X11:
// "id", "name", "uuid", "builtin", "primary", "mode". Returns the exit status.
int listDisplays(const nlohmann::json& scenario);

// Writes the scenario as an editable file (modes, registry, external display; no "edid" key).
int writeScenario(nlohmann::json scenario, const std::string& edidPath, const std::string& out);

}  // namespace df
