// Comparing and switching the HDMI connection of the target.
#pragma once

#include "state/context.h"
#include "state/reading.h"

namespace df {

// Both links present and full, with equal "uuid", "signal" and "mode".
bool sameConnection(const Link* a, const Link* b);
inline bool sameConnection(const MaybeSnapshot& a, const MaybeSnapshot& b) {
  return sameConnection(linkOf(a), linkOf(b));
}

// The one available 1920 by 1080 connection mode at the link's current colour and HDR encoding
// whose nominal rate is within tolerance of rate or of rate rounded to two decimals; nullopt
// when there is none or more than one.
std::optional<Connection> connectionFor(Context& cx, DisplayID display, const Link& link,
                                        double rate);

// Asks the display's link to take the connection mode, when the display is eligible and the
// link record (present and full) is that link's. Without a connection nothing happens. The
// switch lands only once the link retrains; callers verify it by polling.
void setConnection(Context& cx, DisplayID display, const Link* link, const Connection* connection);

}  // namespace df
