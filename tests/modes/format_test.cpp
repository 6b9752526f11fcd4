#include "modes/format.h"

#include <cmath>
#include <limits>
#include <set>

#include <gtest/gtest.h>

#include "support/fake_mode.h"

namespace df {
namespace {

constexpr double kTol = 1.0 / 65536.0;
constexpr double k5994 = 60000.0 / 1001.0;
constexpr std::uint32_t kP = 0x100001;  // valid + television, progressive
constexpr std::uint32_t kI = 0x100041;  // interlaced

struct Case {
  std::uint64_t w, h;
  std::uint32_t flags;
  double hz;
  const char* name;  // nullptr: no name
};

TEST(BroadcastFormat, NamesRastersScansAndRates) {
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {1920, 1080, kP, k5994, "1080p59.94"},
      {1920, 1080, kP, 59.94, "1080p59.94"},
      {1920, 1080, kP, 59.94 - kTol, "1080p59.94"},  // window edge, inclusive
      {1920, 1080, kP, 59.94 - 2 * kTol, nullptr},   // a little below
      {1920, 1080, kP, 59.94003, nullptr},           // between the two windows
      {1920, 1080, kP, k5994 + kTol, "1080p59.94"},
      {1920, 1080, kP, 60.0, "1080p60.00"},
      {1920, 1080, kP, 60.0 + kTol, "1080p60.00"},
      {1920, 1080, kP, 23.976, "1080p23.976"},
      {1920, 1080, kP, 24000.0 / 1001.0, "1080p23.976"},
      {1920, 1080, kI, 23.976, nullptr},
      {1920, 1080, kI, 24000.0 / 1001.0, nullptr},
      {1920, 1080, kP, 29.97, "1080p29.97"},
      {1920, 1080, kP, 25, "1080p25"},
      {1920, 1080, kI, 50, "1080i50"},
      {1920, 1080, kI, k5994, "1080i59.94"},
      {1920, 1080, kI, 60, "1080i60.00"},
      {1920, 1080, kI, 30, nullptr},
      {1920, 1080, kI, 25, nullptr},
      {720, 576, kP, 50, "576p50"},
      {720, 576, kI, 50, "576i50"},
      {720, 576, kP, 25, nullptr},
      {720, 576, kP, 59.94, nullptr},
      {720, 480, kP, 50, nullptr},
      {720, 480, kP, 24, nullptr},
      {720, 480, kP, 29.97, nullptr},
      {720, 480, kP, 59.94, "480p59.94"},
      {720, 480, kI, 59.94, "480i59.94"},
      {720, 480, kP, 60, "480p60.00"},
      {720, 480, kI, 60, "480i60.00"},
      {1440, 480, kI, 59.94, "480i59.94"},
      {1440, 480, kP, 59.94, nullptr},
      {1440, 576, kI, 50, "576i50"},
      {1280, 720, kP, 50, "720p50"},
      {1280, 720, kI, 50, nullptr},
      {3840, 2160, kP, 23.976, "2160p23.976"},
      {3840, 2160, kI, 50, nullptr},
      {4096, 2160, kP, 60, nullptr},
      {1440, 1080, kP, 60, nullptr},
      {1920, 1080, kP, inf, nullptr},
      {1920, 1080, kP, -inf, nullptr},
      {1920, 1080, kP, std::nan(""), nullptr},
      {1920, 1080, kP, 0, nullptr},
      {1920, 1080, kP, -60, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " flags " << std::hex << c.flags
                                    << std::dec << " at " << c.hz);
    auto name = broadcastFormat(c.w, c.h, c.flags == kI, c.hz);
    if (c.name == nullptr) {
      EXPECT_FALSE(name) << *name;
    } else {
      EXPECT_EQ(name.value_or("(none)"), c.name);
    }
  }
}

TEST(FormatOf, FlagBits) {
  struct FlagCase {
    std::uint32_t flags;
    bool named;
  };
  const FlagCase cases[] = {
      {0x100001, true},  {0x100003, true},  // safe plays no part
      {0x000001, false},                    // no television bit
      {0x100000, false},                    // not valid
      {0x100021, false},                    // needs panning
      {0x100081, false},                    // never show
      {0x100801, false},                    // stretched
      {0x2100005, true},                    // other bits play no part
  };
  for (const FlagCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.flags);
    test::FakeMode m;
    m.flags = c.flags;
    EXPECT_EQ(formatOf(&m).has_value(), c.named);
  }
}

TEST(BroadcastFormat, ThereAreExactlyThirtyThreeNames) {
  const std::uint64_t sizes[][2] = {{720, 480},  {1440, 480},  {720, 576},  {1440, 576},
                                    {1280, 720}, {1920, 1080}, {3840, 2160}};
  std::set<std::string> names;
  for (const auto& size : sizes)
    for (std::uint32_t flags : {kP, kI})
      for (const RateEntry& e : rates)
        for (double hz : {e.rate, e.decimal})
          if (auto n = broadcastFormat(size[0], size[1], flags == kI, hz)) names.insert(*n);
  EXPECT_EQ(names.size(), 33u);
  EXPECT_TRUE(names.contains("1080p60.00"));
  EXPECT_TRUE(names.contains("720p23.976"));
  EXPECT_FALSE(names.contains("576p25"));
}

TEST(FormatOf, AbsentAndScaledModesHaveNoName) {
  EXPECT_FALSE(formatOf(nullptr));
  test::FakeMode scaled;
  scaled.w = 3840;
  scaled.h = 2160;
  scaled.lw = 1920;
  scaled.lh = 1080;
  scaled.flags = kP;
  EXPECT_FALSE(formatOf(&scaled));
  test::FakeMode plain;
  plain.flags = kP;
  plain.hz = k5994;
  EXPECT_EQ(formatOf(&plain), "1080p59.94");
}

}  // namespace
}  // namespace df
