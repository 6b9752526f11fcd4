// RandR events: applied to the kept state as they arrive, and turned into the change notices
// of each output that changed since the last delivery.
#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "platform/x11/connection.h"

namespace df::platform::x11 {

namespace {

// What changed of an output between two states; nullopt for nothing.
std::optional<Change> changeOf(const State& before, const State& now, const State::Output& o) {
  const State::Output* was = connected(before, o.id);
  if (was == nullptr) return Change::kAdded;
  const xcb_randr_mode_info_t* t = shownTiming(now, o);
  const xcb_randr_mode_info_t* wt = shownTiming(before, *was);
  auto colourValues = [](const State::Output& out) {
    std::array<std::pair<xcb_atom_t, std::int32_t>, kColourKeys> v{};
    for (std::size_t k = 0; k < kColourKeys; ++k) v[k] = {out.colour[k].type, out.colour[k].value};
    return v;
  };
  // Lit or dark, the shown timing, what the display offers (a new mode list or EDID) and the
  // connection mode it shows (a colour property) are its mode.
  if ((t == nullptr) != (wt == nullptr) || (t != nullptr && !sameTiming(*t, *wt)) ||
      o.modes != was->modes || o.edid.bytes != was->edid.bytes ||
      colourValues(o) != colourValues(*was))
    return Change::kMode;
  const State::Crtc* crtc = now.crtcOf(o);
  const State::Crtc* wasCrtc = before.crtcOf(*was);
  const bool moved = t != nullptr && crtc != nullptr && wasCrtc != nullptr &&
                     (crtc->x != wasCrtc->x || crtc->y != wasCrtc->y);
  if (moved || mirrored(now, o) != mirrored(before, *was) ||
      (now.primary == o.id) != (before.primary == o.id))
    return Change::kOther;
  return std::nullopt;
}

}  // namespace

void Connection::pollConnection(bool force) {
  if (lost_) return;
  // The connection is read at most once a millisecond, besides when the event loop finds it
  // readable and before a configuration: the many questions of one reading see one state and
  // cost one system call, not one each. What arrives in between is seen a millisecond later.
  const auto now = std::chrono::steady_clock::now();
  const bool read = force || now - lastRead_ >= std::chrono::milliseconds(1);
  if (read) lastRead_ = now;
  bool changed = false;
  while (xcb_generic_event_t* event =
             read ? xcb_poll_for_event(c_) : xcb_poll_for_queued_event(c_)) {
    const int type = event->response_type & 0x7f;
    if (type == eventBase_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
        type == eventBase_ + XCB_RANDR_NOTIFY) {
      apply(*event);
      changed = true;
    }
    std::free(event);
  }
  if (xcb_connection_has_error(c_)) {
    markLost();
    return;
  }
  if (!changed || notice_ == nullptr || deliveryPosted_) return;
  deliveryPosted_ = true;
  queue_.post([this] {
    deliveryPosted_ = false;
    deliver();
  });
}

void Connection::apply(const xcb_generic_event_t& event) {
  if ((event.response_type & 0x7f) == eventBase_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
    const auto& e = reinterpret_cast<const xcb_randr_screen_change_notify_event_t&>(event);
    // The event gives the sizes as the first CRTC's rotation shows them.
    const bool swapped = swapsAxes(e.rotation);
    mmWidth_ = swapped ? e.mheight : e.mwidth;
    mmHeight_ = swapped ? e.mwidth : e.mheight;
    // A new configuration time: outputs, their modes or their connections changed.
    if (e.config_timestamp != state_.configTimestamp) staleAll_ = true;
    if (staleAll_) return;
    state_.screenWidth = swapped ? e.height : e.width;
    state_.screenHeight = swapped ? e.width : e.height;
    state_.screenMmWidth = mmWidth_;
    state_.screenMmHeight = mmHeight_;
    return;
  }
  if (staleAll_) return;
  const auto& e = reinterpret_cast<const xcb_randr_notify_event_t&>(event);
  if (e.subCode == XCB_RANDR_NOTIFY_CRTC_CHANGE) {
    const xcb_randr_crtc_change_t& cc = e.u.cc;
    auto it = state_.crtcs.find(cc.crtc);
    if (it == state_.crtcs.end() || (cc.mode != 0 && state_.modes.count(cc.mode) == 0)) {
      staleAll_ = true;
      return;
    }
    State::Crtc& crtc = it->second;
    crtc.x = cc.x;
    crtc.y = cc.y;
    crtc.width = cc.width;
    crtc.height = cc.height;
    crtc.mode = cc.mode;
    crtc.rotation = cc.rotation;
    if (cc.mode == 0) crtc.outputs.clear();  // a dark CRTC drives no output
  } else if (e.subCode == XCB_RANDR_NOTIFY_OUTPUT_CHANGE) {
    const xcb_randr_output_change_t& oc = e.u.oc;
    State::Output* o = state_.output(oc.output);
    if (o == nullptr || oc.config_timestamp != state_.configTimestamp ||
        (oc.connection == XCB_RANDR_CONNECTION_CONNECTED) != o->connected ||
        (oc.crtc != 0 && state_.crtcs.count(oc.crtc) == 0)) {
      staleAll_ = true;
      return;
    }
    o->crtc = oc.crtc;
    for (auto& [id, crtc] : state_.crtcs) {
      auto& on = crtc.outputs;
      on.erase(std::remove(on.begin(), on.end(), o->id), on.end());
      if (id == o->crtc) on.push_back(o->id);
    }
    // A new primary output sends this event and says nothing of it.
    stalePrimary_ = true;
  } else if (e.subCode == XCB_RANDR_NOTIFY_OUTPUT_PROPERTY) {
    const xcb_randr_output_property_t& op = e.u.op;
    const bool ours =
        op.atom == edidAtom_ || op.atom == connectorTypeAtom_ ||
        std::find(colourAtoms_.begin(), colourAtoms_.end(), op.atom) != colourAtoms_.end();
    if (!ours || op.atom == 0) return;
    if (state_.output(op.output) == nullptr) {
      staleAll_ = true;
    } else {
      staleProperties_.insert(op.output);
    }
  }
}

bool Connection::watch(NoticeFn notice, void* user) {
  if (notice == nullptr || lost_) return false;
  notice_ = notice;
  user_ = user;
  notified_ = state();
  return !lost_;
}

void Connection::deliver() {
  if (notice_ == nullptr || lost_) return;
  const State& now = state();
  if (lost_) return;
  const State before = notified_ ? std::move(*notified_) : State{};
  std::vector<std::pair<DisplayID, Change>> notices;
  for (const State::Output& o : now.outputs) {
    if (!o.connected) continue;
    if (auto change = changeOf(before, now, o)) notices.emplace_back(o.id, *change);
  }
  for (const State::Output& o : before.outputs) {
    if (o.connected && connected(now, o.id) == nullptr)
      notices.emplace_back(o.id, Change::kRemoved);
  }
  notified_ = now;
  for (const auto& [display, change] : notices) notice_(display, change, user_);
}

}  // namespace df::platform::x11
