#include "mpv/rule.h"

#include <algorithm>
#include <cmath>

namespace df::mpv {
namespace {

struct Rate {
  double hz;
  std::string_view label;
  int twin;   // index of the fractional/whole twin, or -1
  int twice;  // index of the doubled rate, or -1
};

// Index order matters only for the twin and double links below.
constexpr Rate kRates[] = {
    {24000.0 / 1001, "23.976", 1, -1},  // 0
    {24, "24", 0, -1},                  // 1
    {25, "25", -1, 5},                  // 2
    {30000.0 / 1001, "29.97", 4, 6},    // 3
    {30, "30", 3, 7},                   // 4
    {50, "50", -1, -1},                 // 5
    {60000.0 / 1001, "59.94", 7, -1},   // 6
    {60, "60.00", 6, -1},               // 7
};

// Smallest first; the name uses the height.
constexpr Raster kRasters[] = {{720, 480}, {720, 576}, {1280, 720}, {1920, 1080}, {3840, 2160}};

std::string formatName(Raster r, std::string_view label) {
  return std::to_string(r.height) + "p" + std::string(label);
}

bool offered(std::span<const std::string> formats, const std::string& name) {
  return std::find(formats.begin(), formats.end(), name) != formats.end();
}

std::optional<Raster> broadcastRaster(Raster r) {
  for (Raster b : kRasters)
    if (b.width == r.width && b.height == r.height) return b;
  return std::nullopt;
}

// The smallest raster that holds the whole picture.
std::optional<Raster> contentRaster(Raster r) {
  if (r.width <= 0 || r.height <= 0) return std::nullopt;
  for (Raster b : kRasters)
    if (r.width <= b.width && r.height <= b.height) return b;
  return std::nullopt;
}

}  // namespace

std::vector<std::string_view> candidateRates(double fps) {
  const Rate* found = nullptr;
  for (const Rate& r : kRates)
    if (std::abs(fps - r.hz) <= r.hz * 0.0005) found = &r;
  if (found == nullptr) return {};
  std::vector<int> order{static_cast<int>(found - kRates), found->twice};
  if (found->twin >= 0) {
    order.push_back(found->twin);
    order.push_back(kRates[found->twin].twice);
  }
  std::vector<std::string_view> labels;
  for (int i : order)
    if (i >= 0) labels.push_back(kRates[i].label);
  return labels;
}

std::optional<std::string> chooseFormat(const RuleInput& in) {
  const std::optional<Raster> display = broadcastRaster(in.display);
  const std::optional<Raster> content = contentRaster(in.content);
  for (std::string_view label : candidateRates(in.fps)) {
    std::vector<Raster> tries;
    if (in.resolution == Resolution::kKeep && display) tries.push_back(*display);
    if (content) tries.push_back(*content);
    tries.insert(tries.end(), std::rbegin(kRasters), std::rend(kRasters));
    for (Raster r : tries)
      if (std::string name = formatName(r, label); offered(in.formats, name)) return name;
  }
  return std::nullopt;
}

}  // namespace df::mpv
