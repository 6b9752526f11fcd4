// The timeline: scripted and delayed changes applied in time order, a display's settling after
// a change, and the delivery of the notices they cause.
#include <algorithm>

#include "platform/sim/machine.h"
#include "platform/sim/machine_internal.h"
#include "platform/sim/scenario.h"

namespace df::sim {

using nlohmann::json;
using platform::DisplayID;

void SimMachine::applyDue(Nanos t, Notices& out) {
  while (!timeline_.empty()) {
    auto it = timeline_.begin();
    if (it->first.first > t.count()) break;
    const Nanos when = std::max(Nanos(it->first.first), appliedUntil_);
    Step step = std::move(it->second);
    timeline_.erase(it);
    appliedUntil_ = when;
    step(when, out);
  }
  appliedUntil_ = std::max(appliedUntil_, t);
}

void SimMachine::scheduleStep(Nanos at, Step step) {
  timeline_.emplace(std::make_pair(at.count(), nextStep_++), std::move(step));
  wake_ = true;
}

void SimMachine::beginNotices(Notices& out) const {
  for (const auto& d : displays_)
    if (d.online) out.push_back({d.id, darwin::kBeginConfigurationFlag});
}

void SimMachine::startChange(DisplayData& d, std::size_t index, Nanos now, Notices& out) {
  const std::uint64_t generation = ++d.generation;
  if (d.settleKind == Settle::Never) return;
  std::vector<std::pair<Nanos, std::optional<std::size_t>>> steps = {{now + d.settle, index}};
  if (d.settleKind == Settle::Flicker) {
    const auto before = d.current;
    for (std::uint64_t k = 1; k <= 2 * d.flickers; ++k)
      steps.emplace_back(now + d.settle + static_cast<Nanos::rep>(k) * d.flickerInterval,
                         k % 2 == 1 ? before : std::optional<std::size_t>(index));
  }
  const DisplayID id = d.id;
  for (const auto& [when, target] : steps) {
    if (when == now) {
      show(id, target, generation, now, out);
    } else {
      scheduleStep(when, [this, id, target = target, generation](Nanos t, Notices& o) {
        show(id, target, generation, t, o);
      });
    }
  }
}

void SimMachine::show(DisplayID id, std::optional<std::size_t> index, std::uint64_t generation,
                      Nanos now, Notices& out) {
  auto* d = find(id);
  // A later change, an unplug or a new mode list supersedes a pending one.
  if (!d || d->generation != generation || !d->online) return;
  if (index && *index >= d->modes.size()) return;
  d->current = index;
  out.push_back({id, darwin::kSetModeFlag});
  followLink(*d, now);
}

void SimMachine::finish(std::unique_lock<std::mutex>& lock, Notices& notices) {
  const auto callbacks = notices.empty() ? decltype(callbacks_){} : callbacks_;
  const bool wake = std::exchange(wake_, false);
  lock.unlock();
  for (const auto& n : notices)
    for (const auto& [callback, userInfo] : callbacks) callback(n.display, n.flags, userInfo);
  if (wake) {
    std::lock_guard hook(hookMutex_);
    if (wakeHook_) wakeHook_();
  }
}

// --- Scripting ---

bool SimMachine::schedule(Nanos at, json action, std::string* error) {
  std::string why;
  std::unique_lock lock(mutex_);
  if (!normalizeAction(action, knownIDs(), why)) {
    if (error) *error = why;
    return false;
  }
  scheduleStep(at, [this, action = std::move(action)](Nanos now, Notices& out) {
    runAction(action, now, out);
  });
  Notices none;
  finish(lock, none);
  return true;
}

bool SimMachine::perform(json action, std::string* error) {
  Session s(*this, "");
  std::string why;
  if (!normalizeAction(action, knownIDs(), why)) {
    if (error) *error = why;
    return false;
  }
  runAction(action, s.now, s.notices);
  return true;
}

std::optional<Nanos> SimMachine::nextEventTime() const {
  std::lock_guard lock(mutex_);
  if (timeline_.empty()) return std::nullopt;
  return Nanos(timeline_.begin()->first.first);
}

void SimMachine::advanceTo(Nanos t) {
  guarded<int>("advanceTo", 0, [&] {
    std::unique_lock lock(mutex_);
    Notices notices;
    applyDue(t, notices);
    finish(lock, notices);
    return 0;
  });
}

void SimMachine::setWakeHook(std::function<void()> hook) {
  std::lock_guard lock(hookMutex_);
  wakeHook_ = std::move(hook);
}

}  // namespace df::sim
