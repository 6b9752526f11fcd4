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

Maybe connectionFor(Context& cx, const Record& link, double rate) {
  platform::ExternalDisplayHandle external = cx.platform.external.externalDisplay();
  if (!external) return std::nullopt;
  std::optional<std::string> uuid = external->uuid();
  if (!uuid || !same(Record(*uuid), member(link, "uuid"))) return std::nullopt;

  const Maybe current = member(link, "mode");
  const double decimal = std::round(rate * 100.0) / 100.0;
  auto modes = external->availableModes();
  if (!modes) return std::nullopt;
  Maybe found;
  for (const platform::ExternalModeHandle& mode : *modes) {
    Maybe c = connectionDescription(mode.get());
    if (!c) continue;
    const auto width = asUnsigned(member(c, "width"));
    const auto height = asUnsigned(member(c, "height"));
    const double hz = member(c, "nominalHz")->get<double>();
    const bool candidate =
        width == 1920u && height == 1080u &&
        std::min(std::fabs(hz - rate), std::fabs(hz - decimal)) <= kRateTolerance &&
        same(member(c, "color"), member(current, "color")) &&
        same(member(c, "hdr"), member(current, "hdr"));
    if (!candidate) continue;
    if (found) return std::nullopt;  // ambiguous: offer nothing
    found = std::move(c);
  }
  return found;
}

void setConnection(Context& cx, DisplayID display, const Maybe& link, const Maybe& connection) {
  if (!stillAssigned(cx, display)) return;
  if (!connection || !connection->is_object() || connection->empty()) return;
  platform::ExternalDisplayHandle external = cx.platform.external.externalDisplay();
  if (!external) return;
  // Only the external display that the link describes may be switched.
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
