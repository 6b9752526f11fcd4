// The plugin's format rule over a table of contents and televisions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mpv/rule.h"

namespace df::mpv {
namespace {

using Formats = std::vector<std::string>;

// The bundled studio television: every 1080p rate, 720p 50/59.94/60, 2160p but 25 and 30.
const Formats kStudio = {"480p59.94",   "576p50",     "720p50",     "720p59.94",   "720p60.00",
                         "1080p23.976", "1080p24",    "1080p25",    "1080p29.97",  "1080p30",
                         "1080p50",     "1080p59.94", "1080p60.00", "2160p23.976", "2160p24",
                         "2160p50",     "2160p59.94", "2160p60.00"};
// A television without the whole cinema and video rates below 50, and with interlaced ones.
const Formats kFractional = {"720p50",      "720p59.94", "1080i50",   "1080i59.94",
                             "1080p23.976", "1080p50",   "1080p59.94"};
const Formats kWhole = {"1080i50", "1080p24", "1080p60.00"};

constexpr Raster k1080{1920, 1080};
constexpr Raster k2160{3840, 2160};
constexpr Raster k720{1280, 720};

struct Case {
  const char* what;
  double fps;
  Raster content;
  Raster display;
  Resolution resolution;
  const Formats& formats;
  const char* want;  // "" for none
};

const Case kCases[] = {
    {"23.976 is not 24 (mpv's own value)", 23.976024, k1080, k1080, Resolution::kKeep, kStudio,
     "1080p23.976"},
    {"24", 24, k1080, k1080, Resolution::kKeep, kStudio, "1080p24"},
    {"whole 60 is named 60.00", 60, k1080, k1080, Resolution::kKeep, kStudio, "1080p60.00"},
    {"within 0.05 %", 25.01, k1080, k1080, Resolution::kKeep, kStudio, "1080p25"},
    {"beyond 0.05 %", 23.9, k1080, k1080, Resolution::kKeep, kStudio, ""},
    {"not a broadcast rate", 15, k1080, k1080, Resolution::kKeep, kStudio, ""},
    {"24 without 24: the twin", 24, k1080, k1080, Resolution::kKeep, kFractional, "1080p23.976"},
    {"25 without 25: the double, not interlaced", 25, k1080, k1080, Resolution::kKeep, kFractional,
     "1080p50"},
    {"29.97: the double before the twin", 29.97, k1080, k1080, Resolution::kKeep, kFractional,
     "1080p59.94"},
    {"30: the twin's double last", 30, k1080, k1080, Resolution::kKeep, kFractional, "1080p59.94"},
    {"59.94 without 59.94: the twin", 59.94, k1080, k1080, Resolution::kKeep, kWhole, "1080p60.00"},
    {"nothing progressive at the rates", 25, k1080, k1080, Resolution::kKeep, kWhole, ""},
    {"23.976 with whole 24 only: the twin", 23.976, k1080, k1080, Resolution::kKeep, kWhole,
     "1080p24"},
    {"keep: the display's raster", 23.976, k1080, k2160, Resolution::kKeep, kStudio, "2160p23.976"},
    {"keep, not offered at the rate: the content's", 25, k1080, k2160, Resolution::kKeep, kStudio,
     "1080p25"},
    {"match: the content's raster", 23.976, k1080, k2160, Resolution::kMatch, kStudio,
     "1080p23.976"},
    {"match: a letterboxed picture fits 720",
     50,
     {1280, 536},
     k1080,
     Resolution::kMatch,
     kStudio,
     "720p50"},
    {"content's raster not offered: the largest", 24, k720, k1080, Resolution::kMatch, kStudio,
     "2160p24"},
    {"a display raster that is no broadcast one",
     50,
     k720,
     {1680, 1050},
     Resolution::kKeep,
     kStudio,
     "720p50"},
    {"a picture larger than any raster",
     24,
     {4096, 2160},
     k1080,
     Resolution::kMatch,
     kStudio,
     "2160p24"},
};

TEST(FormatRule, Table) {
  for (const Case& c : kCases) {
    const std::optional<std::string> got =
        chooseFormat({c.fps, c.content, c.display, c.resolution, c.formats});
    EXPECT_EQ(got.value_or(""), c.want) << c.what;
  }
}

}  // namespace
}  // namespace df::mpv
