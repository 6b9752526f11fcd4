#include "platform/x11/hdmi_link.h"

#include <algorithm>
#include <cmath>

#include "platform/x11/displays.h"

namespace df::platform::x11 {

namespace {

// A Colorspace value names the colorimetry; the YCC ones are sent as YCbCr, the rest as RGB.
std::string encodingOf(const std::string& colorspace) {
  return colorspace.find("YCC") != std::string::npos ? "YCbCr 4:4:4" : "RGB";
}

// The values a property allows, the current one first and always among them.
std::vector<std::int32_t> allowed(const ColourProperty& p, bool depth) {
  std::vector<std::int32_t> out{p.value};
  auto add = [&out](std::int32_t v) {
    if (std::find(out.begin(), out.end(), v) == out.end()) out.push_back(v);
  };
  if (p.range && p.valid.size() == 2) {
    // A depth range offers the depths HDMI carries.
    for (std::int32_t v : {8, 10, 12})
      if (depth && v >= p.valid[0] && v <= p.valid[1]) add(v);
  } else {
    for (std::int32_t v : p.valid) add(v);
  }
  return out;
}

bool usable(const ConnectionMode& m) {
  return std::isfinite(m.nominalHz) && m.nominalHz > 0;
}

}  // namespace

const State::Output* RandrLinks::link(const State& s, DisplayID display, const std::string* uuid) {
  const State::Output* o = connected(s, display);
  if (o == nullptr || !o->hdmi || o->panel) return nullptr;
  if (uuid != nullptr && uuidOf(s, *o) != *uuid) return nullptr;
  return o;
}

std::optional<LinkReading> RandrLinks::read(DisplayID display) {
  const State& s = x_.state();
  const State::Output* o = link(s, display, nullptr);
  if (o == nullptr) return std::nullopt;
  LinkReading r;
  r.uuid = uuidOf(s, *o);
  // A dark output sends nothing: no timing data at all.
  if (!active(s, *o)) return r;
  const OutputModes& modes = modesOf(s, *o);
  r.timings = modes.timings;
  if (const OutputModes::Entry* e = currentEntry(s, *o))
    r.current = static_cast<std::size_t>(e - modes.distinct.data());
  if (auto current = choices(s, *o, true);
      current && !current->empty() && usable(current->front().mode))
    r.mode = std::move(current->front().mode);
  return r;
}

std::optional<std::vector<ConnectionMode>> RandrLinks::connectionModes(DisplayID display,
                                                                       const std::string& uuid) {
  const State& s = x_.state();
  const State::Output* o = link(s, display, &uuid);
  if (o == nullptr) return std::nullopt;
  auto all = choices(s, *o, false);
  if (!all) return std::nullopt;
  std::vector<ConnectionMode> out;
  for (Choice& c : *all)
    if (usable(c.mode)) out.push_back(std::move(c.mode));
  return out;
}

std::optional<std::vector<RandrLinks::Choice>> RandrLinks::choices(const State& s,
                                                                   const State::Output& o,
                                                                   bool currentOnly) {
  const auto& colour = o.colour;
  if (std::none_of(colour.begin(), colour.end(), [](const auto& p) { return p.type != 0; }))
    return std::nullopt;
  const State::Crtc* crtc = s.crtcOf(o);
  const xcb_randr_mode_info_t* shown = shownTiming(s, o);
  if (shown == nullptr) return std::nullopt;
  const double hz = describe(o, *shown, crtc->mode).hz;

  // Without a property its dimension has the one value HDMI always carries: RGB, 8 bits.
  auto values = [&](ColourKey k, bool depth) {
    return colour[k].type == 0 ? std::vector<std::int32_t>{0}
           : currentOnly       ? std::vector<std::int32_t>{colour[k].value}
                               : allowed(colour[k], depth);
  };
  auto name = [&](ColourKey k, std::int32_t v) {
    return colour[k].type == XCB_ATOM_ATOM ? x_.atomName(v) : std::to_string(v);
  };
  std::vector<Choice> out;
  std::vector<std::string> encodings;
  for (std::int32_t space : values(kColorspace, false)) {
    const std::string encoding =
        colour[kColorspace].type == 0 ? "RGB" : encodingOf(name(kColorspace, space));
    // Colorimetries of one encoding are one mode: the current value, or the first listed.
    if (std::find(encodings.begin(), encodings.end(), encoding) != encodings.end()) continue;
    encodings.push_back(encoding);
    for (std::int32_t bpc : values(kMaxBpc, true)) {
      const std::string depth = colour[kMaxBpc].type == 0 ? "8" : name(kMaxBpc, bpc);
      // The quantisation range applies to RGB alone; "Automatic" is the sink's default.
      std::vector<std::int32_t> ranges = values(kBroadcastRgb, false);
      if (encoding != "RGB") ranges = {colour[kBroadcastRgb].value};
      for (std::int32_t range : ranges) {
        std::string color = encoding + " " + depth + "-bit";
        if (encoding == "RGB" && colour[kBroadcastRgb].type != 0) {
          const std::string rangeName = name(kBroadcastRgb, range);
          if (rangeName != "Automatic") color += " " + rangeName;
        }
        // The transfer function (PQ, HLG) is not among these properties: every mode is SDR.
        out.push_back(
            {{shown->width, shown->height, hz, std::move(color), "SDR"}, {bpc, space, range}});
      }
    }
  }
  return out;
}

bool RandrLinks::switchConnection(DisplayID display, const std::string& uuid,
                                  const ConnectionMode& mode) {
  const State& s = x_.state();
  const State::Output* o = link(s, display, &uuid);
  if (o == nullptr || !usable(mode)) return false;
  auto all = choices(s, *o, false);
  if (!all) return false;
  auto chosen =
      std::find_if(all->begin(), all->end(), [&mode](const Choice& c) { return c.mode == mode; });
  if (chosen == all->end()) return false;

  xcb_connection_t* c = x_.raw();
  bool pending = false;
  std::vector<xcb_void_cookie_t> sent;
  for (std::size_t k = 0; k < kColourKeys; ++k) {
    const ColourProperty& p = o->colour[k];
    const std::int32_t value = chosen->values[k];
    if (p.type == 0 || p.value == value) continue;
    sent.push_back(
        xcb_randr_change_output_property_checked(c, o->id, x_.colourAtom(static_cast<ColourKey>(k)),
                                                 p.type, 32, XCB_PROP_MODE_REPLACE, 1, &value));
    pending = pending || p.pending;
  }
  if (sent.empty()) return false;
  const State::Crtc* crtc = s.crtcOf(*o);
  std::optional<xcb_randr_set_crtc_config_cookie_t> reapply;
  if (pending && crtc != nullptr && crtc->mode != 0) {
    // The same configuration again: the server passes it to the driver because properties are
    // pending, and the driver applies them with it.
    reapply = xcb_randr_set_crtc_config(
        c, crtc->id, XCB_CURRENT_TIME, s.configTimestamp, crtc->x, crtc->y, crtc->mode,
        crtc->rotation, static_cast<std::uint32_t>(crtc->outputs.size()), crtc->outputs.data());
  }
  for (xcb_void_cookie_t cookie : sent) Reply<xcb_generic_error_t>(xcb_request_check(c, cookie));
  if (reapply)
    Reply<xcb_randr_set_crtc_config_reply_t>(xcb_randr_set_crtc_config_reply(c, *reapply, nullptr));
  // The property events that follow bring the kept state up to date.
  x_.counted();
  return true;
}

}  // namespace df::platform::x11
