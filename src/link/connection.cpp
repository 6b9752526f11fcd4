#include "link/connection.h"

#include <algorithm>
#include <cmath>

#include "display/display.h"
#include "link/probe.h"
#include "modes/format.h"

namespace df {

bool sameConnection(const Link* la, const Link* lb) {
  return la && lb && la->full && lb->full && la->uuid == lb->uuid && la->signal == lb->signal &&
         la->mode == lb->mode;
}

std::optional<Connection> connectionFor(Context& cx, const Link& link, double rate) {
  platform::ExternalDisplayHandle external = cx.platform.external.externalDisplay();
  if (!external) return std::nullopt;
  std::optional<std::string> uuid = external->uuid();
  const Connection* current = connectionOf(&link);
  // Without a current connection mode there is no encoding to match.
  if (!uuid || !link.full || *uuid != link.uuid || current == nullptr) return std::nullopt;

  const double decimal = std::round(rate * 100.0) / 100.0;
  auto modes = external->availableModes();
  if (!modes) return std::nullopt;
  const platform::ExternalMode* found = nullptr;
  for (const platform::ExternalModeHandle& mode : *modes) {
    // The values connectionDescription would record, read without building the record.
    if (!mode) continue;
    const std::optional<bool> vrr = mode->isVRR();
    if (!vrr || *vrr) continue;
    const double hz = mode->refreshRate();
    if (!std::isfinite(hz) || !(hz > 0)) continue;
    const bool candidate =
        mode->width() == 1920u && mode->height() == 1080u &&
        std::min(std::fabs(hz - rate), std::fabs(hz - decimal)) <= kRateTolerance &&
        mode->colorMode().value_or("") == current->color &&
        mode->hdrMode().value_or("") == current->hdr;
    if (!candidate) continue;
    if (found) return std::nullopt;  // ambiguous: offer nothing
    found = mode.get();
  }
  return found ? connectionDescription(found) : std::nullopt;
}

void setConnection(Context& cx, DisplayID display, const Link* link, const Connection* connection) {
  if (!stillAssigned(cx, display)) return;
  if (connection == nullptr) return;
  platform::ExternalDisplayHandle external = cx.platform.external.externalDisplay();
  // Only the eligible display's own external display, the one the link describes, is switched.
  if (!external || external->display() != display) return;
  std::optional<std::string> uuid = external->uuid();
  if (!uuid || link == nullptr || !link->full || *uuid != link->uuid) return;
  auto modes = external->availableModes();
  if (!modes) return;
  for (const platform::ExternalModeHandle& mode : *modes) {
    if (connectionDescription(mode.get()) == *connection) {
      external->setCurrentMode(*mode);
      return;
    }
  }
}

}  // namespace df
