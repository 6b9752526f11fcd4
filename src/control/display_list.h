// `--list-displays`: one JSON line per online display, the same keys on every platform, so that
// a client finds the IDs to send by a connector name its toolkit knows.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "platform/displays.h"

namespace df {

struct DisplayNaming {
  std::function<std::string(platform::DisplayID)> name;
  std::function<bool(platform::DisplayID)> primary;
};

// Writes {"id","name","uuid","builtin","primary","mode"} per display to `out` ("mode": the
// desktop record of the current mode, null when dark). Returns the exit status: 0, 1 when the
// display list cannot be read, or kOutputClosedStatus when `out` fails.
int writeDisplayList(platform::Displays& displays, const DisplayNaming& naming, std::FILE* out);

}  // namespace df
