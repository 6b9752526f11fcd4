// The configuration transaction: ApplyMonitorsConfig with Mutter's current serial, the whole
// arrangement as it is but for the target's mode. Mutter applies it whole or refuses it.
#include "platform/gnome/displays.h"

namespace df::platform::gnome {

bool MutterDisplays::configure(DisplayID display, const Mode* mode) {
  const auto* wanted = dynamic_cast<const MutterModeHandle*>(mode);
  if (wanted == nullptr || lost_) return false;
  // The serial rises with every change anybody makes: a stale one is read again, once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const Monitor* monitor = monitorOf(display);
    if (monitor == nullptr || monitor->spec.connector != wanted->connector()) return false;
    const std::vector<LogicalChoice> logical = withMode(state_, wanted->connector(), wanted->id());
    if (logical.empty()) return false;
    if (attempt == 0) {
      const std::optional<bool> allowed = bus_->applyAllowed();
      afterCall();
      if (allowed != true) return false;
    }
    const std::optional<std::uint32_t> layout =
        state_.layoutModeChangeable ? state_.layoutMode : std::nullopt;
    const Answer answer = bus_->apply(state_.serial, logical, layout);
    afterCall();
    fresh_ = false;
    if (answer == Answer::kDone) return true;
    if (answer != Answer::kStale) return false;
  }
  return false;
}

}  // namespace df::platform::gnome
