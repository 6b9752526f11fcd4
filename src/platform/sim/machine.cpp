#include "platform/sim/machine.h"

#include <algorithm>

#include "platform/sim/machine_internal.h"

namespace df::sim {

using darwin::Error;
using darwin::kErrorFailure;
using darwin::kErrorIllegalArgument;
using darwin::kSuccess;
using nlohmann::json;
using platform::DisplayID;

// --- Handle objects ---

class SimMachine::ModeObject final : public darwin::DisplayMode {
 public:
  ModeObject(std::shared_ptr<std::atomic<std::int64_t>> live, ModeData data, DisplayID display,
             std::size_t index, std::uint64_t version)
      : token_(std::move(live)),
        data(std::move(data)),
        display(display),
        index(index),
        version(version) {}
  std::size_t width() const override { return data.logicalWidth; }
  std::size_t height() const override { return data.logicalHeight; }
  std::size_t pixelWidth() const override { return data.width; }
  std::size_t pixelHeight() const override { return data.height; }
  double refreshRate() const override { return data.hz; }
  std::uint32_t ioFlags() const override { return data.flags; }
  std::int32_t ioDisplayModeID() const override { return data.modeId; }

 private:
  LiveToken token_;

 public:
  const ModeData data;
  const DisplayID display;      // where it was read
  const std::size_t index;      // its place in that display's list
  const std::uint64_t version;  // of that list
};

class SimMachine::UUIDObject final : public darwin::DisplayUUID {
 public:
  UUIDObject(std::shared_ptr<std::atomic<std::int64_t>> live, std::string text)
      : token_(std::move(live)), text_(std::move(text)) {}
  std::string string() const override { return text_; }

 private:
  LiveToken token_;
  std::string text_;
};

class SimMachine::ConfigObject final : public darwin::DisplayConfig {
 public:
  struct Change {
    DisplayID display;
    std::int32_t modeId;
    std::size_t index;
    std::uint64_t version;
  };

  ConfigObject(std::shared_ptr<std::atomic<std::int64_t>> live, std::weak_ptr<SimMachine*> owner,
               const SimMachine* machine, std::uint64_t id)
      : token_(std::move(live)), owner_(std::move(owner)), machine(machine), id(id) {}
  // A transaction dropped without complete or cancel is cancelled.
  ~ConfigObject() override {
    if (consumed) return;
    if (auto owner = owner_.lock(); owner && *owner) (*owner)->dropTransaction(id, displays());
  }

  std::vector<DisplayID> displays() const {
    std::vector<DisplayID> out;
    for (const auto& c : changes) out.push_back(c.display);
    return out;
  }

 private:
  LiveToken token_;
  std::weak_ptr<SimMachine*> owner_;

 public:
  const SimMachine* const machine;  // identity only
  const std::uint64_t id;
  std::vector<Change> changes;
  bool consumed = false;
};

// --- Display services ---

Error SimMachine::registerReconfigurationCallback(darwin::ReconfigurationCallback callback,
                                                  void* userInfo) {
  static constexpr std::string_view kCall = "registerReconfigurationCallback";
  return guarded<Error>(kCall, kErrorFailure, [&]() -> Error {
    Session s(*this, kCall);
    if (auto e = fault(kCall, {})) return *e;
    if (!callback) return kErrorIllegalArgument;
    callbacks_.emplace_back(callback, userInfo);
    return kSuccess;
  });
}

Error SimMachine::getOnlineDisplayList(std::uint32_t capacity, DisplayID* displays,
                                       std::uint32_t* count) {
  static constexpr std::string_view kCall = "getOnlineDisplayList";
  return guarded<Error>(kCall, kErrorFailure, [&]() -> Error {
    Session s(*this, kCall);
    if (auto e = fault(kCall, {})) {
      if (count) *count = 0;
      return *e;
    }
    if (!count) return kErrorIllegalArgument;
    std::vector<DisplayID> online;
    for (const auto& d : displays_)
      if (d.online) online.push_back(d.id);
    if (capacity == 0 && !displays) {
      *count = static_cast<std::uint32_t>(online.size());
      return kSuccess;
    }
    if (!displays) return kErrorIllegalArgument;
    const auto n = std::min<std::size_t>(capacity, online.size());
    std::copy_n(online.begin(), n, displays);
    *count = static_cast<std::uint32_t>(n);
    return kSuccess;
  });
}

darwin::UUIDHandle SimMachine::createUUIDFromDisplayID(DisplayID display) {
  static constexpr std::string_view kCall = "createUUIDFromDisplayID";
  return guarded<darwin::UUIDHandle>(kCall, nullptr, [&]() -> darwin::UUIDHandle {
    Session s(*this, kCall);
    if (fault(kCall, {display})) return nullptr;
    const auto* d = find(display);
    if (!d || !d->uuid) return nullptr;
    return std::make_unique<UUIDObject>(live_, *d->uuid);
  });
}

bool SimMachine::displayIsActive(DisplayID display) {
  static constexpr std::string_view kCall = "displayIsActive";
  return guarded<bool>(kCall, false, [&] {
    Session s(*this, kCall);
    if (auto e = fault(kCall, {display})) return *e != 0;
    const auto* d = find(display);
    return d && d->online && d->active;
  });
}

bool SimMachine::displayIsBuiltin(DisplayID display) {
  static constexpr std::string_view kCall = "displayIsBuiltin";
  return guarded<bool>(kCall, false, [&] {
    Session s(*this, kCall);
    if (auto e = fault(kCall, {display})) return *e != 0;
    const auto* d = find(display);
    return d && d->online && d->builtin;
  });
}

bool SimMachine::displayIsInMirrorSet(DisplayID display) {
  static constexpr std::string_view kCall = "displayIsInMirrorSet";
  return guarded<bool>(kCall, false, [&] {
    Session s(*this, kCall);
    if (auto e = fault(kCall, {display})) return *e != 0;
    const auto* d = find(display);
    return d && d->online && d->mirror;
  });
}

bool SimMachine::displayIsInHWMirrorSet(DisplayID display) {
  static constexpr std::string_view kCall = "displayIsInHWMirrorSet";
  return guarded<bool>(kCall, false, [&] {
    Session s(*this, kCall);
    if (auto e = fault(kCall, {display})) return *e != 0;
    const auto* d = find(display);
    return d && d->online && d->hwMirror;
  });
}

darwin::ModeHandle SimMachine::copyDisplayMode(DisplayID display) {
  static constexpr std::string_view kCall = "copyDisplayMode";
  return guarded<darwin::ModeHandle>(kCall, nullptr, [&]() -> darwin::ModeHandle {
    Session s(*this, kCall);
    if (fault(kCall, {display})) return nullptr;
    const auto* d = find(display);
    if (!d || !d->online || !d->current) return nullptr;
    return std::make_unique<ModeObject>(live_, d->modes[*d->current], display, *d->current,
                                        d->modesVersion);
  });
}

std::optional<std::vector<darwin::ModeHandle>> SimMachine::copyAllDisplayModes(
    DisplayID display, bool showDuplicateLowResolutionModes) {
  static constexpr std::string_view kCall = "copyAllDisplayModes";
  using Result = std::optional<std::vector<darwin::ModeHandle>>;
  return guarded<Result>(kCall, std::nullopt, [&]() -> Result {
    Session s(*this, kCall);
    if (fault(kCall, {display})) return std::nullopt;
    const auto* d = find(display);
    if (!d || !d->online) return std::nullopt;
    std::vector<darwin::ModeHandle> modes;
    modes.reserve(d->modes.size());
    for (std::size_t i = 0; i < d->modes.size(); ++i) {
      if (d->modes[i].lowResolutionDuplicate && !showDuplicateLowResolutionModes) continue;
      modes.push_back(
          std::make_unique<ModeObject>(live_, d->modes[i], display, i, d->modesVersion));
    }
    return modes;
  });
}

Error SimMachine::beginConfiguration(darwin::ConfigHandle& config) {
  static constexpr std::string_view kCall = "beginConfiguration";
  darwin::ConfigHandle fresh;
  const Error result = guarded<Error>(kCall, kErrorFailure, [&]() -> Error {
    Session s(*this, kCall);
    const std::uint64_t id = nextTransaction_++;
    if (auto e = fault(kCall, {})) {
      log(s.now, std::string(kCall), 0, {{"result", *e}, {"faulted", true}});
      return *e;
    }
    fresh = std::make_unique<ConfigObject>(live_, self_, this, id);
    log(s.now, std::string(kCall), 0, {{"result", kSuccess}, {"transaction", id}});
    return kSuccess;
  });
  // Outside the mutex: replacing a live transaction runs its destructor, which cancels it.
  config = std::move(fresh);
  return result;
}

Error SimMachine::configureDisplayWithMode(darwin::DisplayConfig& config, DisplayID display,
                                           const darwin::DisplayMode* mode) {
  static constexpr std::string_view kCall = "configureDisplayWithMode";
  return guarded<Error>(kCall, kErrorFailure, [&]() -> Error {
    Session s(*this, kCall);
    auto* tx = dynamic_cast<ConfigObject*>(&config);
    json detail = {{"modeId", mode ? json(mode->ioDisplayModeID()) : json(nullptr)},
                   {"transaction", tx ? json(tx->id) : json(nullptr)}};
    checkEligible(kCall, display, s.now);
    const Error result = [&]() -> Error {
      if (auto e = fault(kCall, {display})) {
        detail["faulted"] = true;
        return *e;
      }
      if (!tx || tx->machine != this || tx->consumed) return kErrorIllegalArgument;
      const auto* sim = dynamic_cast<const ModeObject*>(mode);
      if (!sim) return kErrorIllegalArgument;
      const auto* d = find(display);
      if (!d || !d->online) return kErrorIllegalArgument;
      std::optional<std::size_t> index;
      if (sim->display == display && sim->version == d->modesVersion &&
          sim->index < d->modes.size() && d->modes[sim->index].modeId == sim->data.modeId) {
        index = sim->index;
      } else {
        index =
            firstIndex(d->modes, [&](const ModeData& m) { return m.modeId == sim->data.modeId; });
      }
      if (!index) return kErrorIllegalArgument;
      ConfigObject::Change change{display, sim->data.modeId, *index, d->modesVersion};
      auto it = std::find_if(tx->changes.begin(), tx->changes.end(),
                             [&](const auto& c) { return c.display == display; });
      if (it != tx->changes.end()) {
        *it = change;
      } else {
        tx->changes.push_back(change);
      }
      return kSuccess;
    }();
    detail["result"] = result;
    log(s.now, std::string(kCall), display, std::move(detail));
    return result;
  });
}

Error SimMachine::completeConfiguration(darwin::ConfigHandle config, std::uint32_t option) {
  static constexpr std::string_view kCall = "completeConfiguration";
  return guarded<Error>(kCall, kErrorFailure, [&]() -> Error {
    Session s(*this, kCall);
    auto* tx = dynamic_cast<ConfigObject*>(config.get());
    if (!tx || tx->machine != this || tx->consumed) {
      log(s.now, std::string(kCall), 0, {{"option", option}, {"result", kErrorIllegalArgument}});
      return kErrorIllegalArgument;
    }
    tx->consumed = true;
    const auto displays = tx->displays();
    json detail = {{"option", option}, {"displays", displays}, {"transaction", tx->id}};
    for (DisplayID d : displays) checkEligible(kCall, d, s.now);
    const Error result = [&]() -> Error {
      if (auto e = fault(kCall, displays)) {
        detail["faulted"] = true;
        return *e;
      }
      std::vector<std::pair<DisplayData*, std::size_t>> plan;
      for (const auto& c : tx->changes) {
        auto* d = find(c.display);
        if (!d || !d->online) return kErrorIllegalArgument;
        std::optional<std::size_t> index;
        if (c.version == d->modesVersion && c.index < d->modes.size()) {
          index = c.index;
        } else {
          index = firstIndex(d->modes, [&](const ModeData& m) { return m.modeId == c.modeId; });
        }
        if (!index) return kErrorIllegalArgument;
        plan.emplace_back(d, *index);
      }
      if (plan.empty()) return kSuccess;
      beginNotices(s.notices);
      for (auto& [d, index] : plan) startChange(*d, index, s.now, s.notices);
      return kSuccess;
    }();
    detail["result"] = result;
    log(s.now, std::string(kCall), displays.empty() ? 0 : displays.front(), std::move(detail));
    return result;
  });
}

Error SimMachine::cancelConfiguration(darwin::ConfigHandle config) {
  static constexpr std::string_view kCall = "cancelConfiguration";
  return guarded<Error>(kCall, kErrorFailure, [&]() -> Error {
    Session s(*this, kCall);
    auto* tx = dynamic_cast<ConfigObject*>(config.get());
    if (!tx || tx->machine != this || tx->consumed) {
      log(s.now, std::string(kCall), 0, {{"result", kErrorIllegalArgument}});
      return kErrorIllegalArgument;
    }
    tx->consumed = true;
    const auto displays = tx->displays();
    json detail = {{"transaction", tx->id}};
    Error result = kSuccess;
    if (auto e = fault(kCall, displays)) {
      detail["faulted"] = true;
      result = *e;
    }
    detail["result"] = result;
    log(s.now, std::string(kCall), displays.empty() ? 0 : displays.front(), std::move(detail));
    return result;
  });
}

void SimMachine::dropTransaction(std::uint64_t id, std::vector<DisplayID> displays) {
  try {
    std::lock_guard lock(mutex_);
    const Nanos now = std::max(clock_ ? clock_() : Nanos(0), appliedUntil_);
    log(now, "cancelConfiguration", displays.empty() ? 0 : displays.front(),
        {{"transaction", id}, {"implicit", true}, {"result", kSuccess}});
  } catch (...) {
    // Called from a destructor: nothing may escape.
  }
}

// --- Inspection ---

std::int64_t SimMachine::liveHandles() const {
  return live_->load();
}

std::optional<std::int32_t> SimMachine::currentModeId(DisplayID display) const {
  std::lock_guard lock(mutex_);
  const auto* d = find(display);
  if (!d || !d->current) return std::nullopt;
  return d->modes[*d->current].modeId;
}

bool SimMachine::isOnline(DisplayID display) const {
  std::lock_guard lock(mutex_);
  const auto* d = find(display);
  return d && d->online;
}

}  // namespace df::sim
