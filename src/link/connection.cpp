#include "link/connection.h"

#include <algorithm>
#include <cmath>

#include "display/display.h"
#include "modes/format.h"

namespace df {

bool sameConnection(const Link* la, const Link* lb) {
  return la && lb && la->full && lb->full && la->uuid == lb->uuid && la->signal == lb->signal &&
         la->mode == lb->mode;
}

std::optional<Connection> connectionFor(Context& cx, DisplayID display, const Link& link,
                                        double rate) {
  const Connection* current = connectionOf(&link);
  // Without a current connection mode there is no encoding to match.
  if (!cx.platform.capabilities.connectionModes || current == nullptr) return std::nullopt;
  auto modes = cx.platform.links.connectionModes(display, link.uuid);
  if (!modes) return std::nullopt;

  const double decimal = std::round(rate * 100.0) / 100.0;
  const Connection* found = nullptr;
  for (const Connection& mode : *modes) {
    const bool candidate = mode.width == 1920u && mode.height == 1080u &&
                           std::min(std::fabs(mode.nominalHz - rate),
                                    std::fabs(mode.nominalHz - decimal)) <= kRateTolerance &&
                           mode.color == current->color && mode.hdr == current->hdr;
    if (!candidate) continue;
    if (found) return std::nullopt;  // ambiguous: offer nothing
    found = &mode;
  }
  return found ? std::optional<Connection>(*found) : std::nullopt;
}

void setConnection(Context& cx, DisplayID display, const Link* link, const Connection* connection) {
  if (!stillAssigned(cx, display)) return;
  // Only the eligible display's own link, the one the link record describes, is switched.
  if (connection == nullptr || link == nullptr || !link->full) return;
  if (!cx.platform.capabilities.connectionModes) return;
  (void)cx.platform.links.switchConnection(display, link->uuid, *connection);
}

}  // namespace df
