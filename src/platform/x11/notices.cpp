// Notices: RandR events read from the connection, turned into the reconfiguration notices that
// tell what changed since the last delivery.
#include <cstdlib>

#include "platform/x11/randr.h"
#include "platform/x11/randr_internal.h"

namespace df::platform::x11 {

void RandrDisplays::pollConnection() {
  if (lost_) return;
  bool changed = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
    const int type = event->response_type & 0x7f;
    if (type == eventBase_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
      const auto* screen = reinterpret_cast<const xcb_randr_screen_change_notify_event_t*>(event);
      const bool swapped = swapsAxes(screen->rotation);
      mmWidth_ = swapped ? screen->mheight : screen->mwidth;
      mmHeight_ = swapped ? screen->mwidth : screen->mheight;
      changed = true;
    } else if (type == eventBase_ + XCB_RANDR_NOTIFY) {
      changed = true;
    }
    std::free(event);
  }
  if (xcb_connection_has_error(c_)) {
    markLost();
    return;
  }
  if (!changed) return;
  cache_.reset();
  if (callback_ != nullptr && !deliveryPosted_) {
    deliveryPosted_ = true;
    queue_.post([this] {
      deliveryPosted_ = false;
      deliver();
    });
  }
}

void RandrDisplays::readEvents() {
  pollConnection();
}

Error RandrDisplays::registerReconfigurationCallback(ReconfigurationCallback callback,
                                                     void* userInfo) {
  if (callback == nullptr) return kErrorIllegalArgument;
  xcb_void_cookie_t cookie = xcb_randr_select_input_checked(
      c_, root_,
      XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
          XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY);
  Reply<xcb_generic_error_t> error(xcb_request_check(c_, cookie));
  ++traffic_.roundTrips;
  if (error || xcb_connection_has_error(c_)) return kErrorFailure;
  callback_ = callback;
  userInfo_ = userInfo;
  notified_ = state();
  return kSuccess;
}

void RandrDisplays::deliver() {
  if (callback_ == nullptr || lost_) return;
  Snapshot now = state();
  const Snapshot before = notified_ ? std::move(*notified_) : Snapshot{};
  std::vector<std::pair<DisplayID, std::uint32_t>> notices;
  auto timingOf = [](const Snapshot& s, const Snapshot::Output& o) -> const xcb_randr_mode_info_t* {
    const Snapshot::Crtc* crtc = s.crtcOf(o);
    if (crtc == nullptr || crtc->mode == 0) return nullptr;
    auto it = s.modes.find(crtc->mode);
    return it == s.modes.end() ? nullptr : &it->second;
  };
  for (const Snapshot::Output& o : now.outputs) {
    const Snapshot::Output* was = connected(before, o.id);
    if (!o.connected) continue;
    if (was == nullptr) {
      notices.emplace_back(o.id, kAddFlag | (active(now, o) ? kEnabledFlag : 0));
      continue;
    }
    std::uint32_t flags = 0;
    const bool on = active(now, o), wasOn = active(before, *was);
    if (on != wasOn) flags |= on ? kEnabledFlag : kDisabledFlag;
    const auto* t = timingOf(now, o);
    const auto* wt = timingOf(before, *was);
    if ((t == nullptr) != (wt == nullptr) || (t != nullptr && !sameTiming(*t, *wt)))
      flags |= kSetModeFlag;
    const Snapshot::Crtc* crtc = now.crtcOf(o);
    const Snapshot::Crtc* wasCrtc = before.crtcOf(*was);
    if (crtc != nullptr && wasCrtc != nullptr && crtc->mode != 0 && wasCrtc->mode != 0 &&
        (crtc->x != wasCrtc->x || crtc->y != wasCrtc->y))
      flags |= kMovedFlag;
    const bool m = mirrored(now, o), wasM = mirrored(before, *was);
    if (m != wasM) flags |= m ? kMirrorFlag : kUnMirrorFlag;
    if ((now.primary == o.id) != (before.primary == o.id)) flags |= kSetMainFlag;
    // A new mode list or EDID changes what the display offers; a colour property, the
    // connection mode it shows.
    auto colourValues = [](const Snapshot::Output& out) {
      std::array<std::pair<xcb_atom_t, std::int32_t>, kColourKeys> v{};
      for (std::size_t k = 0; k < kColourKeys; ++k)
        v[k] = {out.colour[k].type, out.colour[k].value};
      return v;
    };
    if (o.modes != was->modes || o.edid.bytes != was->edid.bytes ||
        colourValues(o) != colourValues(*was))
      flags |= kSetModeFlag;
    if (flags != 0) notices.emplace_back(o.id, flags);
  }
  for (const Snapshot::Output& o : before.outputs) {
    if (o.connected && connected(now, o.id) == nullptr) notices.emplace_back(o.id, kRemoveFlag);
  }
  notified_ = std::move(now);
  for (const auto& [display, flags] : notices) {
    callback_(display, kBeginConfigurationFlag, userInfo_);
    callback_(display, flags, userInfo_);
  }
}

}  // namespace df::platform::x11
