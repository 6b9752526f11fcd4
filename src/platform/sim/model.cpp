// The machine's model of displays, registry and external display: built from the scenario and
// changed by scripted actions.
#include <algorithm>

#include "platform/sim/machine.h"
#include "platform/sim/scenario.h"

namespace df::sim {

using darwin::Error;
using nlohmann::json;
using platform::DisplayID;

namespace {

std::optional<std::string> optionalString(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  return std::nullopt;
}

}  // namespace

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

void SimMachine::runAction(const json& action, Nanos now, Notices& out) {
  if (action.contains("unplug") || action.contains("plug")) {
    const bool plug = action.contains("plug");
    auto* d = find(action[plug ? "plug" : "unplug"].get<DisplayID>());
    if (!d || d->online == plug) return;
    beginNotices(out);
    d->online = plug;
    ++d->generation;
    out.push_back({d->id, plug ? darwin::kAddFlag : darwin::kRemoveFlag});
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
    out.push_back({d->id, darwin::kSetModeFlag});
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
  if (before.online != d->online) flags |= d->online ? darwin::kAddFlag : darwin::kRemoveFlag;
  if (before.active != d->active) flags |= d->active ? darwin::kEnabledFlag : darwin::kDisabledFlag;
  if ((!before.mirror && d->mirror) || (!before.hwMirror && d->hwMirror))
    flags |= darwin::kMirrorFlag;
  if ((before.mirror && !d->mirror) || (before.hwMirror && !d->hwMirror))
    flags |= darwin::kUnMirrorFlag;
  const bool modeChanged =
      before.modesSource != d->modesSource || currentId(before) != currentId(*d);
  if (modeChanged) flags |= darwin::kSetModeFlag;
  if (flags == 0) flags = darwin::kDesktopShapeChangedFlag;

  // The begin notices go to the displays that were online before the change.
  for (const auto& x : displays_) {
    const bool wasOnline = &x == d ? before.online : x.online;
    if (wasOnline) out.push_back({x.id, darwin::kBeginConfigurationFlag});
  }
  if (modeChanged || before.online != d->online) ++d->generation;
  out.push_back({d->id, flags});
  if (modeChanged && d->online) followLink(*d, now);
}

}  // namespace df::sim
