// The status report: the service's only output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/context.h"
#include "link/reading.h"

namespace df {

// Builds the ten-key report, leaves it out when it equals the last one, and otherwise records
// it as the last one and writes it as one compact JSON line.
void report(Context& cx, DisplayID display, std::string_view phase,
            std::vector<std::string> formats, Record nativeModes, const MaybeSnapshot& snapshot,
            bool canPresent);

// "actual": the desktop record with the HDMI signal laid over it.
Record actualOf(const MaybeSnapshot& snapshot);

}  // namespace df
