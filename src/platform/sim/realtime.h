// Runs the simulated machine's timeline in real time: a thread applies each scripted change
// and follow-up when the steady clock reaches it. Notices from those changes are therefore
// sent on that thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/sim/machine.h"

namespace df::sim {

// Steady-clock time since its construction; the clock to build a real-time SimMachine with.
class RealtimeClock {
 public:
  RealtimeClock() : start_(std::chrono::steady_clock::now()) {}
  Nanos operator()() const { return std::chrono::steady_clock::now() - start_; }
  std::chrono::steady_clock::time_point start() const { return start_; }
  ClockFn function() const {
    return [start = start_] { return std::chrono::steady_clock::now() - start; };
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

class RealtimeDriver {
 public:
  // The machine's clock must be a real-time one (RealtimeClock); the machine must outlive the
  // driver.
  explicit RealtimeDriver(SimMachine& machine);
  // Stops and joins the thread, and unhooks it from the machine.
  ~RealtimeDriver();
  RealtimeDriver(const RealtimeDriver&) = delete;
  RealtimeDriver& operator=(const RealtimeDriver&) = delete;

 private:
  void run();
  void wake();

  SimMachine& machine_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool woken_ = false;
  std::thread thread_;
};

}  // namespace df::sim
