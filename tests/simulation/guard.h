// The checking seam: what is true about the displays at each moment, and decorators of the
// display services, the external display source and the main queue that hold every change the
// service makes against that truth.
//
// The machine records changes that reach an offline, inactive, built-in or mirrored display.
// What it cannot know is the service's side of eligibility: the control display, the target,
// and a UUID that two online displays share. The guard knows both, because the simulation
// generates every change of the displays' facts and tells the guard when each is due.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "platform/sim/virtual_queue.h"
#include "state/context.h"
#include "support/pass.h"

namespace df::trust {

using Nanos = std::chrono::nanoseconds;
using Flag = std::function<void(std::string)>;

// The eligibility facts of the machine's displays over time: the scenario's, then each
// scheduled change from its due time on, in the machine's own order (time, then scheduling).
class Facts {
 public:
  struct Display {
    platform::DisplayID id = 0;
    std::optional<std::string> uuid;
    bool online = true, active = true, builtin = false, mirror = false, hwMirror = false;
  };

  explicit Facts(const nlohmann::json& scenario);
  // A scheduled action (as given to SimMachine::schedule); ignored unless it changes a fact.
  void schedule(Nanos at, const nlohmann::json& action);
  // Applies every change due at or before t. Time never goes back.
  void advanceTo(Nanos t);

  const std::vector<Display>& displays() const { return displays_; }
  const Display* find(platform::DisplayID id) const;
  bool hasExternal() const { return external_; }
  // The display the external display object belongs to; 0 when there is no object or no
  // display for it.
  platform::DisplayID externalOwner() const;
  // The online display that alone carries the target UUID; 0 for none.
  platform::DisplayID target(const ControllerState& state) const;
  // Why the service may not touch the display now, given its controller state; nullopt when
  // it may.
  std::optional<std::string> ineligible(platform::DisplayID display,
                                        const ControllerState& state) const;

 private:
  void apply(const nlohmann::json& action);

  std::vector<Display> displays_;
  bool external_ = false;
  std::optional<platform::DisplayID> externalDisplay_;
  std::multimap<std::pair<Nanos::rep, std::uint64_t>, nlohmann::json> pending_;
  std::uint64_t sequence_ = 0;
};

// The displays and links the service sees: each configuration and connection switch is checked
// against the facts and the controller state at that moment; every call is passed on.
class Guard final : public test::Pass {
 public:
  Guard(platform::Platform inner, Facts& facts, std::function<Nanos()> clock, Flag flag);
  // The controller state the checks read (the service's own).
  void follow(const ControllerState* state) { state_ = state; }
  // Told of every call that cannot happen inside one verification's polling.
  void onNewPoll(std::function<void()> hook) { newPoll_ = std::move(hook); }

  std::optional<std::vector<platform::ModeHandle>> modes(platform::DisplayID display) override;
  bool configure(platform::DisplayID display, const platform::Mode* mode) override;
  bool switchConnection(platform::DisplayID display, const std::string& uuid,
                        const platform::ConnectionMode& mode) override;

 private:
  void newPoll() {
    if (newPoll_) newPoll_();
  }

  Facts& facts_;
  std::function<Nanos()> clock_;
  Flag flag_;
  const ControllerState* state_ = nullptr;
  std::function<void()> newPoll_;
};

// The main queue the service sees: passes everything to the virtual queue, and watches how
// long verifications poll and how many inspections a recheck chain runs.
class WatchedQueue final : public platform::MainQueue {
 public:
  WatchedQueue(sim::VirtualQueue& queue, Flag flag) : queue_(queue), flag_(std::move(flag)) {}
  void watch(const Context* cx) { cx_ = cx; }

  void post(platform::Block block) override { queue_.post(std::move(block)); }
  void postAfter(std::chrono::nanoseconds delay, platform::Block block) override;
  void sleep(std::chrono::microseconds duration) override;

  // Between blocks: a new block starts its own count.
  void blockEnded();
  // The next sleep belongs to a new verification.
  void newPoll() { fresh_ = true; }
  std::uint64_t longestVerification() const { return longest_; }

 private:
  sim::VirtualQueue& queue_;
  Flag flag_;
  const Context* cx_ = nullptr;
  std::uint64_t readingsAtLastSleep_ = 0;
  std::uint64_t run_ = 0;
  bool fresh_ = false;
  std::uint64_t sleepsInBlock_ = 0;
  std::uint64_t longest_ = 0;
  std::map<std::uint32_t, int> chainInspections_;
};

}  // namespace df::trust
