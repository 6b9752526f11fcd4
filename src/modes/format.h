// Broadcast format names ("1080p59.94", "720p50", ...) for display modes and HDMI timings.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/displays.h"

namespace df {

// Rates compare within 2^-16 Hz, inclusive.
inline constexpr double kRateTolerance = 1.0 / 65536.0;

struct RateEntry {
  double rate;
  double decimal;  // the value that the label spells
  std::string_view label;
  bool sdOrInterlaced;  // may name an SD raster or an interlaced scan
};

inline constexpr std::array<RateEntry, 8> rates{{
    {24000.0 / 1001.0, 23.976, "23.976", false},
    {24.0, 24.0, "24", false},
    {25.0, 25.0, "25", false},
    {30000.0 / 1001.0, 29.97, "29.97", false},
    {30.0, 30.0, "30", false},
    {50.0, 50.0, "50", true},
    {60000.0 / 1001.0, 59.94, "59.94", true},
    {60.0, 60.0, "60.00", true},
}};

// The broadcast format name of a picture geometry, scan and rate, or nullopt.
std::optional<std::string> broadcastFormat(std::uint64_t width, std::uint64_t height,
                                           bool interlaced, double hz);

// The broadcast format name of an unscaled, valid television mode that needs no panning, is not
// hidden and not stretched; nullopt for any other mode.
std::optional<std::string> formatOf(const platform::Mode* mode);

}  // namespace df
