#include "platform/sim/realtime.h"

namespace df::sim {

RealtimeDriver::RealtimeDriver(SimMachine& machine) : machine_(machine) {
  machine_.setWakeHook([this] { wake(); });
  thread_ = std::thread([this] { run(); });
}

RealtimeDriver::~RealtimeDriver() {
  // Unhook first: this waits for a wake call in progress, so none can reach a dead driver.
  machine_.setWakeHook(nullptr);
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void RealtimeDriver::wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  cv_.notify_all();
}

void RealtimeDriver::run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    woken_ = false;
    lock.unlock();
    machine_.advanceTo(machine_.now());
    const auto next = machine_.nextEventTime();
    lock.lock();
    // A change scheduled since nextEventTime() set woken_: plan again at once.
    const auto ready = [this] { return stop_ || woken_; };
    if (next) {
      // The machine's clock and the steady clock run at the same rate.
      cv_.wait_until(lock, std::chrono::steady_clock::now() + (*next - machine_.now()), ready);
    } else {
      cv_.wait(lock, ready);
    }
  }
}

}  // namespace df::sim
