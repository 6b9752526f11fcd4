#include "platform/x11/state.h"

#include <algorithm>

namespace df::platform::x11 {

State::Output* State::output(xcb_randr_output_t id) {
  for (Output& o : outputs)
    if (o.id == id) return &o;
  return nullptr;
}

const State::Output* State::output(xcb_randr_output_t id) const {
  return const_cast<State*>(this)->output(id);
}

const State::Crtc* State::crtcOf(const Output& o) const {
  if (o.crtc == 0) return nullptr;
  auto it = crtcs.find(o.crtc);
  return it == crtcs.end() ? nullptr : &it->second;
}

bool mirrored(const State& s, const State::Output& o) {
  const State::Crtc* crtc = s.crtcOf(o);
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

const xcb_randr_mode_info_t* shownTiming(const State& s, const State::Output& o) {
  const State::Crtc* crtc = s.crtcOf(o);
  if (crtc == nullptr || crtc->mode == 0) return nullptr;
  auto it = s.modes.find(crtc->mode);
  return it == s.modes.end() ? nullptr : &it->second;
}

ModeInfo describe(const State::Output& o, const xcb_randr_mode_info_t& timing,
                  xcb_randr_mode_t id) {
  ModeInfo m;
  m.id = static_cast<std::int32_t>(id);
  m.width = m.logicalWidth = timing.width;
  m.height = m.logicalHeight = timing.height;
  m.interlaced = (timing.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) != 0;
  m.valid = m.safe = true;
  if (timing.htotal != 0 && timing.vtotal != 0) {
    // Interlaced vertical values are per frame: the field rate is twice the frame rate.
    m.hz = static_cast<double>(timing.dot_clock) /
           (static_cast<double>(timing.htotal) * static_cast<double>(timing.vtotal));
    if (m.interlaced) m.hz *= 2;
    if ((timing.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) != 0) m.hz /= 2;
  }
  if (auto tv = televisionTiming(o.edid, timing)) {
    m.television = true;
    m.hz = tv->fieldRateHz;
  }
  m.flags = reportFlags(m);
  return m;
}

const OutputModes& modesOf(const State& s, const State::Output& o) {
  if (o.derived) return *o.derived;
  auto made = std::make_shared<OutputModes>();
  auto timings = std::make_shared<std::vector<SignalTiming>>();
  for (xcb_randr_mode_t id : o.modes) {
    auto it = s.modes.find(id);
    if (it == s.modes.end()) continue;
    const xcb_randr_mode_info_t& timing = it->second;
    if (std::any_of(made->distinct.begin(), made->distinct.end(),
                    [&timing](const auto& kept) { return sameTiming(kept.timing, timing); }))
      continue;
    const ModeInfo info = describe(o, timing, id);
    made->distinct.push_back({id, timing, info});
    const auto tv = televisionTiming(o.edid, timing);
    timings->push_back({timing.width, timing.height, timing.htotal, timing.vtotal, info.hz,
                        info.interlaced, tv ? static_cast<std::uint32_t>(tv->vic->code) : 0u});
  }
  made->timings = std::move(timings);
  o.derived = std::move(made);
  return *o.derived;
}

const OutputModes::Entry* currentEntry(const State& s, const State::Output& o) {
  const xcb_randr_mode_info_t* shown = shownTiming(s, o);
  if (shown == nullptr) return nullptr;
  for (const OutputModes::Entry& e : modesOf(s, o).distinct)
    if (sameTiming(e.timing, *shown)) return &e;
  return nullptr;
}

}  // namespace df::platform::x11
