#include "platform/x11/randr.h"

#include <algorithm>

#include "platform/x11/edid_facts.h"
#include "platform/x11/randr_internal.h"

namespace df::platform::x11 {

namespace {

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

std::unique_ptr<RandrMode> RandrDisplays::describe(const Snapshot::Output& output,
                                                   const xcb_randr_mode_info_t& info,
                                                   xcb_randr_mode_t id) const {
  const bool interlaced = (info.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) != 0;
  std::uint32_t flags = kModeValid | kModeSafe;
  if (interlaced) flags |= kModeInterlaced;
  double hz = 0;
  if (info.htotal != 0 && info.vtotal != 0) {
    // Interlaced vertical values are per frame: the field rate is twice the frame rate.
    hz = static_cast<double>(info.dot_clock) /
         (static_cast<double>(info.htotal) * static_cast<double>(info.vtotal));
    if (interlaced) hz *= 2;
    if ((info.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) != 0) hz /= 2;
  }
  if (auto tv = televisionTiming(output.edid, info)) {
    flags |= kModeTelevision;
    hz = tv->fieldRateHz;
  }
  return std::make_unique<RandrMode>(id, info.width, info.height, hz, flags);
}

// The output's modes, one per timing: the first listed of equal timings stands for them all.
std::vector<std::pair<xcb_randr_mode_t, const xcb_randr_mode_info_t*>> distinctModes(
    const Snapshot& s, const Snapshot::Output& output) {
  std::vector<std::pair<xcb_randr_mode_t, const xcb_randr_mode_info_t*>> out;
  for (xcb_randr_mode_t id : output.modes) {
    auto it = s.modes.find(id);
    if (it == s.modes.end()) continue;
    const xcb_randr_mode_info_t& info = it->second;
    if (std::none_of(out.begin(), out.end(),
                     [&info](const auto& kept) { return sameTiming(*kept.second, info); }))
      out.emplace_back(id, &info);
  }
  return out;
}

Error RandrDisplays::getOnlineDisplayList(std::uint32_t capacity, DisplayID* displays,
                                          std::uint32_t* count) {
  if (count == nullptr) return kErrorIllegalArgument;
  const Snapshot& s = state();
  if (lost_) return kErrorFailure;
  std::uint32_t n = 0;
  for (const Snapshot::Output& o : s.outputs) {
    if (!o.connected) continue;
    if (displays != nullptr && n < capacity) displays[n] = o.id;
    ++n;
  }
  *count = displays == nullptr ? n : std::min(n, capacity);
  return kSuccess;
}

UUIDHandle RandrDisplays::createUUIDFromDisplayID(DisplayID display) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  if (o == nullptr) return nullptr;
  std::string key;
  if (o->edid.present) {
    key = "edid:" + o->edid.identity;
    // Two connected displays with one identity are told apart by their connectors.
    const bool shared = std::any_of(s.outputs.begin(), s.outputs.end(), [o](const auto& other) {
      return other.id != o->id && other.connected && other.edid.present &&
             other.edid.identity == o->edid.identity;
    });
    if (shared) key += "|output:" + o->name;
  } else {
    key = "output:" + o->name;
  }
  return std::make_unique<TextUUID>(uuidFrom(key));
}

bool RandrDisplays::displayIsActive(DisplayID display) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  return o != nullptr && active(s, *o);
}

bool RandrDisplays::displayIsBuiltin(DisplayID display) {
  const Snapshot::Output* o = connected(state(), display);
  return o != nullptr && o->panel;
}

bool RandrDisplays::displayIsInMirrorSet(DisplayID display) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  return o != nullptr && mirrored(s, *o);
}

bool RandrDisplays::displayIsInHWMirrorSet(DisplayID display) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  const Snapshot::Crtc* crtc = o != nullptr ? s.crtcOf(*o) : nullptr;
  return crtc != nullptr && crtc->mode != 0 && crtc->outputs.size() > 1;
}

ModeHandle RandrDisplays::copyDisplayMode(DisplayID display) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  const Snapshot::Crtc* crtc = o != nullptr ? s.crtcOf(*o) : nullptr;
  if (crtc == nullptr || crtc->mode == 0) return nullptr;
  auto shown = s.modes.find(crtc->mode);
  if (shown == s.modes.end()) return nullptr;
  // The mode of the output's list that stands for this timing, so that the current mode and its
  // entry in the list are one mode.
  for (xcb_randr_mode_t id : o->modes) {
    auto it = s.modes.find(id);
    if (it != s.modes.end() && sameTiming(it->second, shown->second))
      return describe(*o, it->second, id);
  }
  return describe(*o, shown->second, crtc->mode);
}

std::optional<std::vector<ModeHandle>> RandrDisplays::copyAllDisplayModes(DisplayID display, bool) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  if (o == nullptr) return std::nullopt;
  std::vector<ModeHandle> out;
  for (const auto& [id, info] : distinctModes(s, *o)) out.push_back(describe(*o, *info, id));
  return out;
}

std::string RandrDisplays::outputName(DisplayID display) {
  const Snapshot::Output* o = state().output(display);
  return o != nullptr ? o->name : std::string();
}

bool RandrDisplays::isPrimary(DisplayID display) {
  return state().primary == display && display != 0;
}

}  // namespace df::platform::x11
