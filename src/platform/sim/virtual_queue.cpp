#include "platform/sim/virtual_queue.h"

#include <algorithm>

namespace df::sim {

void VirtualQueue::attach(SimMachine* machine) {
  std::lock_guard lock(mutex_);
  machine_ = machine;
}

void VirtualQueue::add(Nanos at, bool timer, platform::Block block) {
  std::lock_guard lock(mutex_);
  if (stopped_.load()) return;
  items_.emplace(Key{at.count(), sequence_++}, Item{timer, std::move(block)});
  if (timer) ++timers_;
}

void VirtualQueue::post(platform::Block block) {
  add(now(), false, std::move(block));
}

void VirtualQueue::postAfter(std::chrono::nanoseconds delay, platform::Block block) {
  add(now() + std::max(delay, Nanos(0)), true, std::move(block));
}

void VirtualQueue::sleep(std::chrono::microseconds duration) {
  advanceClockTo(now() + std::max<Nanos>(duration, Nanos(0)));
}

bool VirtualQueue::advanceClockTo(Nanos t) {
  SimMachine* machine;
  {
    std::lock_guard lock(mutex_);
    machine = machine_;
  }
  bool applied = false;
  while (machine) {
    const auto next = machine->nextEventTime();
    if (!next || *next > t) break;
    // Each change happens at its own time, so what it posts is stamped with that time.
    if (*next > now()) now_.store(next->count());
    machine->advanceTo(now());
    applied = true;
  }
  if (t > now()) now_.store(t.count());
  return applied;
}

bool VirtualQueue::runOneReady() {
  platform::Block block;
  std::function<void()> after;
  {
    std::lock_guard lock(mutex_);
    if (stopped_.load() || items_.empty()) return false;
    auto it = items_.begin();
    if (it->first.first > now_.load()) return false;
    if (it->second.timer) --timers_;
    block = std::move(it->second.block);
    items_.erase(it);
    after = afterBlock_;
  }
  if (block) block();
  if (after) after();
  return true;
}

std::optional<Nanos> VirtualQueue::nextWake() const {
  std::optional<Nanos> next;
  SimMachine* machine;
  {
    std::lock_guard lock(mutex_);
    if (!items_.empty()) next = Nanos(items_.begin()->first.first);
    machine = machine_;
  }
  if (machine) {
    const auto event = machine->nextEventTime();
    if (event && (!next || *event < *next)) next = event;
  }
  return next;
}

void VirtualQueue::runUntilIdle() {
  while (!stopped()) {
    advanceClockTo(now());
    if (!runOneReady()) return;
  }
}

void VirtualQueue::runFor(Nanos d) {
  const Nanos end = now() + std::max(d, Nanos(0));
  while (!stopped()) {
    advanceClockTo(now());
    if (runOneReady()) continue;
    const auto next = nextWake();
    if (!next || *next > end) break;
    advanceClockTo(*next);
  }
  if (!stopped()) advanceClockTo(end);
}

bool VirtualQueue::runNext() {
  if (stopped()) return false;
  if (advanceClockTo(now())) return true;
  if (runOneReady()) return true;
  const auto next = nextWake();
  if (!next) return false;
  advanceClockTo(*next);
  runOneReady();
  return true;
}

std::optional<Nanos> VirtualQueue::nextTimerDue() const {
  std::lock_guard lock(mutex_);
  for (const auto& [key, item] : items_)
    if (item.timer) return Nanos(key.first);
  return std::nullopt;
}

std::size_t VirtualQueue::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return timers_;
}

std::size_t VirtualQueue::pendingBlocks() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

void VirtualQueue::setAfterBlock(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  afterBlock_ = std::move(hook);
}

void VirtualQueue::stop() {
  stopped_.store(true);
}

}  // namespace df::sim
