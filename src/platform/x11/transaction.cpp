// The configuration transaction: one CRTC change under a server grab, made from the kept state
// when it is current, with the screen grown before it or shrunk after it as the new mode needs.
#include <algorithm>
#include <cmath>
#include <optional>

#include "platform/x11/displays.h"

namespace df::platform::x11 {

namespace {

// The screen size in millimetres for px pixels, at the screen's pixel density (96 dpi when it
// is unknown).
std::uint32_t millimetres(std::uint32_t px, std::uint32_t oldPx, std::uint32_t oldMm) {
  if (oldPx == 0 || oldMm == 0) return static_cast<std::uint32_t>(std::lround(px * 25.4 / 96));
  return static_cast<std::uint32_t>(std::lround(double(px) * oldMm / oldPx));
}

// Makes the change from the state as the server has it under the grab. Every request that
// depends on no other's answer goes out at once: growing the screen and setting the CRTC take
// one round trip together (a CRTC beyond a screen that could not grow is refused), and
// shrinking afterwards waits for nothing, since a failure there leaves only unused screen area.
bool change(Connection& x, DisplayID display, xcb_randr_mode_t mode) {
  const State& s = x.state();
  if (x.lost()) return false;
  const State::Output* o = connected(s, display);
  const State::Crtc* shown = o != nullptr ? s.crtcOf(*o) : nullptr;
  if (shown == nullptr || shown->mode == 0) return false;
  auto info = s.modes.find(mode);
  if (info == s.modes.end() || std::find(o->modes.begin(), o->modes.end(), mode) == o->modes.end())
    return false;
  // Copied: the change's own events update the kept state when they are read.
  const State::Crtc crtc = *shown;
  const bool swap = swapsAxes(crtc.rotation);
  const std::uint32_t width = swap ? info->second.height : info->second.width;
  const std::uint32_t height = swap ? info->second.width : info->second.height;

  // The area the lit CRTCs cover, before the change or after it; the screen must hold it.
  auto litArea = [&](bool changed) {
    std::uint32_t w = x.minWidth(), h = x.minHeight();
    for (const auto& [id, other] : s.crtcs) {
      if (other.mode == 0) continue;
      const bool ours = changed && id == crtc.id;
      const std::uint32_t cw = ours ? width : other.width, ch = ours ? height : other.height;
      w = std::max<std::uint32_t>(w, static_cast<std::uint32_t>(std::max(0, int{other.x})) + cw);
      h = std::max<std::uint32_t>(h, static_cast<std::uint32_t>(std::max(0, int{other.y})) + ch);
    }
    return std::pair{w, h};
  };
  const auto [needW, needH] = litArea(true);
  if (needW > x.maxWidth() || needH > x.maxHeight()) return false;
  // The screen follows the lit area when it fitted it before, as after a desktop's own change;
  // a screen made larger on purpose only grows.
  const auto [hadW, hadH] = litArea(false);
  const std::uint32_t oldW = s.screenWidth, oldH = s.screenHeight;
  const std::uint32_t oldMmW = s.screenMmWidth, oldMmH = s.screenMmHeight;
  const std::uint32_t finalW = oldW == hadW ? needW : std::max(needW, oldW);
  const std::uint32_t finalH = oldH == hadH ? needH : std::max(needH, oldH);
  const std::uint32_t bigW = std::max(finalW, oldW), bigH = std::max(finalH, oldH);

  xcb_connection_t* c = x.raw();
  auto screen = [&](std::uint32_t w, std::uint32_t h, bool checked) {
    const auto mmW = millimetres(w, oldW, oldMmW), mmH = millimetres(h, oldH, oldMmH);
    return checked ? xcb_randr_set_screen_size_checked(c, x.root(), static_cast<std::uint16_t>(w),
                                                       static_cast<std::uint16_t>(h), mmW, mmH)
                   : xcb_randr_set_screen_size(c, x.root(), static_cast<std::uint16_t>(w),
                                               static_cast<std::uint16_t>(h), mmW, mmH);
  };
  std::optional<xcb_void_cookie_t> grown;
  if (bigW > oldW || bigH > oldH) grown = screen(bigW, bigH, true);
  auto set = xcb_randr_set_crtc_config(
      c, crtc.id, XCB_CURRENT_TIME, s.configTimestamp, crtc.x, crtc.y, mode, crtc.rotation,
      static_cast<std::uint32_t>(crtc.outputs.size()), crtc.outputs.data());
  xcb_generic_error_t* raw = nullptr;
  Reply<xcb_randr_set_crtc_config_reply_t> reply(xcb_randr_set_crtc_config_reply(c, set, &raw));
  Reply<xcb_generic_error_t> refused(raw);
  // Answered already: a later request's reply has come.
  Reply<xcb_generic_error_t> notGrown(grown ? xcb_request_check(c, *grown) : nullptr);
  if (!x.counted()) return false;
  // A refused request names an argument the server would not take; a refused mode set
  // (RRSetConfigFailed) is one the driver could not make.
  if (refused || !reply || reply->status != XCB_RANDR_SET_CONFIG_SUCCESS) {
    if (grown && !notGrown) screen(oldW, oldH, false);
    return false;
  }
  if (finalW < bigW || finalH < bigH) screen(finalW, finalH, false);
  return true;
}

}  // namespace

bool RandrDisplays::configure(DisplayID display, const Mode* mode) {
  if (mode == nullptr || x_.lost()) return false;
  xcb_connection_t* c = x_.raw();
  xcb_grab_server(c);
  // Under the grab nobody else changes the configuration. The events sent before it took hold
  // have arrived after one round trip; the kept state is current unless they say otherwise.
  const bool made =
      x_.sync() && change(x_, display, static_cast<xcb_randr_mode_t>(mode->info().id));
  xcb_ungrab_server(c);
  xcb_flush(c);
  return made && !x_.lost();
}

}  // namespace df::platform::x11
