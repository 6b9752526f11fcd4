#include "simulation/guard.h"

#include <algorithm>

#include "platform/sim/scenario.h"

namespace df::trust {

using nlohmann::json;
using platform::DisplayID;

namespace {

// The protocol's limits: a verification reads at most 16 times, a recheck chain inspects at
// most 12 times, 500 ms apart.
constexpr std::uint64_t kMaxReadings = 16;
constexpr int kMaxRechecks = 12;
constexpr std::chrono::milliseconds kRecheckDelay{500};
// One block may verify a restoration (two polls), a restoration first (two polls), the change
// and a roll-back (two polls): seven polls' worth of sleeps at the very most.
constexpr std::uint64_t kMaxSleepsInBlock = 7 * kMaxReadings;

std::optional<std::string> uuidOf(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  return std::nullopt;
}

}  // namespace

// --- Facts ---

Facts::Facts(const json& scenario) {
  for (const json& d : scenario.value("displays", json::array())) {
    Display x;
    x.id = d.at("id").get<DisplayID>();
    x.uuid = uuidOf(d.value("uuid", json()));
    x.online = d.value("online", true);
    x.active = d.value("active", true);
    x.builtin = d.value("builtin", false);
    x.mirror = d.value("mirror", false);
    x.hwMirror = d.value("hwMirror", false);
    displays_.push_back(std::move(x));
  }
  const json external = scenario.value("externalDisplay", json());
  external_ = external.is_object();
  if (external_ && external.contains("display")) externalDisplay_ = external["display"];
  for (json event : scenario.value("events", json::array())) {
    const Nanos at = sim::millis(event.at("at"));
    event.erase("at");
    schedule(at, event);
  }
}

void Facts::schedule(Nanos at, const json& action) {
  pending_.emplace(std::make_pair(at.count(), sequence_++), action);
}

void Facts::advanceTo(Nanos t) {
  while (!pending_.empty() && pending_.begin()->first.first <= t.count()) {
    apply(pending_.begin()->second);
    pending_.erase(pending_.begin());
  }
}

const Facts::Display* Facts::find(DisplayID id) const {
  for (const Display& d : displays_)
    if (d.id == id) return &d;
  return nullptr;
}

void Facts::apply(const json& action) {
  auto display = [this](const json& id) {
    const auto want = id.get<DisplayID>();
    for (Display& d : displays_)
      if (d.id == want) return &d;
    return static_cast<Display*>(nullptr);
  };
  if (action.contains("plug") || action.contains("unplug")) {
    const bool plug = action.contains("plug");
    if (Display* d = display(action[plug ? "plug" : "unplug"])) d->online = plug;
  } else if (action.contains("update")) {
    const json& u = action["update"];
    Display* d = display(u.at("display"));
    if (d == nullptr) return;
    if (u.contains("uuid")) d->uuid = uuidOf(u["uuid"]);
    if (u.contains("online")) d->online = u["online"].get<bool>();
    if (u.contains("active")) d->active = u["active"].get<bool>();
    if (u.contains("builtin")) d->builtin = u["builtin"].get<bool>();
    if (u.contains("mirror")) d->mirror = u["mirror"].get<bool>();
    if (u.contains("hwMirror")) d->hwMirror = u["hwMirror"].get<bool>();
  } else if (action.contains("externalDisplay")) {
    const json& e = action["externalDisplay"];
    external_ = e.is_object();
    externalDisplay_.reset();
    if (external_ && e.contains("display")) externalDisplay_ = e["display"];
  }
}

DisplayID Facts::externalOwner() const {
  if (!external_) return 0;
  if (externalDisplay_) return *externalDisplay_;
  // As the machine has it: the first display that is not built in, online or not.
  for (const Display& d : displays_)
    if (!d.builtin) return d.id;
  return 0;
}

std::optional<std::string> Facts::ineligible(DisplayID display, const ControllerState& s) const {
  if (display == 0) return "no display";
  if (s.controlID == 0) return "no control display was given";
  if (display == s.controlID) return "it is the control display";
  const Display* d = find(display);
  if (d == nullptr) return "no such display";
  if (!d->online) return "it is offline";
  if (!d->active) return "it is inactive";
  if (d->builtin) return "it is built in";
  if (d->mirror || d->hwMirror) return "it is mirrored";
  if (!s.targetUUID) return "there is no target";
  int carriers = 0;
  for (const Display& x : displays_) carriers += x.online && x.uuid == s.targetUUID ? 1 : 0;
  if (carriers > 1) return "the target UUID is ambiguous";
  if (target(s) != display) return "it is not the target";
  return std::nullopt;
}

DisplayID Facts::target(const ControllerState& s) const {
  DisplayID found = 0;
  for (const Display& x : displays_) {
    if (!s.targetUUID || !x.online || x.uuid != s.targetUUID) continue;
    if (found != 0) return 0;
    found = x.id;
  }
  return found;
}

// --- Guard ---

Guard::Guard(platform::Platform inner, Facts& facts, std::function<Nanos()> clock, Flag flag)
    : Pass(inner), facts_(facts), clock_(std::move(clock)), flag_(std::move(flag)) {}

std::optional<std::vector<platform::ModeHandle>> Guard::modes(DisplayID display) {
  newPoll();
  return Pass::modes(display);
}

bool Guard::configure(DisplayID display, const platform::Mode* mode) {
  newPoll();
  if (state_ != nullptr) {
    facts_.advanceTo(clock_());
    if (auto why = facts_.ineligible(display, *state_))
      flag_("configure reached display " + std::to_string(display) + ": " + *why);
  }
  return Pass::configure(display, mode);
}

bool Guard::switchConnection(DisplayID display, const std::string& uuid,
                             const platform::ConnectionMode& mode) {
  // Checked once the platform was asked: the switch happens inside the call, and the virtual
  // clock does not move there.
  if (!Pass::switchConnection(display, uuid, mode)) return false;
  newPoll();
  if (state_ == nullptr) return true;
  facts_.advanceTo(clock_());
  // With no external display object the switch goes nowhere.
  if (!facts_.hasExternal()) return true;
  const DisplayID owner = facts_.externalOwner();
  if (auto why = facts_.ineligible(owner, *state_))
    flag_("a connection switch reached display " + std::to_string(owner) + ": " + *why +
          " (the target is " + std::to_string(facts_.target(*state_)) + ")");
  return true;
}

// --- WatchedQueue ---

void WatchedQueue::postAfter(std::chrono::nanoseconds delay, platform::Block block) {
  if (delay != kRecheckDelay || cx_ == nullptr) {
    queue_.postAfter(delay, std::move(block));
    return;
  }
  queue_.postAfter(delay, [this, inner = std::move(block)] {
    const std::uint64_t before = cx_->counters.inspections;
    inner();
    if (cx_->counters.inspections == before) return;
    const std::uint32_t chain = cx_->state.timingRetryGeneration;
    if (chainInspections_.empty() || chainInspections_.begin()->first != chain) {
      chainInspections_.clear();
      chainInspections_[chain] = 0;
    }
    if (++chainInspections_[chain] > kMaxRechecks)
      flag_("recheck chain " + std::to_string(chain) + " ran " +
            std::to_string(chainInspections_[chain]) + " inspections");
  });
}

void WatchedQueue::sleep(std::chrono::microseconds duration) {
  if (cx_ != nullptr) {
    const std::uint64_t readings = cx_->counters.readings;
    const std::uint64_t delta = readings - readingsAtLastSleep_;
    readingsAtLastSleep_ = readings;
    // Within one verification each sleep follows exactly one reading. More readings in
    // between, or a transaction, a mode list or a connection switch, begin a new one.
    run_ = delta == 1 && !fresh_ ? run_ + 1 : delta >= 1 ? 1 : 0;
    fresh_ = false;
    longest_ = std::max(longest_, run_);
    if (run_ == kMaxReadings + 1)
      flag_("a verification polled more than " + std::to_string(kMaxReadings) + " readings");
    if (++sleepsInBlock_ == kMaxSleepsInBlock + 1)
      flag_("one block slept more than " + std::to_string(kMaxSleepsInBlock) + " times");
  }
  queue_.sleep(duration);
}

void WatchedQueue::blockEnded() {
  if (cx_ != nullptr) readingsAtLastSleep_ = cx_->counters.readings;
  run_ = 0;
  fresh_ = false;
  sleepsInBlock_ = 0;
}

}  // namespace df::trust
