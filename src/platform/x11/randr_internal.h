// Pieces shared by the files that make up the RandR backend: reply ownership and the questions
// asked of a snapshot.
#pragma once

#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "platform/x11/randr.h"

namespace df::platform::x11 {

// Replies are malloc'ed by xcb; this frees them on every path.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// RandR reports as current the first listed mode of equal timing, clocks compared in whole kHz.
inline bool sameTiming(const xcb_randr_mode_info_t& a, const xcb_randr_mode_info_t& b) {
  return a.width == b.width && a.height == b.height && a.hsync_start == b.hsync_start &&
         a.hsync_end == b.hsync_end && a.htotal == b.htotal && a.hskew == b.hskew &&
         a.vsync_start == b.vsync_start && a.vsync_end == b.vsync_end && a.vtotal == b.vtotal &&
         a.mode_flags == b.mode_flags && a.dot_clock / 1000 == b.dot_clock / 1000;
}

inline bool swapsAxes(std::uint16_t rotation) {
  return (rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270)) != 0;
}

inline bool mirrored(const Snapshot& s, const Snapshot::Output& o) {
  const Snapshot::Crtc* crtc = s.crtcOf(o);
  if (crtc == nullptr || crtc->mode == 0) return false;
  if (crtc->outputs.size() > 1) return true;
  for (const auto& [id, other] : s.crtcs) {
    if (id == crtc->id || other.mode == 0 || other.outputs.empty()) continue;
    if (other.x == crtc->x && other.y == crtc->y && other.width == crtc->width &&
        other.height == crtc->height)
      return true;
  }
  return false;
}

inline bool active(const Snapshot& s, const Snapshot::Output& o) {
  const Snapshot::Crtc* crtc = s.crtcOf(o);
  return crtc != nullptr && crtc->mode != 0;
}

inline const Snapshot::Output* connected(const Snapshot& s, DisplayID display) {
  const Snapshot::Output* o = s.output(display);
  return o != nullptr && o->connected ? o : nullptr;
}

// The output's modes, one per timing: the first listed of equal timings stands for them all.
std::vector<std::pair<xcb_randr_mode_t, const xcb_randr_mode_info_t*>> distinctModes(
    const Snapshot& s, const Snapshot::Output& output);

}  // namespace df::platform::x11
