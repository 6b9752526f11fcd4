// Pieces shared by the files that make up the simulated machine: the handle counter, the
// session every platform call runs in, and the guard that keeps exceptions inside the machine.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/sim/machine.h"

namespace df::sim {

// Counts one live handle for as long as it exists. The counter is shared, so a handle that
// outlives its machine still has somewhere to count.
class LiveToken {
 public:
  explicit LiveToken(std::shared_ptr<std::atomic<std::int64_t>> counter)
      : counter_(std::move(counter)) {
    counter_->fetch_add(1);
  }
  ~LiveToken() { counter_->fetch_sub(1); }
  LiveToken(const LiveToken&) = delete;
  LiveToken& operator=(const LiveToken&) = delete;

 private:
  std::shared_ptr<std::atomic<std::int64_t>> counter_;
};

// One platform or scripting call: holds the mutex, counts the call, applies what is due, and on
// the way out delivers the notices it gathered.
struct SimMachine::Session {
  Session(SimMachine& machine, std::string_view call) : m(machine), lock(machine.mutex_) {
    if (!call.empty()) {
      auto it = m.calls_.find(call);
      if (it == m.calls_.end()) {
        m.calls_.emplace(std::string(call), 1);
      } else {
        ++it->second;
      }
    }
    const Nanos t = m.clock_ ? m.clock_() : Nanos(0);
    m.applyDue(t, notices);
    now = std::max(t, m.appliedUntil_);
  }
  ~Session() { m.finish(lock, notices); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  SimMachine& m;
  std::unique_lock<std::mutex> lock;
  Notices notices;
  Nanos now{0};
};

template <typename R, typename F>
R SimMachine::guarded(std::string_view call, R fallback, F&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    internalError(call, e.what());
  } catch (...) {
    internalError(call, "unknown exception");
  }
  return fallback;
}

// The index of the first mode that pred accepts.
template <typename ModeList, typename Pred>
std::optional<std::size_t> firstIndex(const ModeList& modes, Pred pred) {
  for (std::size_t i = 0; i < modes.size(); ++i)
    if (pred(modes[i])) return i;
  return std::nullopt;
}

}  // namespace df::sim
