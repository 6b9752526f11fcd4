// The server's state as the backend keeps it between reads (outputs, CRTCs, modes, the screen),
// what is derived once from an output's modes, and the questions asked of that state.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <xcb/randr.h>

#include "platform/displays.h"
#include "platform/hdmi_link.h"
#include "platform/x11/edid_facts.h"

namespace df::platform::x11 {

// Replies are malloc'ed by xcb; this frees them on every path.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// One of an output's colour properties as the driver exposes it (RRQueryOutputProperty): a
// 32-bit INTEGER range ("max bpc") or ATOM list ("Colorspace", "Broadcast RGB"). Most drivers,
// the dummy among them, expose none.
struct ColourProperty {
  xcb_atom_t type = 0;  // 0: not exposed
  std::int32_t value = 0;
  bool pending = false;  // takes its new value only at the next CRTC set
  bool range = false;
  std::vector<std::int32_t> valid;
};
enum ColourKey : std::size_t { kMaxBpc, kColorspace, kBroadcastRgb, kColourKeys };

// An output's modes one per timing, as the service sees them, with the same modes as the link's
// timings. Made once per mode list and EDID, and shared while they stay.
struct OutputModes {
  struct Entry {
    xcb_randr_mode_t id;  // the first listed of its timing, which stands for them all
    xcb_randr_mode_info_t timing;
    ModeInfo info;
  };
  std::vector<Entry> distinct;
  SignalTimings timings;  // one per entry, in the same order
};

struct State {
  struct Crtc {
    xcb_randr_crtc_t id = 0;
    std::int16_t x = 0, y = 0;
    std::uint16_t width = 0, height = 0;
    xcb_randr_mode_t mode = 0;  // 0: dark
    std::uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;
    std::vector<xcb_randr_output_t> outputs;
  };
  struct Output {
    xcb_randr_output_t id = 0;
    std::string name;
    bool connected = false;
    xcb_randr_crtc_t crtc = 0;
    std::vector<xcb_randr_mode_t> modes;  // the output's list, duplicates removed
    bool panel = false;
    bool hdmi = false;                  // ConnectorType "HDMI", or an HDMI connector name
    std::vector<std::uint8_t> edidNow;  // the EDID property as it is
    EdidFacts edid;                     // the EDID that describes the output (see keepEdids)
    std::array<ColourProperty, kColourKeys> colour;
    // Made from modes and edid on first use; dropped when either changes.
    mutable std::shared_ptr<const OutputModes> derived;
  };
  xcb_timestamp_t configTimestamp = 0;
  std::uint16_t screenWidth = 0, screenHeight = 0;
  std::uint32_t screenMmWidth = 0, screenMmHeight = 0;
  xcb_randr_output_t primary = 0;
  std::vector<Output> outputs;
  std::map<xcb_randr_crtc_t, Crtc> crtcs;
  std::map<xcb_randr_mode_t, xcb_randr_mode_info_t> modes;

  Output* output(xcb_randr_output_t id);
  const Output* output(xcb_randr_output_t id) const;
  const Crtc* crtcOf(const Output& output) const;  // lit or not; null without one
};

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

inline bool active(const State& s, const State::Output& o) {
  const State::Crtc* crtc = s.crtcOf(o);
  return crtc != nullptr && crtc->mode != 0;
}

inline const State::Output* connected(const State& s, DisplayID display) {
  const State::Output* o = s.output(display);
  return o != nullptr && o->connected ? o : nullptr;
}

// In a mirror set: its CRTC drives another output too, or shows the same area as another lit CRTC.
bool mirrored(const State& s, const State::Output& o);

// The timing the output's CRTC shows; null when dark.
const xcb_randr_mode_info_t* shownTiming(const State& s, const State::Output& o);

// The output's modes as the service sees them (made on first use, then kept with the output).
const OutputModes& modesOf(const State& s, const State::Output& o);

// The entry of the output's modes that stands for the timing its CRTC shows; null when dark or
// when the timing is none of the output's.
const OutputModes::Entry* currentEntry(const State& s, const State::Output& o);

// The mode record of a timing on this output: television timings of its EDID at their exact rate.
ModeInfo describe(const State::Output& o, const xcb_randr_mode_info_t& timing, xcb_randr_mode_t id);

}  // namespace df::platform::x11
