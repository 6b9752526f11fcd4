// Notices: MonitorsChanged, then one read compared with the state the last notices described,
// and a notice for each monitor that differs. A lost bus or Mutter ends it all.
#include "platform/gnome/displays.h"

namespace df::platform::gnome {

namespace {

bool sameLogical(const LogicalMonitor* a, const LogicalMonitor* b) {
  return a == nullptr || b == nullptr ? a == b : *a == *b;
}

}  // namespace

bool MutterDisplays::watch(NoticeFn notice, void* user) {
  if (notice == nullptr) return false;
  const State& now = state();
  if (lost_ || !fresh_) return false;
  notice_ = notice;
  user_ = user;
  notified_ = now;
  return true;
}

void MutterDisplays::dispatch() {
  if (!lost_) bus_->process();
}

void MutterDisplays::changed(std::uint64_t cookie) {
  // A reply made after the signal already shows what it announces. Right after our own apply,
  // the signals are Mutter reading back what it applied: the prediction stands until its time
  // is up, when the state is read again anyway.
  if (cookie > stateCookie_ && !predicting()) fresh_ = false;
  if (notice_ == nullptr || deliveryPosted_) return;
  deliveryPosted_ = true;
  queue_.post([this] {
    deliveryPosted_ = false;
    deliver();
  });
}

void MutterDisplays::deliver() {
  if (notice_ == nullptr || lost_) return;
  const State& now = state();
  if (lost_ || !fresh_) return;
  const State before = notified_ ? std::move(*notified_) : State{};
  std::vector<std::pair<DisplayID, Change>> notices;
  for (const Monitor& m : now.monitors) {
    const std::string& c = m.identity.connector;
    const DisplayID id = displayIdOf(c);
    const Monitor* was = before.monitor(c);
    if (was == nullptr) {
      notices.emplace_back(id, Change::kAdded);
    } else if (was->identity != m.identity) {
      // Another sink on the same connector is another display.
      notices.emplace_back(id, Change::kRemoved);
      notices.emplace_back(id, Change::kAdded);
    } else if (was->modes != m.modes || (before.shown(c) == nullptr) != (now.shown(c) == nullptr)) {
      notices.emplace_back(id, Change::kMode);
    } else if (!sameLogical(before.logicalOf(c), now.logicalOf(c)) || *was != m) {
      notices.emplace_back(id, Change::kOther);
    }
  }
  for (const Monitor& m : before.monitors)
    if (now.monitor(m.identity.connector) == nullptr)
      notices.emplace_back(displayIdOf(m.identity.connector), Change::kRemoved);
  notified_ = now;
  for (const auto& [display, change] : notices) notice_(display, change, user_);
}

void MutterDisplays::markLost() {
  if (lost_) return;
  lost_ = true;
  state_ = State{};
  fresh_ = true;  // nothing is read any more
  if (lostHandler_) queue_.post(lostHandler_);
}

void MutterDisplays::onLost(std::function<void()> handler) {
  lostHandler_ = std::move(handler);
  if (lost_ && lostHandler_) queue_.post(lostHandler_);
}

}  // namespace df::platform::gnome
