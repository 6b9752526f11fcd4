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
    if (monitor == nullptr || monitor->identity.connector != wanted->connector()) return false;
    const std::vector<LogicalChoice> logical = withMode(state_, wanted->connector(), wanted->id());
    if (logical.empty()) return false;
    if (attempt == 0) {
      const std::optional<bool> allowed = bus_->applyAllowed();
      afterCall();
      if (allowed != true) return false;
    }
    const std::optional<std::uint32_t> layout =
        state_.layoutModeChangeable ? state_.layoutMode : std::nullopt;
    std::uint64_t cookie = 0;
    const Answer answer = bus_->apply(state_.serial, logical, layout, cookie);
    afterCall();
    if (answer == Answer::kDone) {
      // Mutter answers once it has taken the configuration, and on X11 reads the result back
      // from the server over the next milliseconds (then MonitorsChanged, twice), busy
      // meanwhile. A question asked at once gets what was asked for, without waiting for
      // Mutter; any later one, or one after those signals, reads Mutter again.
      applied(state_, logical);
      stateCookie_ = cookie;
      fresh_ = true;
      predicted_ = std::chrono::steady_clock::now();
      return true;
    }
    fresh_ = false;
    if (answer != Answer::kStale) return false;
  }
  return false;
}

}  // namespace df::platform::gnome
