// The inspection cycle: guard, catalogue, choice, application with verification, phase and
// the status report. Every cycle starts afresh and ends with exactly one report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/context.h"

namespace df {

void inspect(Context& cx, bool apply);

// Orders strings as file names are ordered for people: runs of digits by value, letters
// without regard to case.
bool naturalLess(std::string_view a, std::string_view b);

inline constexpr std::string_view kNativePrefix = "native:";

}  // namespace df
