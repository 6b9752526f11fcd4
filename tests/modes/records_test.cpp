#include "modes/records.h"

#include "state/reading.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fake_mode.h"
#include "support/readings.h"

namespace df {
namespace {

const std::optional<std::string> kU = "U";

TEST(NativeKey, WorkedExampleAndFormatting) {
  struct Case {
    std::int32_t id;
    std::size_t w, h;
    std::uint32_t flags;
    double hz;
    const char* key;
    const char* label;
  };
  const Case cases[] = {
      {0x2A, 1920, 1080, 0x3, 60.0, "native:U:2a:1920x1080p:60000000",
       "1920\u00d71080p \u00b7 60.000000 Hz \u00b7 #2a"},
      {0x2A, 1920, 1080, 0x3, 60000.0 / 1001.0, "native:U:2a:1920x1080p:59940060",
       "1920\u00d71080p \u00b7 59.940060 Hz \u00b7 #2a"},
      {-2, 1920, 1080, 0x3, 60.0, "native:U:fffffffe:1920x1080p:60000000",
       "1920\u00d71080p \u00b7 60.000000 Hz \u00b7 #fffffffe"},
      {7, 1920, 1080, 0x43, 50.0, "native:U:7:1920x1080i:50000000",
       "1920\u00d71080i \u00b7 50.000000 Hz \u00b7 #7"},
      {1, 640, 480, 0x3, 1000.0, "native:U:1:640x480p:1000000000",
       "640\u00d7480p \u00b7 1000.000000 Hz \u00b7 #1"},
      {1, 640, 480, 0x3, std::numeric_limits<double>::denorm_min(), "native:U:1:640x480p:0",
       nullptr},
      {1, 640, 480, 0x3, 1000.0000001, nullptr, nullptr},
      {1, 640, 480, 0x3, 0.0, nullptr, nullptr},
      {1, 640, 480, 0x3, -0.0, nullptr, nullptr},
      {1, 640, 480, 0x3, -60.0, nullptr, nullptr},
      {1, 640, 480, 0x3, std::numeric_limits<double>::infinity(), nullptr, nullptr},
      {1, 640, 480, 0x3, std::nan(""), nullptr, nullptr},
      {1, 640, 480, 0x1, 60.0, nullptr, nullptr},    // not safe
      {1, 640, 480, 0x823, 60.0, nullptr, nullptr},  // stretched
      {1, 640, 480, 0x23, 60.0, nullptr, nullptr},   // needs panning
      {1, 640, 480, 0x83, 60.0, nullptr, nullptr},   // never show
      {1, 640, 480, 0x100043, 60.0, "native:U:1:640x480i:60000000", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "id " << c.id << " flags " << c.flags << " hz " << c.hz);
    test::FakeMode m;
    m.id = c.id;
    m.w = c.w;
    m.h = c.h;
    m.flags = c.flags;
    m.hz = c.hz;
    auto key = nativeKey(&m, kU);
    if (c.key == nullptr) {
      EXPECT_FALSE(key) << *key;
      continue;
    }
    EXPECT_EQ(key.value_or("(none)"), c.key);
    if (c.label != nullptr) {
      EXPECT_EQ(nativeLabel(m), c.label);
    }
  }
}

// The label's rate reads as printf's "%.6f" in the C locale, whatever the value: ties between
// two sixth decimals (multiples of 1/128), subnormals, carries into the whole part, huge and
// non-finite values, and random bit patterns.
TEST(NativeLabel, RateReadsAsPrintfWouldWriteIt) {
  std::vector<double> rates = {0.0,
                               -0.0,
                               60.0,
                               60000.0 / 1001.0,
                               0.0000005,
                               0.0000015,
                               1.0 / 128,
                               3.0 / 128,
                               7681.0 / 128,
                               999.9999995,
                               999.99999949999,
                               9.9999995,
                               std::ldexp(1.0, 63),
                               std::ldexp(1.0, 64) + std::ldexp(1.0, 12),
                               std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::min(),
                               std::numeric_limits<double>::denorm_min(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::nan("")};
  for (int k = 1; k < 128 * 1000; k += 37) rates.push_back(k / 128.0);
  std::mt19937_64 bits(16);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t word = bits();
    rates.push_back(std::ldexp(static_cast<double>(word >> 11), -43));  // [0, 1024)
    if (i % 10 != 0) continue;
    double anything;
    std::memcpy(&anything, &word, sizeof anything);
    rates.push_back(anything);
  }
  test::FakeMode m;
  m.id = 0x2a;
  for (double hz : rates) {
    m.hz = hz;
    char rate[400];
    std::snprintf(rate, sizeof rate, "%.6f", hz);
    if (std::isnan(hz)) std::strcpy(rate, std::signbit(hz) ? "-nan" : "nan");  // printfs differ
    ASSERT_EQ(nativeLabel(m), std::string("1920\u00d71080p \u00b7 ") + rate + " Hz \u00b7 #2a")
        << std::hexfloat << hz;
  }
}

TEST(NativeKey, NeedsModeUuidAndUnscaledSize) {
  test::FakeMode m;
  m.flags = 0x3;
  EXPECT_FALSE(nativeKey(nullptr, kU));
  EXPECT_FALSE(nativeKey(&m, std::nullopt));
  m.lw = 960;
  EXPECT_FALSE(nativeKey(&m, kU));
}

TEST(ReportedMode, NineKeysWithTheirKinds) {
  test::FakeMode m;
  m.id = -5;
  m.w = 3840;
  m.h = 2160;
  m.lw = 1920;
  m.lh = 1080;
  m.flags = 0x100043;
  m.hz = 60;
  Record r = toJson(reportedMode(&m));
  EXPECT_EQ(r.size(), 9u);
  EXPECT_EQ(r["modeId"], -5);
  EXPECT_EQ(r["width"], 3840u);
  EXPECT_EQ(r["logicalWidth"], 1920u);
  EXPECT_TRUE(r["interlaced"].is_number_integer());
  EXPECT_EQ(r["interlaced"], 1);
  EXPECT_TRUE(r["hz"].is_number_float());
  EXPECT_EQ(r["format"], "");  // scaled: no name

  m.hz = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(reportedMode(&m).hz, 0.0);
  EXPECT_EQ(toJson(reportedMode(nullptr)), Record::object());
  EXPECT_NE(reportedMode(nullptr), reportedMode(&m));
  EXPECT_EQ(reportedMode(nullptr), Desktop{});
}

TEST(Snapshot, LinkIsNullWhenAbsentAndModeIsRequired) {
  test::FakeMode m;
  EXPECT_FALSE(snapshot(nullptr, Link{}));
  auto a = snapshot(&m, std::nullopt);
  ASSERT_TRUE(a);
  EXPECT_TRUE(toJson(*a)["link"].is_null());
  EXPECT_TRUE(same(a, snapshot(&m, std::nullopt)));
  auto b = snapshot(&m, Link{});
  EXPECT_EQ(toJson(*b)["link"], Record::object());
  EXPECT_FALSE(same(a, b));
  EXPECT_FALSE(same(a, MaybeSnapshot()));
}

// Typed equality means what the comparison of the records as JSON means.
TEST(Snapshot, EqualityIsTheRecordsEquality) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Record desktop = {{"modeId", 1}, {"width", 1920}, {"height", 1080}, {"hz", 60.0}};
  const Record signal = {{"width", 1920}, {"height", 1080}, {"hz", 60.0}, {"format", "1080p60.00"}};
  const Record mode = {{"width", 1920}, {"height", 1080}, {"nominalHz", 60.0}, {"color", "RGB"}};
  const Record full = {{"uuid", "U"}, {"signal", signal}, {"mode", mode}};
  auto withValue = [](Record r, const char* outer, const char* key, Record v) {
    if (outer == nullptr)
      r[key] = std::move(v);
    else
      r[outer][key] = std::move(v);
    return r;
  };
  auto snap = [&desktop](Record link, Record d = Record()) {
    return Record{{"desktop", d.is_null() ? desktop : d}, {"link", std::move(link)}};
  };
  struct Case {
    const char* name;
    Record a, b;
    bool equal;
  };
  const Case cases[] = {
      {"two null links", snap(nullptr), snap(nullptr), true},
      {"null link and the empty link", snap(nullptr), snap(Record::object()), false},
      {"two empty links", snap(Record::object()), snap(Record::object()), true},
      {"the empty link and a full one", snap(Record::object()), snap(full), false},
      {"full links", snap(full), snap(full), true},
      {"empty signal and a signal", snap(withValue(full, nullptr, "signal", Record::object())),
       snap(full), false},
      {"empty mode on both", snap(withValue(full, nullptr, "mode", Record::object())),
       snap(withValue(full, nullptr, "mode", Record::object())), true},
      {"rates differ",
       snap(withValue(full, nullptr, "progressive1080Rates", {{"1080p60.00", 60.0}})), snap(full),
       false},
      {"a NaN signal rate equals nothing", snap(withValue(full, "signal", "hz", nan)),
       snap(withValue(full, "signal", "hz", nan)), false},
      {"infinite rates", snap(withValue(full, "mode", "nominalHz", inf)),
       snap(withValue(full, "mode", "nominalHz", inf)), true},
      {"zero of either sign", snap(withValue(full, "signal", "hz", -0.0)),
       snap(withValue(full, "signal", "hz", 0.0)), true},
      {"a NaN desktop rate", snap(nullptr, withValue(desktop, nullptr, "hz", nan)),
       snap(nullptr, withValue(desktop, nullptr, "hz", nan)), false},
      {"the empty desktop", snap(nullptr, Record::object()), snap(nullptr), false},
      {"colour differs", snap(withValue(full, "mode", "color", "YCbCr")), snap(full), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Snapshot a = test::snapshotFromJson(c.a);
    const Snapshot b = test::snapshotFromJson(c.b);
    EXPECT_EQ(a == b, c.equal);
    EXPECT_EQ(toJson(a) == toJson(b), c.equal);
  }
}

}  // namespace
}  // namespace df
