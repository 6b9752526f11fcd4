// The kept state and the display queries.
#include "platform/gnome/displays.h"

#include <algorithm>

#include "edid/identity.h"

namespace df::platform::gnome {

DisplayID displayIdOf(std::string_view connector) {
  std::uint32_t h = 2166136261u;
  for (unsigned char ch : connector) {
    h ^= ch;
    h *= 16777619u;
  }
  // 31 bits: never 4294967295, the ID clients send for a control display that is not there.
  h &= 0x7FFFFFFFu;
  return h == 0 ? 1 : h;
}

std::unique_ptr<MutterDisplays> MutterDisplays::connect(MainQueue& queue, EdidPlaces places) {
  std::unique_ptr<MutterBus> bus = MutterBus::connect();
  if (!bus || !bus->hasMutter()) return nullptr;
  std::unique_ptr<MutterDisplays> d(new MutterDisplays(std::move(bus), queue, std::move(places)));
  // Listening starts before the first read, so that no change after it goes unnoticed.
  MutterDisplays* self = d.get();
  if (!d->bus_->listen([self](std::uint64_t cookie) { self->changed(cookie); },
                       [self] { self->markLost(); }))
    return nullptr;
  return d;
}

const State& MutterDisplays::state() {
  // Signals that came with the last call, or before the loop saw the descriptor, come first.
  if (!lost_) bus_->process();
  if (predicted_ && !predicting()) {
    predicted_.reset();
    fresh_ = false;
  }
  if (!lost_ && !fresh_) read();
  return state_;
}

bool MutterDisplays::predicting() const {
  return predicted_ && std::chrono::steady_clock::now() - *predicted_ < kPredicted;
}

bool MutterDisplays::read() {
  State s;
  std::uint64_t cookie = 0;
  const Answer answer = bus_->currentState(s, cookie);
  afterCall();
  if (answer != Answer::kDone) {
    // Nothing can be seen; a refusal is asked again next time.
    state_ = State{};
    return false;
  }
  state_ = std::move(s);
  stateCookie_ = cookie;
  fresh_ = true;
  predicted_.reset();
  // A sink unplugged is looked for afresh when it comes back.
  std::erase_if(sinks_, [this](const auto& kept) {
    const Monitor* m = state_.monitor(kept.first.connector);
    return m == nullptr || m->identity != kept.first;
  });
  return true;
}

void MutterDisplays::afterCall() {
  // A call reads what arrives before its reply and keeps it; the descriptor will not wake the
  // loop for it, so it is dispatched from the queue.
  if (settlePosted_) return;
  settlePosted_ = true;
  queue_.post([this] {
    settlePosted_ = false;
    dispatch();
  });
}

const Monitor* MutterDisplays::monitorOf(DisplayID display) {
  for (const Monitor& m : state().monitors)
    if (displayIdOf(m.identity.connector) == display) return &m;
  return nullptr;
}

const Sink& MutterDisplays::sinkOf(const Monitor& monitor) {
  auto it = sinks_.find(monitor.identity);
  if (it == sinks_.end())
    it = sinks_.emplace(monitor.identity, findSink(monitor.identity, places_)).first;
  return *it->second;
}

std::int32_t MutterDisplays::modeId(const std::string& connector, const std::string& mode) {
  std::vector<std::string>& ids = modeIds_[connector];
  auto it = std::find(ids.begin(), ids.end(), mode);
  if (it == ids.end()) it = ids.insert(ids.end(), mode);
  return static_cast<std::int32_t>(it - ids.begin()) + 1;
}

ModeHandle MutterDisplays::handle(const Monitor& monitor, const MutterMode& mode) {
  return std::make_unique<MutterModeHandle>(
      monitor.identity.connector, mode.id,
      describe(mode, sinkOf(monitor), modeId(monitor.identity.connector, mode.id)));
}

bool MutterDisplays::list(std::vector<DisplayID>& out) {
  out.clear();
  const State& s = state();
  if (lost_) return false;
  for (const Monitor& m : s.monitors) out.push_back(displayIdOf(m.identity.connector));
  return true;
}

std::optional<std::string> MutterDisplays::uuid(DisplayID display) {
  const Monitor* m = monitorOf(display);
  if (m == nullptr) return std::nullopt;
  const Sink& sink = sinkOf(*m);
  // The EDID's identity where it was found, as on X11; otherwise Mutter's texts for it.
  std::string identity = sink.hasEdid() ? sink.identity
                                        : "mutter:" + m->identity.vendor + "|" +
                                              m->identity.product + "|" + m->identity.serial;
  bool shared = false;
  for (const Monitor& other : state_.monitors) {
    if (&other == m) continue;
    const Sink& o = sinkOf(other);
    const std::string theirs = o.hasEdid()
                                   ? o.identity
                                   : "mutter:" + other.identity.vendor + "|" +
                                         other.identity.product + "|" + other.identity.serial;
    shared = shared || theirs == identity;
  }
  if (sink.hasEdid()) return edid::sinkUuid(identity, m->identity.connector, shared);
  if (shared) identity += "|output:" + m->identity.connector;
  return edid::uuidFromName(identity);
}

bool MutterDisplays::isActive(DisplayID display) {
  const Monitor* m = monitorOf(display);
  return m != nullptr && state_.shown(m->identity.connector) != nullptr;
}

bool MutterDisplays::isBuiltin(DisplayID display) {
  const Monitor* m = monitorOf(display);
  return m != nullptr && m->builtin;
}

bool MutterDisplays::isMirrored(DisplayID display) {
  const Monitor* m = monitorOf(display);
  const LogicalMonitor* l = m != nullptr ? state_.logicalOf(m->identity.connector) : nullptr;
  return l != nullptr && l->monitors.size() > 1;
}

bool MutterDisplays::isHardwareMirrored(DisplayID) {
  // Mutter does not say how a mirror is made.
  return false;
}

ModeHandle MutterDisplays::currentMode(DisplayID display) {
  const Monitor* m = monitorOf(display);
  const MutterMode* shown = m != nullptr ? state_.shown(m->identity.connector) : nullptr;
  return shown != nullptr ? handle(*m, *shown) : nullptr;
}

std::optional<std::vector<ModeHandle>> MutterDisplays::modes(DisplayID display) {
  const Monitor* m = monitorOf(display);
  if (m == nullptr) return std::nullopt;
  std::vector<ModeHandle> out;
  out.reserve(m->modes.size());
  for (const MutterMode& mode : m->modes) {
    // Mutter names each mode once; a second mode of one name could not be asked for.
    if (m->mode(mode.id) == &mode) out.push_back(handle(*m, mode));
  }
  return out;
}

std::string MutterDisplays::connector(DisplayID display) {
  const Monitor* m = monitorOf(display);
  return m != nullptr ? m->identity.connector : std::string();
}

bool MutterDisplays::isPrimary(DisplayID display) {
  const Monitor* m = monitorOf(display);
  const LogicalMonitor* l = m != nullptr ? state_.logicalOf(m->identity.connector) : nullptr;
  return l != nullptr && l->primary;
}

}  // namespace df::platform::gnome
