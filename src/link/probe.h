// The HDMI link of the target: the signal, the strictly checked 1080p rates and the connection
// mode, read afresh from the platform's link of that display.
#pragma once

#include "state/context.h"
#include "state/reading.h"

namespace df {

// The link record of the display; the empty record when the link gives no timing data;
// nullopt when the display has no link (or the platform none at all).
std::optional<Link> hdmiLink(Context& cx, DisplayID display);

// The eligible display's current mode and link; nullopt when the display is not eligible or
// has no current mode.
MaybeSnapshot readSnapshot(Context& cx, DisplayID display);

}  // namespace df
