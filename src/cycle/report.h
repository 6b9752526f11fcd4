// Writing the status report: the service's only output.
#pragma once

#include <memory>
#include <string_view>

#include "state/context.h"
#include "state/report.h"

namespace df {

// Builds the report, leaves it out when it equals the last one, and otherwise records it as
// the last one and writes it as one compact JSON line.
void report(Context& cx, platform::DisplayID display, std::string_view phase,
            std::shared_ptr<const Catalogue> catalogue, const MaybeSnapshot& snapshot,
            bool canPresent);

}  // namespace df
