#include "link/probe.h"

#include <functional>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace df {
namespace {

using test::json;

constexpr const char* kExt = "D2F4A6B8-3C5E-4F70-8192-A3B4C5D6E7F8";

json element(int id, int cea, int h, int v, int hTotal, int vTotal, json syncRate,
             bool interlaced = false, bool isVirtual = false) {
  return {
      {"ID", id},
      {"IsVirtual", isVirtual},
      {"IsInterlaced", interlaced},
      {"CEAShortID", cea},
      {"HorizontalAttributes", {{"Active", h}, {"Total", hTotal}}},
      {"VerticalAttributes", {{"Active", v}, {"Total", vTotal}, {"PreciseSyncRate", syncRate}}}};
}

json hdmiService(json elements, json timingId = 1) {
  json props = {{"external", true},
                {"IOMFBUUID", kExt},
                {"Transport", {{"Upstream", "DisplayPort"}, {"Downstream", "HDMI"}}},
                {"TimingElements", std::move(elements)}};
  if (!timingId.is_null()) props["DPTimingModeId"] = timingId;
  return {{"class", "IOMobileFramebufferShim"}, {"properties", props}};
}

// The link record as JSON, where the tables below write it.
Maybe asJson(const std::optional<Link>& link) {
  return link ? Maybe(toJson(*link)) : std::nullopt;
}

// Runs the probe on the studio machine with its registry replaced.
Maybe probe(json registry, std::function<void(json&)> edit = nullptr) {
  json scenario = test::studioScenario();
  scenario["registry"] = std::move(registry);
  if (edit) edit(scenario);
  test::Harness h(scenario);
  return asJson(hdmiLink(h.cx(), 2));
}

TEST(HdmiLink, StudioTelevision) {
  test::Harness h(test::studioScenario());
  Maybe link = asJson(hdmiLink(h.cx(), 2));
  ASSERT_TRUE(link);
  EXPECT_EQ(
      *link,
      (json{{"uuid", kExt},
            {"progressive1080Rates", {{"1080p59.94", 60000.0 / 1001.0}, {"1080p60.00", 60.0}}},
            {"signal",
             {{"width", 1920},
              {"height", 1080},
              {"hz", 60.0},
              {"format", "1080p60.00"},
              {"interlaced", false}}},
            {"mode",
             {{"width", 1920},
              {"height", 1080},
              {"nominalHz", 60.0},
              {"color", "RGB 8-bit"},
              {"hdr", "SDR"}}}}));
}

TEST(HdmiLink, WhichServiceIsTheHdmiOne) {
  json good = hdmiService(json::array({element(1, 16, 1920, 1080, 2200, 1125, 3932160)}));
  json notHdmi = good;
  notHdmi["properties"]["Transport"]["Downstream"] = "DisplayPort";
  json internal = good;
  internal["properties"]["external"] = false;
  json otherUuid = good;
  otherUuid["properties"]["IOMFBUUID"] = "0000";
  json stringExternal = good;
  stringExternal["properties"]["external"] = "true";
  json numberTransport = good;
  numberTransport["properties"]["Transport"] = 3;
  json noUuid = good;
  noUuid["properties"].erase("IOMFBUUID");
  json otherClass = good;
  otherClass["class"] = "IOFramebuffer";

  struct Case {
    const char* name;
    json registry;
    bool present;
  };
  const Case cases[] = {
      {"one HDMI service", {good}, true},
      {"no services", json::array(), false},
      {"two HDMI services", {good, good}, false},
      {"a non-HDMI service beside the HDMI one", {notHdmi, good}, true},
      {"only non-HDMI", {notHdmi}, false},
      {"internal", {internal}, false},
      {"other UUID", {otherUuid, good}, true},
      {"external as a string", {stringExternal}, false},
      {"Transport a number", {numberTransport}, false},
      {"IOMFBUUID missing", {noUuid}, false},
      {"another class", {otherClass}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Maybe link = probe(c.registry);
    EXPECT_EQ(link.has_value(), c.present);
    if (link) {
      EXPECT_EQ((*link)["signal"]["format"], "1080p60.00");
    }
  }
}

// Timing elements are read again when the registry hands out other ones.
TEST(HdmiLink, FollowsReplacedTimingElements) {
  test::Harness h(test::studioScenario());
  Maybe link = asJson(hdmiLink(h.cx(), 2));
  ASSERT_TRUE(link);
  EXPECT_EQ((*link)["signal"]["format"], "1080p60.00");
  EXPECT_TRUE(h.machine->perform(
      {{"registry",
        {hdmiService(json::array({element(1, 16, 1920, 1080, 2200, 1125, 3928231)}))}}}));
  link = asJson(hdmiLink(h.cx(), 2));
  ASSERT_TRUE(link);
  EXPECT_EQ((*link)["signal"]["format"], "1080p59.94");
  EXPECT_EQ((*link)["progressive1080Rates"], json({{"1080p59.94", 60000.0 / 1001.0}}));
}

TEST(HdmiLink, NoExternalDisplayReadsNoRegistry) {
  json scenario = test::studioScenario();
  scenario["externalDisplay"] = nullptr;
  test::Harness h(scenario);
  EXPECT_FALSE(hdmiLink(h.cx(), 2));
  EXPECT_EQ(h.machine->callCount("servicesMatching"), 0u);
  scenario["externalDisplay"] = test::studioScenario()["externalDisplay"];
  scenario["externalDisplay"]["uuid"] = "";
  test::Harness empty(scenario);
  EXPECT_FALSE(hdmiLink(empty.cx(), 2));
  EXPECT_EQ(empty.machine->callCount("servicesMatching"), 0u);
}

TEST(HdmiLink, MissingTimingDataGivesTheEmptyRecord) {
  json noId = hdmiService(json::array(), nullptr);
  json notList = hdmiService("elements");
  json stringId = hdmiService(json::array(), "1");
  for (const json& service : {noId, notList, stringId}) {
    SCOPED_TRACE(service.dump());
    Maybe link = probe({service});
    ASSERT_TRUE(link);
    EXPECT_EQ(*link, json::object());
  }
  Maybe empty = probe({hdmiService(json::array())});
  ASSERT_TRUE(empty);
  EXPECT_EQ((*empty)["progressive1080Rates"], json::object());
  EXPECT_EQ((*empty)["signal"], json::object());
  EXPECT_EQ((*empty)["mode"]["color"], "RGB 8-bit");
}

TEST(HdmiLink, StrictProgressive1080Check) {
  struct Case {
    json syncRate;
    int cea, hTotal;
    const char* rateName;  // nullptr: no entry
    const char* signalFormat;
  };
  const Case cases[] = {
      {3928231, 16, 2200, "1080p59.94", "1080p59.94"},
      {3928232, 16, 2200, "1080p59.94", "1080p59.94"},
      {3932159, 16, 2200, "1080p60.00", "1080p60.00"},
      {3932160, 16, 2200, "1080p60.00", "1080p60.00"},
      {3932161, 16, 2200, "1080p60.00", "1080p60.00"},
      {3928227, 16, 2200, nullptr, ""},
      {3928228, 16, 2200, nullptr, ""},
      {3932160, 31, 2200, nullptr, ""},
      {3932160, 16, 2640, nullptr, ""},
      {3932160.0, 16, 2200, "1080p60.00", "1080p60.00"},  // a double is still a number
      {3276800, 31, 2640, nullptr, "1080p50"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.syncRate.dump() + " code " + std::to_string(c.cea));
    Maybe link = probe(
        {hdmiService(json::array({element(1, c.cea, 1920, 1080, c.hTotal, 1125, c.syncRate)}))});
    ASSERT_TRUE(link);
    const json& rates = (*link)["progressive1080Rates"];
    if (c.rateName == nullptr) {
      EXPECT_EQ(rates, json::object());
    } else {
      EXPECT_EQ(rates.size(), 1u);
      EXPECT_EQ(rates.value(c.rateName, 0.0),
                std::string(c.rateName) == "1080p60.00" ? 60.0 : 60000.0 / 1001.0);
    }
    EXPECT_EQ((*link)["signal"]["format"], c.signalFormat);
  }
}

TEST(HdmiLink, CurrentTimingAndOddElements) {
  const json good = element(1, 16, 1920, 1080, 2200, 1125, 3932160);
  json interlaced = element(1, 5, 1920, 1080, 2200, 1125, 3928232, true);
  json stringActive = good;
  stringActive["HorizontalAttributes"]["Active"] = "1920";
  json negativeActive = good;
  negativeActive["HorizontalAttributes"]["Active"] = -1920;
  json fractionalActive = good;
  fractionalActive["HorizontalAttributes"]["Active"] = 1920.5;
  json hugeActive = good;
  hugeActive["HorizontalAttributes"]["Active"] = json::parse("18446744073709551616");
  json negativeRate = good;
  negativeRate["VerticalAttributes"]["PreciseSyncRate"] = -3932160;
  json hugeRate = good;
  hugeRate["VerticalAttributes"]["PreciseSyncRate"] = 1e300;
  json attributesList = good;
  attributesList["VerticalAttributes"] = json::array({1080});
  json noCode = good;
  noCode["CEAShortID"] = 0;
  json noActive = good;
  noActive["HorizontalAttributes"].erase("Active");

  struct Case {
    const char* name;
    json elements;
    json signal;  // expected "signal"
  };
  const json s60 = {{"width", 1920},
                    {"height", 1080},
                    {"hz", 60.0},
                    {"format", "1080p60.00"},
                    {"interlaced", false}};
  const Case cases[] = {
      {"virtual current element gives no signal",
       {element(1, 16, 1920, 1080, 2200, 1125, 3932160, false, true)},
       json::object()},
      {"a later non-virtual element with the same ID does",
       {element(1, 16, 1920, 1080, 2200, 1125, 3932160, false, true), good},
       s60},
      {"the last current element wins",
       {good, element(1, 4, 1280, 720, 1650, 750, 3932160)},
       {{"width", 1280},
        {"height", 720},
        {"hz", 60.0},
        {"format", "720p60.00"},
        {"interlaced", false}}},
      {"interlaced",
       {interlaced},
       {{"width", 1920},
        {"height", 1080},
        {"hz", 3928232.0 / 65536.0},
        {"format", "1080i59.94"},
        {"interlaced", true}}},
      {"no CEA code",
       {noCode},
       {{"width", 1920}, {"height", 1080}, {"hz", 60.0}, {"format", ""}, {"interlaced", false}}},
      {"absent Active reads as 0", {noActive}, json::object()},
      {"Active a string", {stringActive}, json::object()},
      {"Active negative", {negativeActive}, json::object()},
      {"Active fractional", {fractionalActive}, json::object()},
      {"Active beyond 2^64", {hugeActive}, json::object()},
      {"negative rate", {negativeRate}, json::object()},
      {"attributes not a record", {attributesList}, json::object()},
      {"elements that are not records", {1, "x", nullptr, json::array(), good}, s60},
      {"other ID", {element(2, 16, 1920, 1080, 2200, 1125, 3932160)}, json::object()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Maybe link = probe({hdmiService(c.elements)});
    ASSERT_TRUE(link);
    EXPECT_EQ((*link)["signal"], c.signal);
  }
  Maybe huge = probe({hdmiService(json::array({hugeRate}))});
  ASSERT_TRUE(huge);
  EXPECT_EQ((*huge)["signal"]["format"], "");
  EXPECT_GT((*huge)["signal"]["hz"].get<double>(), 1e290);
}

TEST(ConnectionDescription, ModeObjectsThatGiveNoRecord) {
  struct Case {
    const char* name;
    json mode;
    bool present;
  };
  const json base = {{"width", 1920},     {"height", 1080},
                     {"refreshRate", 60}, {"colorMode", "RGB 8-bit"},
                     {"hdrMode", "SDR"},  {"isVRR", false}};
  auto with = [&base](const char* key, json value) {
    json m = base;
    if (value.is_discarded())
      m.erase(key);
    else
      m[key] = value;
    return m;
  };
  const Case cases[] = {
      {"plain", base, true},
      {"no isVRR", with("isVRR", json(json::value_t::discarded)), false},
      {"VRR", with("isVRR", true), false},
      {"rate 0", with("refreshRate", 0), false},
      {"negative rate", with("refreshRate", -60), false},
      {"NaN rate", with("refreshRate", "NaN"), false},
      {"no colour", with("colorMode", nullptr), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json scenario = test::studioScenario();
    scenario["externalDisplay"]["availableModes"] = json::array({c.mode});
    test::Harness h(scenario);
    Maybe link = asJson(hdmiLink(h.cx(), 2));
    ASSERT_TRUE(link);
    EXPECT_EQ((*link)["mode"].empty(), !c.present);
    if (std::string(c.name) == "no colour") {
      EXPECT_EQ((*link)["mode"]["color"], "");
    }
  }
}

}  // namespace
}  // namespace df
