// The configuration transaction: CRTC changes applied under a server grab, set back when one
// fails.
#include <algorithm>
#include <cmath>

#include "platform/x11/randr.h"
#include "platform/x11/randr_internal.h"

namespace df::platform::x11 {

namespace {

class X11Config final : public DisplayConfig {
 public:
  std::vector<std::pair<xcb_randr_output_t, xcb_randr_mode_t>> plan;
  bool open = true;
};

X11Config* openConfig(DisplayConfig* config) {
  auto* own = dynamic_cast<X11Config*>(config);
  return own != nullptr && own->open ? own : nullptr;
}

Error fromXError(const xcb_generic_error_t* error) {
  (void)error;
  // Every refusal of a request names an argument the server would not take.
  return kErrorIllegalArgument;
}

}  // namespace

Error RandrDisplays::beginConfiguration(ConfigHandle& config) {
  config.reset();
  if (lost_) return kErrorFailure;
  config = std::make_unique<X11Config>();
  return kSuccess;
}

Error RandrDisplays::configureDisplayWithMode(DisplayConfig& config, DisplayID display,
                                              const DisplayMode* mode) {
  X11Config* open = openConfig(&config);
  const auto* m = dynamic_cast<const RandrMode*>(mode);
  if (open == nullptr || m == nullptr) return kErrorIllegalArgument;
  if (connected(state(), display) == nullptr) return kErrorIllegalArgument;
  auto it = std::find_if(open->plan.begin(), open->plan.end(),
                         [display](const auto& p) { return p.first == display; });
  if (it != open->plan.end()) {
    it->second = m->id();
  } else {
    open->plan.emplace_back(display, m->id());
  }
  return kSuccess;
}

Error RandrDisplays::completeConfiguration(ConfigHandle config, std::uint32_t) {
  X11Config* open = openConfig(config.get());
  if (open == nullptr) return kErrorIllegalArgument;
  open->open = false;
  if (lost_) return kErrorFailure;
  if (open->plan.empty()) return kSuccess;
  xcb_grab_server(c_);
  const Error result = apply(open->plan);
  xcb_ungrab_server(c_);
  xcb_flush(c_);
  cache_.reset();
  if (xcb_connection_has_error(c_)) markLost();
  return lost_ ? kErrorFailure : result;
}

Error RandrDisplays::cancelConfiguration(ConfigHandle config) {
  X11Config* open = openConfig(config.get());
  if (open == nullptr) return kErrorIllegalArgument;
  open->open = false;
  return kSuccess;
}

Error RandrDisplays::apply(
    const std::vector<std::pair<xcb_randr_output_t, xcb_randr_mode_t>>& plan) {
  // Read again under the grab: nobody changes the configuration between this and the change.
  const Snapshot s = read();
  if (lost_) return kErrorFailure;

  struct Change {
    const Snapshot::Crtc* crtc;
    xcb_randr_mode_t mode;
    std::uint16_t width, height;
  };
  std::vector<Change> changes;
  for (const auto& [output, mode] : plan) {
    const Snapshot::Output* o = connected(s, output);
    if (o == nullptr) return kErrorIllegalArgument;
    const Snapshot::Crtc* crtc = s.crtcOf(*o);
    if (crtc == nullptr || crtc->mode == 0) return kErrorCannotComplete;
    auto info = s.modes.find(mode);
    if (info == s.modes.end() ||
        std::find(o->modes.begin(), o->modes.end(), mode) == o->modes.end())
      return kErrorIllegalArgument;
    const bool swap = swapsAxes(crtc->rotation);
    changes.push_back({crtc, mode, swap ? info->second.height : info->second.width,
                       swap ? info->second.width : info->second.height});
  }

  // The area the lit CRTCs cover, before the change or after it; the screen must hold it.
  auto litArea = [&](bool changed) {
    std::uint32_t w = minWidth_, h = minHeight_;
    for (const auto& [id, crtc] : s.crtcs) {
      if (crtc.mode == 0) continue;
      std::uint32_t cw = crtc.width, ch = crtc.height;
      for (const Change& c : changes) {
        if (changed && c.crtc->id == id) {
          cw = c.width;
          ch = c.height;
        }
      }
      w = std::max<std::uint32_t>(w, static_cast<std::uint32_t>(std::max(0, int{crtc.x})) + cw);
      h = std::max<std::uint32_t>(h, static_cast<std::uint32_t>(std::max(0, int{crtc.y})) + ch);
    }
    return std::pair{w, h};
  };
  const auto [needW, needH] = litArea(true);
  if (needW > maxWidth_ || needH > maxHeight_) return kErrorIllegalArgument;

  auto mm = [](std::uint32_t px, std::uint32_t oldPx, std::uint32_t oldMm) {
    // Keep the screen's pixel density; 96 dpi when it is unknown.
    if (oldPx == 0 || oldMm == 0) return static_cast<std::uint32_t>(std::lround(px * 25.4 / 96));
    return static_cast<std::uint32_t>(std::lround(double(px) * oldMm / oldPx));
  };
  auto setScreen = [&](std::uint32_t w, std::uint32_t h) -> Error {
    xcb_void_cookie_t cookie = xcb_randr_set_screen_size_checked(
        c_, root_, static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h),
        mm(w, s.screenWidth, s.screenMmWidth), mm(h, s.screenHeight, s.screenMmHeight));
    Reply<xcb_generic_error_t> error(xcb_request_check(c_, cookie));
    ++traffic_.roundTrips;
    return error ? fromXError(error.get()) : kSuccess;
  };
  auto setCrtc = [&](const Snapshot::Crtc& crtc, xcb_randr_mode_t mode) -> Error {
    auto cookie = xcb_randr_set_crtc_config(
        c_, crtc.id, XCB_CURRENT_TIME, s.configTimestamp, crtc.x, crtc.y, mode, crtc.rotation,
        static_cast<std::uint32_t>(crtc.outputs.size()), crtc.outputs.data());
    xcb_generic_error_t* raw = nullptr;
    Reply<xcb_randr_set_crtc_config_reply_t> reply(
        xcb_randr_set_crtc_config_reply(c_, cookie, &raw));
    Reply<xcb_generic_error_t> error(raw);
    ++traffic_.roundTrips;
    if (error) return fromXError(error.get());
    if (!reply) return kErrorFailure;
    return reply->status == XCB_RANDR_SET_CONFIG_SUCCESS ? kSuccess : kErrorCannotComplete;
  };

  // The screen follows the lit area when it fitted it before, as after a desktop's own change;
  // a screen made larger on purpose only grows.
  const auto [hadW, hadH] = litArea(false);
  const std::uint32_t oldW = s.screenWidth, oldH = s.screenHeight;
  const std::uint32_t finalW = oldW == hadW ? needW : std::max(needW, oldW);
  const std::uint32_t finalH = oldH == hadH ? needH : std::max(needH, oldH);
  const bool grow = finalW > oldW || finalH > oldH;
  if (grow) {
    if (Error e = setScreen(std::max(finalW, oldW), std::max(finalH, oldH)); e != kSuccess)
      return e;
  }
  std::size_t done = 0;
  Error failed = kSuccess;
  for (; done < changes.size(); ++done) {
    failed = setCrtc(*changes[done].crtc, changes[done].mode);
    if (failed != kSuccess) break;
  }
  if (failed != kSuccess) {
    // Each CRTC change took effect at once: set back the ones made, then the screen.
    for (std::size_t i = 0; i < done; ++i) setCrtc(*changes[i].crtc, changes[i].crtc->mode);
    if (grow) setScreen(oldW, oldH);
    return failed;
  }
  // Shrinking comes after the CRTCs; a failure leaves only unused screen area.
  if (finalW < std::max(finalW, oldW) || finalH < std::max(finalH, oldH)) setScreen(finalW, finalH);
  return kSuccess;
}

}  // namespace df::platform::x11
