#include "platform/x11/displays.h"

#include <algorithm>
#include <string_view>

#include "edid/identity.h"

namespace df::platform::x11 {

namespace {

class RandrMode final : public Mode {
 public:
  explicit RandrMode(const ModeInfo& info) : info_(info) {}
  const ModeInfo& info() const override { return info_; }

 private:
  ModeInfo info_;
};

}  // namespace

std::string uuidOf(const State& s, const State::Output& o) {
  if (!o.edid.present) return edid::uuidFromName("output:" + o.name);
  // Two connected displays with one identity are told apart by their connectors.
  const bool shared = std::any_of(s.outputs.begin(), s.outputs.end(), [&o](const auto& other) {
    return other.id != o.id && other.connected && other.edid.present &&
           other.edid.identity == o.edid.identity;
  });
  return edid::sinkUuid(o.edid.identity, o.name, shared);
}

bool RandrDisplays::list(std::vector<DisplayID>& out) {
  out.clear();
  const State& s = x_.state();
  if (x_.lost()) return false;
  for (const State::Output& o : s.outputs)
    if (o.connected) out.push_back(o.id);
  return true;
}

std::optional<std::string> RandrDisplays::uuid(DisplayID display) {
  const State& s = x_.state();
  const State::Output* o = connected(s, display);
  if (o == nullptr) return std::nullopt;
  return uuidOf(s, *o);
}

bool RandrDisplays::isActive(DisplayID display) {
  const State& s = x_.state();
  const State::Output* o = connected(s, display);
  return o != nullptr && active(s, *o);
}

bool RandrDisplays::isBuiltin(DisplayID display) {
  const State::Output* o = connected(x_.state(), display);
  return o != nullptr && o->panel;
}

bool RandrDisplays::isMirrored(DisplayID display) {
  const State& s = x_.state();
  const State::Output* o = connected(s, display);
  return o != nullptr && mirrored(s, *o);
}

bool RandrDisplays::isHardwareMirrored(DisplayID display) {
  const State& s = x_.state();
  const State::Output* o = connected(s, display);
  const State::Crtc* crtc = o != nullptr ? s.crtcOf(*o) : nullptr;
  return crtc != nullptr && crtc->mode != 0 && crtc->outputs.size() > 1;
}

ModeHandle RandrDisplays::currentMode(DisplayID display) {
  const State& s = x_.state();
  const State::Output* o = connected(s, display);
  if (o == nullptr) return nullptr;
  // The mode of the output's list that stands for the timing shown, so that the current mode
  // and its entry in the list are one mode.
  if (const OutputModes::Entry* e = currentEntry(s, *o))
    return std::make_unique<RandrMode>(e->info);
  const xcb_randr_mode_info_t* shown = shownTiming(s, *o);
  if (shown == nullptr) return nullptr;
  return std::make_unique<RandrMode>(describe(*o, *shown, s.crtcOf(*o)->mode));
}

std::optional<std::vector<ModeHandle>> RandrDisplays::modes(DisplayID display) {
  const State& s = x_.state();
  const State::Output* o = connected(s, display);
  if (o == nullptr) return std::nullopt;
  const OutputModes& modes = modesOf(s, *o);
  std::vector<ModeHandle> out;
  out.reserve(modes.distinct.size());
  for (const OutputModes::Entry& e : modes.distinct)
    out.push_back(std::make_unique<RandrMode>(e.info));
  return out;
}

std::string RandrDisplays::name(DisplayID display) {
  const State::Output* o = x_.state().output(display);
  return o != nullptr ? o->name : std::string();
}

bool RandrDisplays::isPrimary(DisplayID display) {
  return display != 0 && x_.state().primary == display;
}

}  // namespace df::platform::x11
