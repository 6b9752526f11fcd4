#include "platform/sim/machine.h"

#include <algorithm>
#include <exception>

#include "platform/sim/scenario.h"

namespace df::sim {

using nlohmann::json;
using platform::DisplayID;
using platform::Error;
using platform::kErrorFailure;
using platform::kErrorIllegalArgument;
using platform::kSuccess;

namespace {

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

json millisValue(Nanos t) {
  if (t.count() % 1000000 == 0) return t.count() / 1000000;
  return static_cast<double>(t.count()) / 1e6;
}

std::optional<std::string> optionalString(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  return std::nullopt;
}

}  // namespace

// --- Handle objects ---

class SimMachine::ModeObject final : public platform::DisplayMode {
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

class SimMachine::UUIDObject final : public platform::DisplayUUID {
 public:
  UUIDObject(std::shared_ptr<std::atomic<std::int64_t>> live, std::string text)
      : token_(std::move(live)), text_(std::move(text)) {}
  std::string string() const override { return text_; }

 private:
  LiveToken token_;
  std::string text_;
};

class SimMachine::ConfigObject final : public platform::DisplayConfig {
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

class SimMachine::IteratorObject final : public platform::RegistryObject {
 public:
  IteratorObject(std::shared_ptr<std::atomic<std::int64_t>> live,
                 std::vector<std::shared_ptr<ServiceData>> services)
      : token_(std::move(live)), services(std::move(services)) {}

 private:
  LiveToken token_;

 public:
  const std::vector<std::shared_ptr<ServiceData>> services;
  std::size_t next = 0;
};

class SimMachine::ServiceObject final : public platform::RegistryObject {
 public:
  ServiceObject(std::shared_ptr<std::atomic<std::int64_t>> live, std::shared_ptr<ServiceData> data)
      : token_(std::move(live)), data(std::move(data)) {}

 private:
  LiveToken token_;

 public:
  // Live: a service's properties change under it (the link follows the desktop).
  const std::shared_ptr<ServiceData> data;
};

class SimMachine::ExternalModeObject final : public platform::ExternalMode {
 public:
  ExternalModeObject(std::shared_ptr<std::atomic<std::int64_t>> live, ExternalModeData data,
                     std::size_t index, std::uint64_t version)
      : token_(std::move(live)), data(std::move(data)), index(index), version(version) {}
  std::optional<bool> isVRR() const override { return data.isVRR; }
  double refreshRate() const override { return data.refreshRate; }
  std::optional<std::string> colorMode() const override { return data.colorMode; }
  std::optional<std::string> hdrMode() const override { return data.hdrMode; }
  std::uint64_t width() const override { return data.width; }
  std::uint64_t height() const override { return data.height; }

 private:
  LiveToken token_;

 public:
  const ExternalModeData data;
  const std::size_t index;      // in availableModes
  const std::uint64_t version;  // of the external display it was read from
};

// Asks the machine afresh on every call, so it follows a replaced or removed external display.
class SimMachine::ExternalObject final : public platform::ExternalDisplay {
 public:
  ExternalObject(std::shared_ptr<std::atomic<std::int64_t>> live, std::weak_ptr<SimMachine*> owner)
      : token_(std::move(live)), owner_(std::move(owner)) {}
  std::optional<std::string> uuid() override {
    auto m = machine();
    return m ? m->externalUUID() : std::nullopt;
  }
  std::uint32_t display() override {
    auto m = machine();
    return m ? m->externalDisplayID() : 0;
  }
  platform::ExternalModeHandle currentMode() override {
    auto m = machine();
    return m ? m->externalCurrentMode() : nullptr;
  }
  std::optional<std::vector<platform::ExternalModeHandle>> availableModes() override {
    auto m = machine();
    if (!m) return std::nullopt;
    return m->externalAvailableModes();
  }
  void setCurrentMode(const platform::ExternalMode& mode) override {
    if (auto m = machine()) m->externalSetCurrentMode(mode);
  }

 private:
  SimMachine* machine() const {
    auto owner = owner_.lock();
    return owner ? *owner : nullptr;
  }
  LiveToken token_;
  std::weak_ptr<SimMachine*> owner_;
};

// One seam or scripting call: holds the mutex, counts the call, applies what is due, and on
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

// --- Construction ---

SimMachine::SimMachine(const json& scenario, ClockFn clock)
    : clock_(std::move(clock)),
      live_(std::make_shared<std::atomic<std::int64_t>>(0)),
      self_(std::make_shared<SimMachine*>(this)) {
  json s = scenario;
  std::string error;
  if (!normalizeScenario(s, error)) {
    // A bad scenario gives an empty machine that reports why, rather than an exception.
    violations_.push_back("scenario: " + error);
    log(Nanos(0), "violation", 0, {{"reason", violations_.back()}});
    return;
  }
  for (const auto& d : s["displays"]) displays_.push_back(parseDisplay(d));
  registry_ = parseRegistry(s["registry"]);
  if (!s["externalDisplay"].is_null()) external_ = parseExternal(s["externalDisplay"]);
  for (const auto& f : s["faults"]) faults_.push_back(parseFault(f));
  for (const auto& e : s["events"]) {
    json action = e;
    const Nanos at = millis(action["at"]);
    action.erase("at");
    scheduleStep(at, [this, action](Nanos now, Notices& out) { runAction(action, now, out); });
  }
  wake_ = false;
}

SimMachine::~SimMachine() {
  *self_ = nullptr;
}

SimMachine::ModeData SimMachine::parseMode(const json& mode) {
  ModeData m;
  m.modeId = mode.at("modeId").get<std::int32_t>();
  m.width = mode.at("width").get<std::size_t>();
  m.height = mode.at("height").get<std::size_t>();
  m.logicalWidth = mode.value("logicalWidth", m.width);
  m.logicalHeight = mode.value("logicalHeight", m.height);
  m.hz = rateValue(mode.at("hz"));
  m.flags = mode.at("flags").get<std::uint32_t>();
  if (mode.contains("timing")) m.timing = mode["timing"];
  m.lowResolutionDuplicate = mode.value("lowResolutionDuplicate", false);
  return m;
}

std::vector<SimMachine::ModeData> SimMachine::parseModes(const json& modes) {
  std::vector<ModeData> out;
  for (const auto& m : modes) out.push_back(parseMode(m));
  return out;
}

SimMachine::DisplayData SimMachine::parseDisplay(const json& display) {
  DisplayData d;
  d.id = display.at("id").get<DisplayID>();
  applyDisplayKeys(d, display);
  return d;
}

void SimMachine::applyDisplayKeys(DisplayData& d, const json& keys) {
  std::optional<std::int32_t> currentId;
  if (d.current) currentId = d.modes[*d.current].modeId;
  if (keys.contains("uuid")) d.uuid = optionalString(keys["uuid"]);
  if (keys.contains("online")) d.online = keys["online"].get<bool>();
  if (keys.contains("active")) d.active = keys["active"].get<bool>();
  if (keys.contains("builtin")) d.builtin = keys["builtin"].get<bool>();
  if (keys.contains("mirror")) d.mirror = keys["mirror"].get<bool>();
  if (keys.contains("hwMirror")) d.hwMirror = keys["hwMirror"].get<bool>();
  if (keys.contains("settleMs")) d.settle = millis(keys["settleMs"]);
  if (keys.contains("settle")) {
    const auto& kind = keys["settle"];
    d.settleKind = kind == "never"     ? Settle::Never
                   : kind == "flicker" ? Settle::Flicker
                                       : Settle::Normal;
  }
  if (keys.contains("flickerMs")) d.flickerInterval = millis(keys["flickerMs"]);
  if (keys.contains("flickers")) d.flickers = keys["flickers"].get<std::uint64_t>();
  if (keys.contains("modes")) {
    d.modesSource = keys["modes"];
    d.modes = parseModes(d.modesSource);
    ++d.modesVersion;
  }
  if (keys.contains("current")) {
    currentId.reset();
    if (!keys["current"].is_null()) currentId = keys["current"].get<std::int32_t>();
  }
  if (keys.contains("modes") || keys.contains("current")) {
    d.current.reset();
    for (std::size_t i = 0; currentId && i < d.modes.size(); ++i) {
      if (d.modes[i].modeId == *currentId) {
        d.current = i;
        break;
      }
    }
  }
}

SimMachine::ExternalData SimMachine::parseExternal(const json& external) {
  ExternalData e;
  e.uuid = optionalString(external.value("uuid", json()));
  for (const auto& m : external.value("availableModes", json::array())) {
    ExternalModeData x;
    x.source = std::make_shared<const json>(m);
    if (m.contains("isVRR")) x.isVRR = m["isVRR"].get<bool>();
    x.refreshRate = rateValue(m.at("refreshRate"));
    x.colorMode = optionalString(m.value("colorMode", json()));
    x.hdrMode = optionalString(m.value("hdrMode", json()));
    x.width = m.at("width").get<std::uint64_t>();
    x.height = m.at("height").get<std::uint64_t>();
    if (m.contains("timing")) x.timing = m["timing"];
    e.modes.push_back(std::move(x));
  }
  const json current = external.value("currentMode", json());
  if (current.is_number_integer()) e.current = current.get<std::int64_t>();
  e.linkSettle = millis(external.value("linkSettleMs", json(0)));
  e.linkDrop = external.value("linkDrop", false);
  if (external.contains("display")) e.display = external["display"].get<DisplayID>();
  return e;
}

std::vector<std::shared_ptr<SimMachine::ServiceData>> SimMachine::parseRegistry(
    const json& registry) {
  std::vector<std::shared_ptr<ServiceData>> out;
  for (const auto& s : registry)
    out.push_back(std::make_shared<ServiceData>(
        ServiceData{s.at("class").get<std::string>(),
                    std::make_shared<const json>(s.value("properties", json::object()))}));
  return out;
}

SimMachine::FaultData SimMachine::parseFault(const json& fault) {
  FaultData f;
  f.call = fault.at("call").get<std::string>();
  f.error = fault.at("error").get<Error>();
  if (fault.contains("display")) f.display = fault["display"].get<DisplayID>();
  f.after = fault.value("after", std::uint64_t{0});
  if (fault.contains("times")) f.times = fault["times"].get<std::uint64_t>();
  return f;
}

// --- Internals (mutex held) ---

SimMachine::DisplayData* SimMachine::find(DisplayID id) {
  for (auto& d : displays_)
    if (d.id == id) return &d;
  return nullptr;
}

const SimMachine::DisplayData* SimMachine::find(DisplayID id) const {
  for (const auto& d : displays_)
    if (d.id == id) return &d;
  return nullptr;
}

std::vector<DisplayID> SimMachine::knownIDs() const {
  std::vector<DisplayID> ids;
  for (const auto& d : displays_) ids.push_back(d.id);
  return ids;
}

const SimMachine::DisplayData* SimMachine::externalOwner() const {
  if (!external_) return nullptr;
  if (external_->display) return find(*external_->display);
  for (const auto& d : displays_)
    if (!d.builtin) return &d;
  return nullptr;
}

DisplayID SimMachine::externalOwnerID() const {
  const auto* owner = externalOwner();
  return owner ? owner->id : 0;
}

std::optional<Error> SimMachine::fault(std::string_view call,
                                       const std::vector<DisplayID>& displays) {
  std::optional<Error> chosen;
  for (auto& f : faults_) {
    if (f.call != call) continue;
    if (f.display && std::find(displays.begin(), displays.end(), *f.display) == displays.end())
      continue;
    ++f.matched;
    if (chosen || f.matched <= f.after) continue;
    if (f.times && f.injected >= *f.times) continue;
    ++f.injected;
    chosen = f.error;
  }
  if (chosen) ++faultsInjected_;
  return chosen;
}

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
    if (d.online) out.push_back({d.id, platform::kBeginConfigurationFlag});
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
  out.push_back({id, platform::kSetModeFlag});
  followLink(*d, now);
}

void SimMachine::followLink(const DisplayData& d, Nanos now) {
  if (!external_ || externalOwnerID() != d.id || !d.current) return;
  const auto& timing = d.modes[*d.current].timing;
  if (!timing) return;
  if (external_->linkSettle.count() == 0) {
    setLinkTiming(*timing);
    return;
  }
  if (!external_->linkDrop) {
    scheduleStep(now + external_->linkSettle,
                 [this, value = *timing](Nanos, Notices&) { setLinkTiming(value); });
    return;
  }
  const std::uint64_t retrain = dropLinkTiming();
  scheduleStep(now + external_->linkSettle, [this, value = *timing, retrain](Nanos, Notices&) {
    if (retrain == linkGeneration_) setLinkTiming(value);
  });
}

std::uint64_t SimMachine::dropLinkTiming() {
  if (external_ && external_->uuid) {
    for (auto& service : registry_) {
      const json& props = *service->properties;
      if (!props.is_object()) continue;
      auto it = props.find("IOMFBUUID");
      if (it == props.end() || *it != *external_->uuid || !props.contains("DPTimingModeId"))
        continue;
      auto changed = std::make_shared<json>(props);
      changed->erase("DPTimingModeId");
      service->properties = std::move(changed);
    }
  }
  return ++linkGeneration_;
}

void SimMachine::setLinkTiming(const json& timing) {
  if (!external_ || !external_->uuid) return;
  for (auto& service : registry_) {
    const json& props = *service->properties;
    if (!props.is_object()) continue;
    auto it = props.find("IOMFBUUID");
    if (it == props.end() || *it != *external_->uuid) continue;
    auto changed = std::make_shared<json>(props);
    (*changed)["DPTimingModeId"] = timing;
    service->properties = std::move(changed);
  }
}

void SimMachine::switchConnection(std::size_t index, std::uint64_t version,
                                  std::optional<std::uint64_t> retrain, Notices& out) {
  if (!external_ || version != externalVersion_ || index >= external_->modes.size()) return;
  beginNotices(out);
  external_->current = static_cast<std::int64_t>(index);
  const auto& timing = external_->modes[index].timing;
  if (timing && (!retrain || *retrain == linkGeneration_)) setLinkTiming(*timing);
  if (const auto* owner = externalOwner(); owner && owner->online)
    out.push_back({owner->id, platform::kSetModeFlag});
}

void SimMachine::runAction(const json& action, Nanos now, Notices& out) {
  if (action.contains("unplug") || action.contains("plug")) {
    const bool plug = action.contains("plug");
    auto* d = find(action[plug ? "plug" : "unplug"].get<DisplayID>());
    if (!d || d->online == plug) return;
    beginNotices(out);
    d->online = plug;
    ++d->generation;
    out.push_back({d->id, plug ? platform::kAddFlag : platform::kRemoveFlag});
  } else if (action.contains("setMode")) {
    const auto& m = action["setMode"];
    auto* d = find(m["display"].get<DisplayID>());
    if (!d || !d->online) return;
    const auto modeId = m["modeId"].get<std::int32_t>();
    auto it = std::find_if(d->modes.begin(), d->modes.end(),
                           [&](const ModeData& x) { return x.modeId == modeId; });
    if (it == d->modes.end()) return;
    beginNotices(out);
    ++d->generation;
    d->current = static_cast<std::size_t>(it - d->modes.begin());
    out.push_back({d->id, platform::kSetModeFlag});
    followLink(*d, now);
  } else if (action.contains("update")) {
    update(action["update"], now, out);
  } else if (action.contains("registry")) {
    registry_ = parseRegistry(action["registry"]);
  } else if (action.contains("externalDisplay")) {
    const auto& e = action["externalDisplay"];
    if (e.is_null()) {
      external_.reset();
    } else {
      external_ = parseExternal(e);
    }
    ++externalVersion_;
  } else if (action.contains("fault")) {
    faults_.push_back(parseFault(action["fault"]));
  }
}

void SimMachine::update(const json& keys, Nanos now, Notices& out) {
  auto* d = find(keys.at("display").get<DisplayID>());
  if (!d) return;
  const DisplayData before = *d;
  applyDisplayKeys(*d, keys);
  // An offline display that stays offline changes silently.
  if (!before.online && !d->online) return;

  auto currentId = [](const DisplayData& x) -> std::optional<std::int32_t> {
    if (!x.current) return std::nullopt;
    return x.modes[*x.current].modeId;
  };
  std::uint32_t flags = 0;
  if (before.online != d->online) flags |= d->online ? platform::kAddFlag : platform::kRemoveFlag;
  if (before.active != d->active)
    flags |= d->active ? platform::kEnabledFlag : platform::kDisabledFlag;
  if ((!before.mirror && d->mirror) || (!before.hwMirror && d->hwMirror))
    flags |= platform::kMirrorFlag;
  if ((before.mirror && !d->mirror) || (before.hwMirror && !d->hwMirror))
    flags |= platform::kUnMirrorFlag;
  const bool modeChanged =
      before.modesSource != d->modesSource || currentId(before) != currentId(*d);
  if (modeChanged) flags |= platform::kSetModeFlag;
  if (flags == 0) flags = platform::kDesktopShapeChangedFlag;

  // The begin notices go to the displays that were online before the change.
  for (const auto& x : displays_) {
    const bool wasOnline = &x == d ? before.online : x.online;
    if (wasOnline) out.push_back({x.id, platform::kBeginConfigurationFlag});
  }
  if (modeChanged || before.online != d->online) ++d->generation;
  out.push_back({d->id, flags});
  if (modeChanged && d->online) followLink(*d, now);
}

bool SimMachine::checkEligible(std::string_view call, DisplayID display, Nanos now) {
  const auto* d = find(display);
  const char* reason = !d            ? "no such display"
                       : !d->online  ? "offline"
                       : !d->active  ? "inactive"
                       : d->builtin  ? "built in"
                       : d->mirror   ? "in a mirror set"
                       : d->hwMirror ? "in a hardware mirror set"
                                     : nullptr;
  if (!reason) return true;
  std::string text = std::string(call) + " on display " + std::to_string(display) + ": " + reason;
  violations_.push_back(text);
  log(now, "violation", display, {{"reason", std::move(text)}});
  return false;
}

void SimMachine::log(Nanos at, std::string call, DisplayID display, json detail) {
  actions_.push_back({at, std::move(call), display, std::move(detail)});
}

void SimMachine::internalError(std::string_view call, const char* what) {
  try {
    std::lock_guard lock(mutex_);
    violations_.push_back("internal error in " + std::string(call) + ": " + what);
    log(appliedUntil_, "violation", 0, {{"reason", violations_.back()}});
  } catch (...) {
    // Nothing more can be recorded.
  }
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

// --- Display services ---

Error SimMachine::registerReconfigurationCallback(platform::ReconfigurationCallback callback,
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

platform::UUIDHandle SimMachine::createUUIDFromDisplayID(DisplayID display) {
  static constexpr std::string_view kCall = "createUUIDFromDisplayID";
  return guarded<platform::UUIDHandle>(kCall, nullptr, [&]() -> platform::UUIDHandle {
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

platform::ModeHandle SimMachine::copyDisplayMode(DisplayID display) {
  static constexpr std::string_view kCall = "copyDisplayMode";
  return guarded<platform::ModeHandle>(kCall, nullptr, [&]() -> platform::ModeHandle {
    Session s(*this, kCall);
    if (fault(kCall, {display})) return nullptr;
    const auto* d = find(display);
    if (!d || !d->online || !d->current) return nullptr;
    return std::make_unique<ModeObject>(live_, d->modes[*d->current], display, *d->current,
                                        d->modesVersion);
  });
}

std::optional<std::vector<platform::ModeHandle>> SimMachine::copyAllDisplayModes(
    DisplayID display, bool showDuplicateLowResolutionModes) {
  static constexpr std::string_view kCall = "copyAllDisplayModes";
  using Result = std::optional<std::vector<platform::ModeHandle>>;
  return guarded<Result>(kCall, std::nullopt, [&]() -> Result {
    Session s(*this, kCall);
    if (fault(kCall, {display})) return std::nullopt;
    const auto* d = find(display);
    if (!d || !d->online) return std::nullopt;
    std::vector<platform::ModeHandle> modes;
    modes.reserve(d->modes.size());
    for (std::size_t i = 0; i < d->modes.size(); ++i) {
      if (d->modes[i].lowResolutionDuplicate && !showDuplicateLowResolutionModes) continue;
      modes.push_back(
          std::make_unique<ModeObject>(live_, d->modes[i], display, i, d->modesVersion));
    }
    return modes;
  });
}

Error SimMachine::beginConfiguration(platform::ConfigHandle& config) {
  static constexpr std::string_view kCall = "beginConfiguration";
  platform::ConfigHandle fresh;
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

namespace {

template <typename ModeList, typename Pred>
std::optional<std::size_t> firstIndex(const ModeList& modes, Pred pred) {
  for (std::size_t i = 0; i < modes.size(); ++i)
    if (pred(modes[i])) return i;
  return std::nullopt;
}

}  // namespace

Error SimMachine::configureDisplayWithMode(platform::DisplayConfig& config, DisplayID display,
                                           const platform::DisplayMode* mode) {
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

Error SimMachine::completeConfiguration(platform::ConfigHandle config, std::uint32_t option) {
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

Error SimMachine::cancelConfiguration(platform::ConfigHandle config) {
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

// --- Device registry ---

platform::KernReturn SimMachine::servicesMatching(const std::string& className,
                                                  platform::RegistryHandle& iterator) {
  static constexpr std::string_view kCall = "servicesMatching";
  platform::RegistryHandle fresh;
  const auto result = guarded<platform::KernReturn>(kCall, kErrorFailure, [&] {
    Session s(*this, kCall);
    if (auto e = fault(kCall, {})) return *e;
    std::vector<std::shared_ptr<ServiceData>> matching;
    for (const auto& service : registry_)
      if (service->className == className) matching.push_back(service);
    fresh = std::make_unique<IteratorObject>(live_, std::move(matching));
    return kSuccess;
  });
  iterator = std::move(fresh);
  return result;
}

platform::RegistryHandle SimMachine::iteratorNext(platform::RegistryObject& iterator) {
  static constexpr std::string_view kCall = "iteratorNext";
  return guarded<platform::RegistryHandle>(kCall, nullptr, [&]() -> platform::RegistryHandle {
    Session s(*this, kCall);
    if (fault(kCall, {})) return nullptr;
    auto* it = dynamic_cast<IteratorObject*>(&iterator);
    if (!it || it->next >= it->services.size()) return nullptr;
    return std::make_unique<ServiceObject>(live_, it->services[it->next++]);
  });
}

platform::PropertyValue SimMachine::registryProperty(platform::RegistryObject& service,
                                                     const std::string& key) {
  static constexpr std::string_view kCall = "registryProperty";
  return guarded<platform::PropertyValue>(kCall, nullptr, [&]() -> platform::PropertyValue {
    Session s(*this, kCall);
    if (fault(kCall, {})) return nullptr;
    const auto* object = dynamic_cast<ServiceObject*>(&service);
    if (!object) return nullptr;
    const std::shared_ptr<const json>& props = object->data->properties;
    if (!props->is_object()) return nullptr;
    auto it = props->find(key);
    if (it == props->end()) return nullptr;
    // Shares the properties it points into, so it outlives any later change to them.
    return platform::PropertyValue(props, &*it);
  });
}

// --- External display object ---

namespace {
std::vector<DisplayID> about(DisplayID display) {
  return display ? std::vector<DisplayID>{display} : std::vector<DisplayID>{};
}
}  // namespace

platform::ExternalDisplayHandle SimMachine::externalDisplay() {
  static constexpr std::string_view kCall = "externalDisplay";
  return guarded<platform::ExternalDisplayHandle>(
      kCall, nullptr, [&]() -> platform::ExternalDisplayHandle {
        Session s(*this, kCall);
        if (fault(kCall, about(externalOwnerID()))) return nullptr;
        if (!external_) return nullptr;
        return std::make_unique<ExternalObject>(live_, self_);
      });
}

platform::DisplayID SimMachine::externalDisplayID() {
  static constexpr std::string_view kCall = "display";
  return guarded<platform::DisplayID>(kCall, 0, [&]() -> platform::DisplayID {
    Session s(*this, kCall);
    if (fault(kCall, about(externalOwnerID()))) return 0;
    return external_ ? externalOwnerID() : 0;
  });
}

std::optional<std::string> SimMachine::externalUUID() {
  static constexpr std::string_view kCall = "uuid";
  return guarded<std::optional<std::string>>(kCall, std::nullopt,
                                             [&]() -> std::optional<std::string> {
                                               Session s(*this, kCall);
                                               if (fault(kCall, about(externalOwnerID())))
                                                 return std::nullopt;
                                               if (!external_) return std::nullopt;
                                               return external_->uuid;
                                             });
}

platform::ExternalModeHandle SimMachine::externalCurrentMode() {
  static constexpr std::string_view kCall = "currentMode";
  return guarded<platform::ExternalModeHandle>(
      kCall, nullptr, [&]() -> platform::ExternalModeHandle {
        Session s(*this, kCall);
        if (fault(kCall, about(externalOwnerID()))) return nullptr;
        if (!external_ || !external_->current || *external_->current < 0 ||
            static_cast<std::size_t>(*external_->current) >= external_->modes.size())
          return nullptr;
        const auto index = static_cast<std::size_t>(*external_->current);
        return std::make_unique<ExternalModeObject>(live_, external_->modes[index], index,
                                                    externalVersion_);
      });
}

std::optional<std::vector<platform::ExternalModeHandle>> SimMachine::externalAvailableModes() {
  static constexpr std::string_view kCall = "availableModes";
  using Result = std::optional<std::vector<platform::ExternalModeHandle>>;
  return guarded<Result>(kCall, std::nullopt, [&]() -> Result {
    Session s(*this, kCall);
    if (fault(kCall, about(externalOwnerID()))) return std::nullopt;
    if (!external_) return std::nullopt;
    std::vector<platform::ExternalModeHandle> modes;
    modes.reserve(external_->modes.size());
    for (std::size_t i = 0; i < external_->modes.size(); ++i)
      modes.push_back(
          std::make_unique<ExternalModeObject>(live_, external_->modes[i], i, externalVersion_));
    return modes;
  });
}

void SimMachine::externalSetCurrentMode(const platform::ExternalMode& mode) {
  static constexpr std::string_view kCall = "setCurrentMode";
  guarded<int>(kCall, 0, [&] {
    Session s(*this, kCall);
    const DisplayID owner = externalOwnerID();
    const auto* sim = dynamic_cast<const ExternalModeObject*>(&mode);
    json detail = {{"mode", sim ? *sim->data.source : json(nullptr)}, {"index", nullptr}};
    if (external_) checkEligible(kCall, owner, s.now);
    std::optional<std::size_t> index;
    Error result = kSuccess;
    if (auto e = fault(kCall, about(owner))) {
      detail["faulted"] = true;
      result = *e;
    } else if (!external_ || !sim) {
      result = kErrorIllegalArgument;
    } else {
      // The handle knows where it came from; if the modes were replaced since, an equal mode
      // stands for it.
      if (sim->version == externalVersion_ && sim->index < external_->modes.size()) {
        index = sim->index;
      } else {
        index = firstIndex(external_->modes, [&](const ExternalModeData& m) {
          return *m.source == *sim->data.source;
        });
      }
      if (!index) result = kErrorIllegalArgument;
    }
    if (index) detail["index"] = *index;
    detail["result"] = result;
    log(s.now, std::string(kCall), owner, std::move(detail));
    if (!index) return 0;
    const std::uint64_t version = externalVersion_;
    if (external_->linkSettle.count() == 0) {
      switchConnection(*index, version, std::nullopt, s.notices);
    } else {
      std::optional<std::uint64_t> retrain;
      if (external_->linkDrop && external_->modes[*index].timing) retrain = dropLinkTiming();
      scheduleStep(s.now + external_->linkSettle,
                   [this, i = *index, version, retrain](Nanos, Notices& out) {
                     switchConnection(i, version, retrain, out);
                   });
    }
    return 0;
  });
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

bool SimMachine::addFault(json fault, std::string* error) {
  std::string why;
  if (!normalizeFault(fault, why)) {
    if (error) *error = why;
    return false;
  }
  std::lock_guard lock(mutex_);
  faults_.push_back(parseFault(fault));
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

// --- Inspection ---

std::vector<Action> SimMachine::actions() const {
  std::lock_guard lock(mutex_);
  return actions_;
}

std::string SimMachine::actionLogText() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const auto& a : actions_) {
    nlohmann::ordered_json line;
    line["at"] = millisValue(a.at);
    line["call"] = a.call;
    line["display"] = a.display;
    for (const auto& [key, value] : a.detail.items()) line[key] = value;
    text += line.dump(-1, ' ', false, json::error_handler_t::replace);
    text += '\n';
  }
  return text;
}

std::vector<std::string> SimMachine::violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}

std::int64_t SimMachine::liveHandles() const {
  return live_->load();
}

std::uint64_t SimMachine::callCount(std::string_view call) const {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(call);
  return it == calls_.end() ? 0 : it->second;
}

std::uint64_t SimMachine::faultsInjected() const {
  std::lock_guard lock(mutex_);
  return faultsInjected_;
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

std::optional<json> SimMachine::linkTimingModeId() const {
  std::lock_guard lock(mutex_);
  if (!external_ || !external_->uuid) return std::nullopt;
  for (const auto& service : registry_) {
    const json& props = *service->properties;
    if (!props.is_object()) continue;
    auto uuid = props.find("IOMFBUUID");
    if (uuid == props.end() || *uuid != *external_->uuid) continue;
    auto timing = props.find("DPTimingModeId");
    if (timing == props.end()) return std::nullopt;
    return *timing;
  }
  return std::nullopt;
}

std::optional<std::size_t> SimMachine::externalCurrentModeIndex() const {
  std::lock_guard lock(mutex_);
  if (!external_ || !external_->current || *external_->current < 0 ||
      static_cast<std::size_t>(*external_->current) >= external_->modes.size())
    return std::nullopt;
  return static_cast<std::size_t>(*external_->current);
}

}  // namespace df::sim
