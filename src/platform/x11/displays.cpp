#include "platform/x11/displays.h"

#include <algorithm>
#include <string_view>

namespace df::platform::x11 {

namespace {

class RandrMode final : public Mode {
 public:
  explicit RandrMode(const ModeInfo& info) : info_(info) {}
  const ModeInfo& info() const override { return info_; }

 private:
  ModeInfo info_;
};

std::uint64_t fnv1a(std::string_view text, std::uint64_t seed) {
  std::uint64_t h = seed;
  for (unsigned char ch : text) {
    h ^= ch;
    h *= 0x100000001b3ULL;
  }
  return h;
}

// A name-derived UUID (version 8, RFC 9562 variant): the same text gives the same UUID on every
// run and machine.
std::string uuidFrom(std::string_view text) {
  std::uint64_t hi = fnv1a(text, 0xcbf29ce484222325ULL);
  std::uint64_t lo = fnv1a(text, 0x84222325cbf29ce4ULL ^ hi);
  hi = (hi & ~0xF000ULL) | 0x8000ULL;
  lo = (lo & ~(0xC0ULL << 56)) | (0x80ULL << 56);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    const std::uint64_t word = i < 8 ? hi : lo;
    const int shift = 56 - 8 * (i % 8);
    const unsigned byte = static_cast<unsigned>((word >> shift) & 0xFF);
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  return out;
}

}  // namespace

std::string uuidOf(const State& s, const State::Output& o) {
  std::string key;
  if (o.edid.present) {
    key = "edid:" + o.edid.identity;
    // Two connected displays with one identity are told apart by their connectors.
    const bool shared = std::any_of(s.outputs.begin(), s.outputs.end(), [&o](const auto& other) {
      return other.id != o.id && other.connected && other.edid.present &&
             other.edid.identity == o.edid.identity;
    });
    if (shared) key += "|output:" + o.name;
  } else {
    key = "output:" + o.name;
  }
  return uuidFrom(key);
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
