#include "events/events.h"

#include "cycle/cycle.h"
#include "display/display.h"

namespace df {

namespace {

void debounced(Context& cx, std::uint32_t g) {
  ControllerState& s = cx.state;
  if (g != s.generation || s.revision == 0) return;
  inspect(cx, false);
  if (recheckCondition(cx)) recheckTiming(cx, ++s.timingRetryGeneration, kRechecks);
}

void recheck(Context& cx, std::uint32_t chain, int left) {
  if (chain != cx.state.timingRetryGeneration || !recheckCondition(cx)) return;
  inspect(cx, true);
  recheckTiming(cx, chain, left - 1);
}

}  // namespace

void changed(DisplayID display, platform::Change change, void* user) {
  Context* cx = static_cast<Context*>(user);
  cx->queue.post([cx, display, change] { displayEvent(*cx, display, change); });
}

void displayEvent(Context& cx, DisplayID display, platform::Change change) {
  ControllerState& s = cx.state;
  if (change == platform::Change::kRemoved && display == s.lastDisplay &&
      findDisplay(cx, s.targetUUID) != display) {
    s.lastDisplay = 0;
    s.approvedMode.reset();
    s.chosen.reset();
  }
  const std::uint32_t g = ++s.generation;
  cx.queue.postAfter(kDebounce, [&cx, g] { debounced(cx, g); });
}

void recheckTiming(Context& cx, std::uint32_t chain, int left) {
  if (left == 0 || !recheckCondition(cx)) return;
  cx.queue.postAfter(kRecheckInterval, [&cx, chain, left] { recheck(cx, chain, left); });
}

bool recheckCondition(const Context& cx) {
  const ControllerState& s = cx.state;
  if (!s.enabled || s.requested == "current" || !s.lastReport) return false;
  const std::string_view phase = s.lastReport->phase;
  return phase == "missing" || phase == "unavailable" || phase == "mismatch";
}

}  // namespace df
