#include "modes/records.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

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
  char tail[96];
  std::snprintf(tail, sizeof tail, ":%x:%zux%zu%c:%lld",
                static_cast<unsigned>(static_cast<std::uint32_t>(mode->ioDisplayModeID())),
                mode->pixelWidth(), mode->pixelHeight(), scanLetter(*mode),
                static_cast<long long>(std::llround(hz * 1000000.0)));
  return "native:" + *uuid + tail;
}

std::string nativeLabel(const platform::DisplayMode& mode) {
  char text[160];
  std::snprintf(text, sizeof text, "%zu\u00d7%zu%c \u00b7 %.6f Hz \u00b7 #%x", mode.pixelWidth(),
                mode.pixelHeight(), scanLetter(mode), mode.refreshRate(),
                static_cast<unsigned>(static_cast<std::uint32_t>(mode.ioDisplayModeID())));
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
  Maybe link = hdmiLink(cx);
  return snapshot(mode.get(), link);
}

}  // namespace df
