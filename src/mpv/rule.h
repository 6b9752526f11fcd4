// Which broadcast format the mpv plugin asks for, given a video's frame rate and size and what
// the television offers. Pure: no mpv, no service, so it is tested on its own.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace df::mpv {

struct Raster {
  int width = 0;
  int height = 0;
};

enum class Resolution { kKeep, kMatch };

struct RuleInput {
  double fps = 0;  // the content's frame rate
  Raster content;  // the content's picture size
  Raster display;  // the display's raster as the plugin found it
  Resolution resolution = Resolution::kKeep;
  std::span<const std::string> formats;  // the target's "formats"
};

// The rate labels to try for content at fps, best first; empty for a rate that is none of the
// eight broadcast rates (within 0.05 %).
std::vector<std::string_view> candidateRates(double fps);

// The progressive broadcast format to switch to, or nothing: leave the display as it is.
std::optional<std::string> chooseFormat(const RuleInput& input);

}  // namespace df::mpv
