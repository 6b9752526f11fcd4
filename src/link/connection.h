// Reading, comparing and switching the HDMI connection of the target.
#pragma once

#include "common/context.h"

namespace df {

// The snapshot's link record; nullopt when the snapshot is absent or its "link" is null.
Maybe linkOf(const Maybe& snapshot);

// Both links present with equal "uuid", "signal" and "mode".
bool sameConnection(const Maybe& a, const Maybe& b);

// The one available 1920 by 1080 connection mode at the link's current colour and HDR encoding
// whose nominal rate is within tolerance of rate or of rate rounded to two decimals; nullopt
// when there is none or more than one.
Maybe connectionFor(Context& cx, const Record& link, double rate);

// Asks the external display to take the connection mode the record describes, when the display
// is eligible. The switch lands only once the link retrains; callers verify it by polling.
void setConnection(Context& cx, DisplayID display, const Maybe& link, const Maybe& connection);

}  // namespace df
