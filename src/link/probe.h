// The HDMI link of the target: the signal, the strictly checked 1080p rates and the connection
// mode, read afresh from the platform's link of that display.
#pragma once

#include "common/context.h"
#include "link/reading.h"

namespace df {

// The link record of the display; the empty record when the link gives no timing data;
// nullopt when the display has no link (or the platform none at all).
std::optional<Link> hdmiLink(Context& cx, DisplayID display);

}  // namespace df
