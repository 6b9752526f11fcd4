// A main queue on a virtual clock, for tests and deterministic simulation. Nothing runs until
// the owner drives it (runUntilIdle, runFor, runNext), on the driving thread; time moves only
// when the owner or a sleeping block moves it, and the attached machine's timeline follows.
//
// Order: every block has a ready time (post: the clock when posted; postAfter: the due time)
// and runs in order of ready time, then of posting. A block posted while the clock stood at t
// therefore runs after a timer due before t and before one due after it, as on a real queue.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/main_queue.h"
#include "platform/sim/machine.h"

namespace df::sim {

class VirtualQueue final : public platform::MainQueue {
 public:
  VirtualQueue() = default;
  VirtualQueue(const VirtualQueue&) = delete;
  VirtualQueue& operator=(const VirtualQueue&) = delete;

  // The machine whose timeline follows this clock (null: none). The machine must outlive the
  // queue's use of it; it is usually built with clock().
  void attach(SimMachine* machine);

  // --- MainQueue ---
  void post(platform::Block block) override;                                       // any thread
  void postAfter(std::chrono::nanoseconds delay, platform::Block block) override;  // any thread
  // Advances the clock, applying the machine's changes due meanwhile (each at its own time);
  // runs no block: whatever they post waits for the sleeping block to end.
  void sleep(std::chrono::microseconds duration) override;

  // --- Driving ---
  Nanos now() const { return Nanos(now_.load()); }
  // The clock for SimMachine. It refers to this queue, which must outlive the machine.
  ClockFn clock() const {
    return [this] { return now(); };
  }
  // Runs every block ready at the current time, including those they post; time stands still
  // (except inside blocks that sleep).
  void runUntilIdle();
  // Runs everything due up to now + d, moving the clock to each timer and machine change in
  // turn; the clock then stands at now + d (or later, if a block slept past it).
  void runFor(Nanos d);
  // Runs the next thing: a ready block, or the clock moves to the next timer or machine change
  // (and runs that timer). False when nothing is left.
  bool runNext();

  std::optional<Nanos> nextTimerDue() const;
  std::size_t pendingTimers() const;
  std::size_t pendingBlocks() const;  // posts and timers together

  // Called after every block, on the driving thread (for invariant checks).
  void setAfterBlock(std::function<void()> hook);
  // After stop nothing more runs and new blocks are dropped.
  void stop();
  bool stopped() const { return stopped_.load(); }

 private:
  struct Item {
    bool timer;
    platform::Block block;
  };
  using Key = std::pair<Nanos::rep, std::uint64_t>;

  void add(Nanos at, bool timer, platform::Block block);
  bool runOneReady();
  // Moves the clock to t, stepping through the machine's changes due by then. True when any
  // change was applied.
  bool advanceClockTo(Nanos t);
  std::optional<Nanos> nextWake() const;

  mutable std::mutex mutex_;
  std::map<Key, Item> items_;
  std::uint64_t sequence_ = 0;
  std::size_t timers_ = 0;
  std::atomic<Nanos::rep> now_{0};
  std::atomic<bool> stopped_{false};
  SimMachine* machine_ = nullptr;
  std::function<void()> afterBlock_;
};

}  // namespace df::sim
