// The inspection cycle: guard, catalogue, choice, application with verification, phase and
// the status report. Every cycle starts afresh and ends with exactly one report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/context.h"
#include "cycle/catalogue.h"

namespace df {

void inspect(Context& cx, bool apply);

inline constexpr std::string_view kNativePrefix = "native:";

}  // namespace df
