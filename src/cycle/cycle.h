// The inspection cycle: guard, catalogue, choice, application with verification, phase and
// the status report. Every cycle starts afresh and ends with exactly one report.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cycle/catalogue.h"
#include "state/context.h"

namespace df {

void inspect(Context& cx, bool apply);

// The catalogue that a report about the display lists, made afresh.
std::shared_ptr<const Catalogue> catalogueOf(Context& cx, DisplayID display);

inline constexpr std::string_view kNativePrefix = "native:";

}  // namespace df
