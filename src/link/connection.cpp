#include "link/connection.h"

#include <algorithm>
#include <cmath>

#include "display/display.h"
#include "link/probe.h"
#include "modes/format.h"

namespace df {

Maybe linkOf(const Maybe& snapshot) {
  Maybe link = member(snapshot, "link");
  if (link && link->is_null()) return std::nullopt;
  return link;
}

bool sameConnection(const Maybe& a, const Maybe& b) {
  const Maybe la = linkOf(a);
  const Maybe lb = linkOf(b);
  return same(member(la, "uuid"), member(lb, "uuid")) &&
         same(member(la, "signal"), member(lb, "signal")) &&
         same(member(la, "mode"), member(lb, "mode"));
}

namespace {

// Equal to a description text as connectionDescription writes it (absent reads as "").
bool sameText(const Record* value, const std::optional<std::string>& text) {
  return isString(value, text.value_or(""));
}

}  // namespace

Maybe connectionFor(Context& cx, const Record& link, double rate) {
  platform::ExternalDisplayHandle external = cx.platform.external.externalDisplay();
  if (!external) return std::nullopt;
  std::optional<std::string> uuid = external->uuid();
  if (!uuid || !sameText(lookup(&link, "uuid"), uuid)) return std::nullopt;

  const Record* current = lookup(&link, "mode");
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
        sameText(lookup(current, "color"), mode->colorMode()) &&
        sameText(lookup(current, "hdr"), mode->hdrMode());
    if (!candidate) continue;
    if (found) return std::nullopt;  // ambiguous: offer nothing
    found = mode.get();
  }
  return found ? connectionDescription(found) : std::nullopt;
}

void setConnection(Context& cx, DisplayID display, const Maybe& link, const Maybe& connection) {
  if (!stillAssigned(cx, display)) return;
  if (!connection || !connection->is_object() || connection->empty()) return;
  platform::ExternalDisplayHandle external = cx.platform.external.externalDisplay();
  // Only the eligible display's own external display, the one the link describes, is switched.
  if (!external || external->display() != display) return;
  std::optional<std::string> uuid = external->uuid();
  if (!uuid || !same(Record(*uuid), member(link, "uuid"))) return;
  auto modes = external->availableModes();
  if (!modes) return;
  for (const platform::ExternalModeHandle& mode : *modes) {
    if (same(connectionDescription(mode.get()), connection)) {
      external->setCurrentMode(*mode);
      return;
    }
  }
}

}  // namespace df
