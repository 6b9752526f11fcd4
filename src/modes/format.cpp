#include "modes/format.h"

#include <cmath>

namespace df {

namespace {

bool rasterAllowed(std::uint64_t width, std::uint64_t height, bool interlaced) {
  if (height == 576 || height == 480) return width == 720 || (width == 1440 && interlaced);
  if (width == 1280 && height == 720) return !interlaced;
  if (width == 1920 && height == 1080) return true;
  if (width == 3840 && height == 2160) return !interlaced;
  return false;
}

}  // namespace

std::optional<std::string> broadcastFormat(std::uint64_t width, std::uint64_t height,
                                           bool interlaced, double hz) {
  if (!std::isfinite(hz)) return std::nullopt;
  if (!rasterAllowed(width, height, interlaced)) return std::nullopt;

  const RateEntry* match = nullptr;
  for (const RateEntry& entry : rates) {
    if (std::fabs(hz - entry.rate) <= kRateTolerance ||
        std::fabs(hz - entry.decimal) <= kRateTolerance) {
      match = &entry;
      break;
    }
  }
  if (match == nullptr) return std::nullopt;
  const bool sd = height == 576 || height == 480;
  if (!match->sdOrInterlaced && (sd || interlaced)) return std::nullopt;
  if (height == 576 && match->decimal != 50.0) return std::nullopt;
  if (height == 480 && match->decimal == 50.0) return std::nullopt;

  std::string name = std::to_string(height);
  name += interlaced ? 'i' : 'p';
  name += match->label;
  return name;
}

std::optional<std::string> formatOf(const platform::Mode* mode) {
  if (mode == nullptr) return std::nullopt;
  const platform::ModeInfo& m = mode->info();
  if (!m.valid || !m.television || m.needsPanning || m.neverShow || m.stretched)
    return std::nullopt;
  if (m.width != m.logicalWidth || m.height != m.logicalHeight) return std::nullopt;
  return broadcastFormat(m.width, m.height, m.interlaced, m.hz);
}

}  // namespace df
