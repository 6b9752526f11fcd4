#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sim/scenario.h"

namespace df::sim {
namespace {

using json = nlohmann::json;

json display(json extra = json::object()) {
  json d = {
      {"id", 2},
      {"uuid", "TV"},
      {"modes", {{{"modeId", 1}, {"width", 1920}, {"height", 1080}, {"hz", 60}, {"flags", 3}}}}};
  d.update(extra);
  return d;
}

TEST(SimScenario, FillsEveryDefault) {
  // Names count built-in and other displays apart, in list order; a given name is kept.
  json s = {{"displays",
             {display(), display({{"id", 3}, {"builtin", true}}), display({{"id", 4}}),
              display({{"id", 5}, {"name", "DP-2"}})}},
            {"externalDisplay",
             {{"availableModes", {{{"width", 1}, {"height", 2}, {"refreshRate", "NaN"}}}}}},
            {"notes", "kept"}};
  std::string error;
  ASSERT_TRUE(normalizeScenario(s, error)) << error;
  const json& d = s["displays"][0];
  EXPECT_EQ(d["online"], true);
  EXPECT_EQ(d["active"], true);
  EXPECT_EQ(d["builtin"], false);
  EXPECT_EQ(d["mirror"], false);
  EXPECT_EQ(d["hwMirror"], false);
  EXPECT_EQ(d["current"], nullptr);
  EXPECT_EQ(d["settleMs"], 0);
  std::vector<json> names;
  for (const json& x : s["displays"]) names.push_back(x["name"]);
  EXPECT_EQ(names, (std::vector<json>{"HDMI-1", "eDP-1", "HDMI-2", "DP-2"}));
  EXPECT_EQ(d["modes"][0]["logicalWidth"], 1920);
  EXPECT_EQ(d["modes"][0]["logicalHeight"], 1080);
  EXPECT_EQ(s["registry"], json::array());
  EXPECT_EQ(s["events"], json::array());
  EXPECT_EQ(s["faults"], json::array());
  const json& e = s["externalDisplay"];
  EXPECT_EQ(e["uuid"], nullptr);
  EXPECT_EQ(e["currentMode"], nullptr);
  EXPECT_EQ(e["linkSettleMs"], 0);
  EXPECT_EQ(e["linkDrop"], false);
  EXPECT_EQ(e["availableModes"][0]["colorMode"], nullptr);
  EXPECT_FALSE(e["availableModes"][0].contains("isVRR"));  // absent stays absent
  EXPECT_EQ(s["notes"], "kept");

  json empty = json::object();
  ASSERT_TRUE(normalizeScenario(empty, error)) << error;
  EXPECT_EQ(empty["displays"], json::array());
  EXPECT_EQ(empty["externalDisplay"], nullptr);
}

TEST(SimScenario, RejectsWrongKindsWithTheKeyPath) {
  const json twoDisplays = {display({{"id", 1}}), display()};
  struct Case {
    json scenario;
    std::string error;
  };
  const Case cases[] = {
      {json::array(), "scenario: expected an object"},
      {{{"displays",
         {display(
             {{"modes",
               {{{"modeId", 1}, {"width", 1}, {"height", 1}, {"hz", "fast"}, {"flags", 0}}}}})}}},
       R"(displays[0].modes[0].hz: expected a number or "NaN"/"Infinity"/"-Infinity")"},
      {{{"displays", {display({{"id", 1}}), display({{"id", 1}})}}},
       "displays[1].id: duplicate display 1"},
      {{{"displays", {display({{"id", 0}})}}},
       "displays[0].id: expected a display ID (non-zero unsigned 32-bit)"},
      {{{"displays", {display({{"id", 4294967296LL}})}}},
       "displays[0].id: expected a display ID (non-zero unsigned 32-bit)"},
      {{{"displays", {display({{"id", 2.0}})}}},
       "displays[0].id: expected a display ID (non-zero unsigned 32-bit)"},
      {{{"displays", {{{"id", 2}}}}}, "displays[0].uuid: missing"},
      {{{"displays", {display({{"active", 1}})}}}, "displays[0].active: expected true or false"},
      {{{"displays", {display({{"settleMs", -1}})}}},
       "displays[0].settleMs: expected a non-negative number of milliseconds"},
      {{{"displays", {display({{"current", 9}})}}}, "displays[0].current: no mode with modeId 9"},
      {{{"displays", {display({{"settle", "sometimes"}})}}},
       R"(displays[0].settle: expected "normal", "never" or "flicker")"},
      {{{"displays",
         {display({{"modes",
                    {{{"modeId", 2147483648LL},
                      {"width", 1},
                      {"height", 1},
                      {"hz", 1},
                      {"flags", 0}}}}})}}},
       "displays[0].modes[0].modeId: expected a signed 32-bit integer"},
      {{{"displays",
         {display({{"modes",
                    {{{"modeId", 1}, {"width", 1}, {"height", 1}, {"hz", 1}, {"flags", -1}}}}})}}},
       "displays[0].modes[0].flags: expected an unsigned 32-bit integer"},
      {{{"displays",
         {display({{"modes", {{{"modeId", 1}, {"height", 1}, {"hz", 1}, {"flags", 0}}}}})}}},
       "displays[0].modes[0].width: missing"},
      {{{"registry", {{{"properties", json::object()}}}}}, "registry[0].class: missing"},
      {{{"registry", {{{"class", "X"}, {"properties", 5}}}}},
       "registry[0].properties: expected an object"},
      {{{"externalDisplay", {{"currentMode", "0"}}}},
       "externalDisplay.currentMode: expected an index or null"},
      {{{"externalDisplay", {{"linkDrop", 1}}}},
       "externalDisplay.linkDrop: expected true or false"},
      {{{"externalDisplay", {{"availableModes", {{{"width", 1}, {"height", 1}}}}}}},
       "externalDisplay.availableModes[0].refreshRate: missing"},
      {{{"displays", twoDisplays}, {"externalDisplay", {{"display", 7}}}},
       "externalDisplay.display: unknown display 7"},
      {{{"displays", twoDisplays}, {"events", {{{"unplug", 2}}}}}, "events[0].at: missing"},
      {{{"displays", twoDisplays}, {"events", {{{"at", 1}, {"unplug", 9}}}}},
       "events[0].unplug: unknown display 9"},
      {{{"displays", twoDisplays}, {"events", {{{"at", 1}, {"unplug", 1}, {"plug", 1}}}}},
       R"(events[0]: expected one action, found "plug" and "unplug")"},
      {{{"displays", twoDisplays}, {"events", {{{"at", 1}, {"explode", 1}}}}},
       "events[0]: expected one action: unplug, plug, setMode, update, registry, "
       "externalDisplay or fault"},
      {{{"displays", twoDisplays}, {"events", {{{"at", 1}, {"setMode", {{"display", 2}}}}}}},
       "events[0].setMode.modeId: missing"},
      {{{"displays", twoDisplays},
        {"events", {{{"at", 1}, {"update", {{"display", 2}, {"id", 3}}}}}}},
       "events[0].update.id: a display's ID cannot change"},
      {{{"displays", twoDisplays},
        {"events", {{{"at", 1}, {"update", {{"display", 2}, {"mirror", "yes"}}}}}}},
       "events[0].update.mirror: expected true or false"},
      {{{"displays", {display({{"name", 5}})}}}, "displays[0].name: expected a string"},
      {{{"displays", {display({{"edid", 5}})}}},
       "displays[0].edid: expected hex bytes or a file path"},
      {{{"displays", {display({{"edid", "00ff ffff"}})}}},
       "displays[0].edid: not an EDID (no EDID header)"},
      {{{"displays", {display({{"edid", "00f"}})}}}, "displays[0].edid: hex bytes of odd length"},
      {{{"displays", {display({{"edid", "/nonexistent/tv.bin"}})}}},
       "displays[0].edid: /nonexistent/tv.bin: not found"},
      {{{"faults", {{{"call", "CGDisplayIsActive"}, {"error", 1}}}}},
       R"(faults[0].call: unknown operation "CGDisplayIsActive")"},
      {{{"faults", {{{"call", "displayIsActive"}}}}}, "faults[0].error: missing"},
      {{{"faults", {{{"call", "displayIsActive"}, {"error", 1}, {"times", 0}}}}},
       "faults[0].times: expected a positive integer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario.dump());
    json s = c.scenario;
    std::string error;
    EXPECT_FALSE(normalizeScenario(s, error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(SimScenario, IgnoresKeysItDoesNotKnow) {
  // Scenarios written for other tools, or annotated by hand, still run.
  json s = {{"comment", "a studio"},
            {"displays",
             {{{"id", 2},
               {"uuid", "TV"},
               {"label", "television"},
               {"modes",
                {{{"modeId", 1},
                  {"width", 1920},
                  {"height", 1080},
                  {"hz", 60},
                  {"flags", 3},
                  {"note", "1080p"}}}},
               {"current", 1}}}},
            {"events", {{{"at", 5}, {"why", "cable pulled"}, {"unplug", 2}}}}};
  std::string error;
  ASSERT_TRUE(normalizeScenario(s, error)) << error;
  EXPECT_EQ(s["displays"][0]["modes"][0]["logicalWidth"], 1920);
}

TEST(SimScenario, KeepsRegistryPropertiesVerbatimAndAcceptsRateWords) {
  const json props = {{"external", "true"}, {"DPTimingModeId", 1.5}, {"TimingElements", 7}};
  json s = {{"registry", {{{"class", "IOMobileFramebufferShim"}, {"properties", props}}}},
            {"displays",
             {display({{"modes",
                        {{{"modeId", -5},
                          {"width", 1},
                          {"height", 1},
                          {"hz", "-Infinity"},
                          {"flags", 4294967295U}}}},
                       {"current", -5}})}}};
  std::string error;
  ASSERT_TRUE(normalizeScenario(s, error)) << error;
  EXPECT_EQ(s["registry"][0]["properties"], props);
  EXPECT_EQ(rateValue("-Infinity"), -INFINITY);
  EXPECT_TRUE(std::isnan(rateValue("NaN")));
  EXPECT_EQ(rateValue(59.94), 59.94);
  EXPECT_EQ(millis(1.5), std::chrono::nanoseconds(1500000));
}

TEST(SimScenario, ChecksRunTimeActionsAndFaults) {
  std::string error;
  json action = {{"setMode", {{"display", 5}, {"modeId", 1}}}};
  EXPECT_FALSE(normalizeAction(action, {1, 2}, error));
  EXPECT_EQ(error, "action.setMode.display: unknown display 5");
  json ok = {{"update", {{"display", 2}, {"modes", json::array()}, {"current", nullptr}}}};
  EXPECT_TRUE(normalizeAction(ok, {1, 2}, error)) << error;
  json fault = {{"call", "uuid"}, {"error", 1}};
  ASSERT_TRUE(normalizeFault(fault, error)) << error;
  EXPECT_EQ(fault["after"], 0);
  EXPECT_FALSE(fault.contains("times"));  // absent: every call
}

TEST(SimScenario, LoadsTheShippedScenarioAndExplainsBadFiles) {
  std::string error;
  for (const char* name : {"studio-tv.json", "slow-tv-hotplug.json"}) {
    SCOPED_TRACE(name);
    const auto shipped = loadScenario(std::string(DF_SOURCE_DIR "/scenarios/") + name, error);
    ASSERT_TRUE(shipped) << error;
    EXPECT_EQ((*shipped)["displays"].size(), 2U);
  }

  EXPECT_FALSE(loadScenario("/nonexistent/x.json", error));
  EXPECT_EQ(error, "/nonexistent/x.json: not found");

  // An EDID named relative to the scenario file fills the display, the registry and the
  // external display object (the rule itself is checked end to end in tests/e2e).
  const std::string tv = ::testing::TempDir() + "sim_scenario_tv.bin";
  std::ofstream(tv, std::ios::binary)
      << std::ifstream(DF_SOURCE_DIR "/tests/data/edid/philips-phl0000-f54e1e1d.bin",
                       std::ios::binary)
             .rdbuf();
  const std::string withEdid = ::testing::TempDir() + "sim_scenario_edid.json";
  std::ofstream(withEdid)
      << R"({"displays": [{"id": 2, "uuid": "TV", "edid": "sim_scenario_tv.bin"}]})";
  const auto loaded = loadScenario(withEdid, error);
  ASSERT_TRUE(loaded) << error;
  const json& d = (*loaded)["displays"][0];
  EXPECT_EQ(d["modes"].size(), 26u);
  EXPECT_EQ(d["current"], 1);
  EXPECT_EQ(d["modes"][0]["hz"], 60.0);  // the preferred timing, 1080p60 (VIC 16)
  EXPECT_EQ((*loaded)["registry"][0]["properties"]["IOMFBUUID"], "TV");
  EXPECT_EQ((*loaded)["externalDisplay"]["display"], 2);
  std::remove(tv.c_str());
  std::remove(withEdid.c_str());

  const std::string path = ::testing::TempDir() + "sim_scenario_bad.json";
  std::ofstream(path) << R"({"displays": [{"id": 1}]})";
  EXPECT_FALSE(loadScenario(path, error));
  EXPECT_EQ(error, path + ": displays[0].uuid: missing");
  std::ofstream(path) << "{\"displays\": [";
  EXPECT_FALSE(loadScenario(path, error));
  EXPECT_NE(error.find("not valid JSON at line 1, column 15"), std::string::npos) << error;
  std::remove(path.c_str());
}

}  // namespace
}  // namespace df::sim
