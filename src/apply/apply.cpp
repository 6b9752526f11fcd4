#include "apply/apply.h"

#include "display/display.h"
#include "link/connection.h"
#include "link/probe.h"
#include "modes/records.h"

namespace df {

MaybeSnapshot settled(Context& cx, DisplayID display, const SettlePredicate& predicate) {
  MaybeSnapshot candidate;
  for (int readings = 1;; ++readings) {
    MaybeSnapshot reading = readSnapshot(cx, display);
    if (!reading) return std::nullopt;
    if (predicate(*reading)) {
      if (same(reading, candidate)) return reading;
      candidate = std::move(reading);
    } else {
      candidate.reset();
    }
    cx.queue.sleep(kReadingInterval);
    if (readings == kMaxReadings) return std::nullopt;
  }
}

bool restoreState(Context& cx, DisplayID display, const Snapshot& target) {
  MaybeSnapshot current = readSnapshot(cx, display);
  if (!current) return false;
  const Desktop& targetDesktop = target.desktop;
  if (current->desktop != targetDesktop) {
    {
      auto modes = cx.platform.displays.modes(display);
      const platform::Mode* match = nullptr;
      if (modes) {
        for (const platform::ModeHandle& mode : *modes) {
          if (mode && reportedMode(mode.get()) == targetDesktop) {
            match = mode.get();
            break;
          }
        }
      }
      if (match == nullptr || !stillAssigned(cx, display)) return false;
      if (!cx.platform.displays.configure(display, match)) return false;
    }
    const SettlePredicate desktopPredicate = [&targetDesktop](const Snapshot& reading) {
      return reading.desktop == targetDesktop;
    };
    if (!settled(cx, display, desktopPredicate)) return false;
    current = readSnapshot(cx, display);
  }

  // The signal follows a desktop change only after the link retrains, so a link that differs
  // in its signal alone is waited for. Only a different connection mode is switched, and that
  // switch is verified by the same poll. A link without a mode (retraining without signal)
  // cannot be judged yet either.
  const Link* targetLink = linkOf(target);
  const Link* currentLink = linkOf(current);
  if (targetLink && currentLink && currentLink->full &&
      !(targetLink->full && currentLink->mode == targetLink->mode))
    setConnection(cx, display, targetLink, connectionOf(targetLink));
  const SettlePredicate snapshotPredicate = [&target](const Snapshot& reading) {
    return reading == target;
  };
  return settled(cx, display, snapshotPredicate).has_value();
}

namespace {

double signalHz(const MaybeSnapshot& snapshot) {
  const Signal* signal = signalOf(linkOf(snapshot));
  return signal ? signal->hz : 0;
}

}  // namespace

void restoreOriginal(Context& cx) {
  ControllerState& s = cx.state;
  if (!s.originalMode) return;
  DisplayID display = findDisplay(cx, s.targetUUID);
  MaybeSnapshot current = readSnapshot(cx, display);
  if (!ownsReading(cx, current)) {
    // Read once more before the reading counts as somebody else's change: a platform call
    // that failed once reads like one, and the service's own change would then stay.
    display = findDisplay(cx, s.targetUUID);
    current = readSnapshot(cx, display);
  }

  if (!current) {
    s.restoreFailed = true;
  } else if (s.ownedConnectionMode && signalHz(current) == 0) {
    s.restoreFailed = true;  // an owned connection without signal: nothing sensible to try
  } else if (same(current, s.ownedMode)) {
    s.restoreFailed = !restoreState(cx, display, *s.originalMode);
  } else if (ownsReading(cx, current) && !sameConnection(current, s.originalMode)) {
    // Somebody else has moved the desktop since, but the connection is still the one this
    // system switched to: switch that back alone, and verify it.
    const Link* originalLink = linkOf(s.originalMode);
    setConnection(cx, display, originalLink, connectionOf(originalLink));
    const SettlePredicate connectionPredicate = [&s](const Snapshot& reading) {
      return sameConnection(linkOf(reading), linkOf(s.originalMode));
    };
    s.restoreFailed = !settled(cx, display, connectionPredicate);
  }
  // Otherwise somebody else has changed the display since: leave it alone.

  s.originalMode.reset();
  s.ownedMode.reset();
  s.ownedConnectionMode = false;
}

bool ownsReading(const Context& cx, const MaybeSnapshot& reading) {
  const ControllerState& s = cx.state;
  if (same(reading, s.ownedMode)) return true;
  return s.ownedConnectionMode && sameConnection(s.ownedMode, reading);
}

}  // namespace df
