#include "modes/records.h"

#include <charconv>
#include <cmath>

#include "display/display.h"
#include "link/probe.h"
#include "modes/format.h"

namespace df {

namespace {

constexpr std::uint32_t kNativeMask = platform::kModeValid | platform::kModeSafe |
                                      platform::kModeRequiresPan | platform::kModeNeverShow |
                                      platform::kModeStretched;
constexpr std::uint32_t kNativeWanted = platform::kModeValid | platform::kModeSafe;

char scanLetter(const platform::DisplayMode& mode) {
  return (mode.ioFlags() & platform::kModeInterlaced) != 0 ? 'i' : 'p';
}

template <typename T>
void appendNumber(std::string& out, T value, int base = 10) {
  char buffer[32];
  auto r = std::to_chars(buffer, buffer + sizeof buffer, value, base);
  out.append(buffer, r.ptr);
}

}  // namespace

Record reportedMode(const platform::DisplayMode* mode) {
  Record r = Record::object();
  if (mode == nullptr) return r;
  const double hz = mode->refreshRate();
  const std::uint32_t flags = mode->ioFlags();
  r["modeId"] = mode->ioDisplayModeID();
  r["width"] = static_cast<std::uint64_t>(mode->pixelWidth());
  r["height"] = static_cast<std::uint64_t>(mode->pixelHeight());
  r["logicalWidth"] = static_cast<std::uint64_t>(mode->width());
  r["logicalHeight"] = static_cast<std::uint64_t>(mode->height());
  r["flags"] = flags;
  r["interlaced"] = (flags & platform::kModeInterlaced) != 0 ? 1 : 0;
  r["hz"] = std::isfinite(hz) ? hz : 0.0;
  r["format"] = formatOf(mode).value_or("");
  return r;
}

std::optional<std::string> nativeKey(const platform::DisplayMode* mode,
                                     const std::optional<std::string>& uuid) {
  if (mode == nullptr || !uuid) return std::nullopt;
  if ((mode->ioFlags() & kNativeMask) != kNativeWanted) return std::nullopt;
  const double hz = mode->refreshRate();
  if (!std::isfinite(hz) || !(hz > 0) || hz > 1000) return std::nullopt;
  if (mode->width() != mode->pixelWidth() || mode->height() != mode->pixelHeight())
    return std::nullopt;
  std::string key;
  key.reserve(7 + uuid->size() + 48);
  key += "native:";
  key += *uuid;
  key += ':';
  appendNumber(key, static_cast<std::uint32_t>(mode->ioDisplayModeID()), 16);
  key += ':';
  appendNumber(key, mode->pixelWidth());
  key += 'x';
  appendNumber(key, mode->pixelHeight());
  key += scanLetter(*mode);
  key += ':';
  appendNumber(key, static_cast<long long>(std::llround(hz * 1000000.0)));
  return key;
}

std::string nativeLabel(const platform::DisplayMode& mode) {
  std::string text;
  text.reserve(48);
  appendNumber(text, mode.pixelWidth());
  text += "\u00d7";
  appendNumber(text, mode.pixelHeight());
  text += scanLetter(mode);
  text += " \u00b7 ";
  char buffer[400];
  auto r = std::to_chars(buffer, buffer + sizeof buffer, mode.refreshRate(),
                         std::chars_format::fixed, 6);
  text.append(buffer, r.ptr);
  text += " Hz \u00b7 #";
  appendNumber(text, static_cast<std::uint32_t>(mode.ioDisplayModeID()), 16);
  return text;
}

Maybe snapshot(const platform::DisplayMode* mode, const Maybe& link) {
  if (mode == nullptr) return std::nullopt;
  Record s = Record::object();
  s["desktop"] = reportedMode(mode);
  s["link"] = link ? *link : Record(nullptr);
  return s;
}

Maybe readSnapshot(Context& cx, DisplayID display) {
  ++cx.counters.readings;
  if (!stillAssigned(cx, display)) return std::nullopt;
  platform::ModeHandle mode = cx.platform.displays.copyDisplayMode(display);
  // The link is probed even without a mode, as every reading does.
  Maybe link = hdmiLink(cx, display);
  return snapshot(mode.get(), link);
}

}  // namespace df
