// Scenario files for the simulated machine: loading, validation and defaults.
//
// A scenario is one JSON object ("displays", "registry", "externalDisplay", "events",
// "faults"); docs/scenarios.md describes every key. Validation names the first bad key by its
// path, e.g. `displays[1].modes[0].hz: expected a number or "NaN"/"Infinity"/"-Infinity"`.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace df::sim {

// The whole file, or nullopt with error "PATH: not found" (or another one-line reason). Every
// file the simulator reads goes through here, so a missing file reads the same everywhere.
[[nodiscard]] std::optional<std::string> readFile(const std::string& path, std::string& error);

// Reads, parses and normalizes the file. On failure: nullopt, and error says why in one line.
[[nodiscard]] std::optional<nlohmann::json> loadScenario(const std::string& path,
                                                         std::string& error);

// Validates the scenario in place and fills every default. False (with error set) when a key
// has the wrong kind, a required key is missing, or an ID is out of range or repeated. Keys the
// machine does not know are errors inside displays, modes, events, faults and the external
// display; at the top level they are kept, so other tools can carry their own sections.
[[nodiscard]] bool normalizeScenario(nlohmann::json& scenario, std::string& error);

// One scripted action (an event without its "at"), checked against the display IDs the machine
// knows. Used for actions that tests schedule at run time.
[[nodiscard]] bool normalizeAction(nlohmann::json& action,
                                   const std::vector<std::uint32_t>& knownDisplays,
                                   std::string& error);

// One fault entry, with "after" filled in.
[[nodiscard]] bool normalizeFault(nlohmann::json& fault, std::string& error);

// The platform calls a fault may name.
const std::vector<std::string>& faultableCalls();

// A rate as scenarios write it: a number, or "NaN", "Infinity", "-Infinity". Anything else: NaN.
double rateValue(const nlohmann::json& value);

// A non-negative number of milliseconds as a duration (rounded to the nanosecond).
std::chrono::nanoseconds millis(const nlohmann::json& value);

}  // namespace df::sim
