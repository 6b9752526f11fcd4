#include "platform/darwin/cf_json.h"

#include <cstdint>
#include <limits>

#include "darwin/fake.h"
#include "platform/darwin/cf.h"

namespace df::platform::darwin {
namespace {

using nlohmann::json;
using CFJSONTest = fake::Test;

json unconverted(CFTypeID type) {
  return json::object({{kUnconvertedKey, type}});
}

TEST_F(CFJSONTest, ConvertsScalarsToTheMatchingJSONKind) {
  constexpr auto kInt64Max = std::numeric_limits<std::int64_t>::max();
  constexpr auto kInt64Min = std::numeric_limits<std::int64_t>::min();
  constexpr auto kUint64Max = std::numeric_limits<std::uint64_t>::max();
  constexpr std::uint64_t kTwo63 = std::uint64_t{1} << 63;
  const struct {
    const char* name;
    CFTypeRef value;  // owned by the case
    json expected;
  } cases[] = {
      {"true", CFRetain(kCFBooleanTrue), true},
      {"false", CFRetain(kCFBooleanFalse), false},
      {"zero", fake::integer(0), 0},
      {"negative", fake::integer(-1), -1},
      {"int64 max", fake::integer(kInt64Max), kInt64Max},
      {"int64 min", fake::integer(kInt64Min), kInt64Min},
      {"2^63", fake::wideInteger(9.223372036854775808e18, kTwo63), kTwo63},
      {"uint64 max", fake::wideInteger(1.8446744073709551616e19, kUint64Max), kUint64Max},
      {"below int64", fake::wideInteger(-1e20, kTwo63 + 7), -1e20},
      {"beyond uint64", fake::wideInteger(1e30, kTwo63 + 5), 1e30},
      {"float", fake::real(59.94005994005994), 59.94005994005994},
      {"whole float stays a float", fake::real(60.0), 60.0},
      {"string", fake::string("HDMI"), "HDMI"},
      {"empty string", fake::string(""), ""},
      // Longer in UTF-8 than in UTF-16 units: a buffer sized by the length alone is too small.
      {"non-ASCII string", fake::string("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"unencodable string", fake::unencodableString(), unconverted(CFStringGetTypeID())},
      {"other type", fake::otherObject(), unconverted(fake::kOtherTypeID)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const json got = jsonFromCF(c.value);
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(got.type(), c.expected.type());
    CFRelease(c.value);
  }
}

TEST_F(CFJSONTest, ConvertsNestedRegistryValues) {
  const auto value = CFRef<CFDictionaryRef>::adopt(fake::dictionary({
      {fake::string("external"), CFRetain(kCFBooleanTrue)},
      {fake::string("Transport"),
       fake::dictionary({{fake::string("Downstream"), fake::string("HDMI")}})},
      {fake::string("TimingElements"),
       fake::array(
           {fake::dictionary({
                {fake::string("ID"), fake::integer(3)},
                {fake::string("VerticalAttributes"),
                 fake::dictionary({{fake::string("PreciseSyncRate"), fake::integer(3932160)}})},
            }),
            fake::array({})})},
      // Entries whose key is not a string, or cannot be encoded, are dropped.
      {fake::integer(1), fake::string("numeric key")},
      {fake::unencodableString(), fake::string("unencodable key")},
      {fake::string("Empty"), fake::dictionary({})},
  }));
  const json expected = {
      {"external", true},
      {"Transport", {{"Downstream", "HDMI"}}},
      {"TimingElements",
       json::array(
           {{{"ID", 3}, {"VerticalAttributes", {{"PreciseSyncRate", 3932160}}}}, json::array()})},
      {"Empty", json::object()},
  };
  EXPECT_EQ(jsonFromCF(value.get()), expected);
  // The value was borrowed: the caller's reference is still the only one.
  EXPECT_EQ(fake::references(value.get()), 1);
}

TEST_F(CFJSONTest, StopsAtTheNestingLimit) {
  CFTypeRef value = fake::integer(7);
  for (std::size_t i = 0; i < kMaxNesting + 5; ++i) value = fake::array({value});
  json got = jsonFromCF(value);
  for (std::size_t depth = 0; depth < kMaxNesting; ++depth) {
    ASSERT_TRUE(got.is_array() && got.size() == 1) << "at depth " << depth;
    got = json(got[0]);
  }
  EXPECT_EQ(got, unconverted(CFArrayGetTypeID()));
  CFRelease(value);
}

TEST_F(CFJSONTest, ContainerThatHoldsItselfEnds) {
  const CFArrayRef array = fake::array({fake::integer(1)});
  fake::append(array, array);
  EXPECT_EQ(jsonFromCF(array), json::array({1, unconverted(CFArrayGetTypeID())}));
  fake::clear(array);
  CFRelease(array);
}

TEST_F(CFJSONTest, TakeReleasesTheValueAndTreatsNullAsAbsent) {
  EXPECT_EQ(takeJSON(nullptr), std::nullopt);
  const auto taken = takeJSON(fake::array({fake::string("a"), fake::integer(2)}));
  EXPECT_EQ(taken, json::array({"a", 2}));
  EXPECT_EQ(fake::liveObjects(), 0);
}

TEST_F(CFJSONTest, RefReleasesExactlyTheReferencesItHolds) {
  const CFStringRef string = fake::string("s");
  {
    auto held = CFRef<CFStringRef>::retain(string);
    EXPECT_EQ(fake::references(string), 2);
    CFRef<CFStringRef> moved = std::move(held);
    CFRef<CFStringRef> assigned = CFRef<CFStringRef>::adopt(fake::string("other"));
    assigned = std::move(moved);  // releases "other", keeps one reference to string
    EXPECT_EQ(fake::references(string), 2);
    CFRef<CFStringRef> none = CFRef<CFStringRef>::adopt(nullptr);  // never CFRelease(NULL)
    EXPECT_FALSE(none);
  }
  EXPECT_EQ(fake::references(string), 1);
  CFRelease(string);
}

}  // namespace
}  // namespace df::platform::darwin
