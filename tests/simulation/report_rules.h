// The rules of one status-report line, as docs/schema/report.schema.json states them, plus the
// agreements between "phase", "restoreFailed" and "canPresent" that the protocol promises.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace df::trust {

// Every rule the line breaks, one message each; empty when the line is a valid report.
std::vector<std::string> reportLineProblems(std::string_view line);

// The same rules for a parsed report (everything but the compact-text rule).
std::vector<std::string> reportProblems(const nlohmann::json& report);

}  // namespace df::trust
