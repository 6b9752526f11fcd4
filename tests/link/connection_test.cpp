#include "link/connection.h"

#include <gtest/gtest.h>

#include "link/probe.h"
#include "support/harness.h"
#include "support/readings.h"

namespace df {
namespace {

using test::json;

constexpr const char* kExt = "D2F4A6B8-3C5E-4F70-8192-A3B4C5D6E7F8";
constexpr double k5994 = 60000.0 / 1001.0;

json available(double hz, const char* color = "RGB 8-bit", const char* hdr = "SDR",
               int width = 1920, int height = 1080, json vrr = false) {
  json m = {{"width", width},
            {"height", height},
            {"refreshRate", hz},
            {"colorMode", color},
            {"hdrMode", hdr}};
  if (!vrr.is_null()) m["isVRR"] = vrr;
  return m;
}

json link(json mode = {{"width", 1920},
                       {"height", 1080},
                       {"nominalHz", 60.0},
                       {"color", "RGB 8-bit"},
                       {"hdr", "SDR"}}) {
  return {{"uuid", kExt},
          {"progressive1080Rates", json::object()},
          {"signal", json::object()},
          {"mode", std::move(mode)}};
}

std::optional<Connection> connectionWith(json modes, double rate, json forLink = link()) {
  json scenario = test::studioScenario();
  scenario["externalDisplay"]["availableModes"] = std::move(modes);
  test::Harness h(scenario);
  return connectionFor(h.cx(), 2, test::linkFromJson(forLink), rate);
}

TEST(ConnectionFor, Candidates) {
  struct Case {
    const char* name;
    json modes;
    double rate;
    std::optional<double> found;  // nominalHz of the one found
  };
  const Case cases[] = {
      {"59.94 matches 60000/1001 by its decimal", {available(59.94)}, k5994, 59.94},
      {"exact 60000/1001", {available(k5994)}, k5994, k5994},
      {"59.97 does not", {available(59.97)}, k5994, std::nullopt},
      {"60.00001 matches 60", {available(60.00001)}, 60, 60.00001},
      {"59.94 does not match 60", {available(59.94)}, 60, std::nullopt},
      {"no modes", json::array(), 60, std::nullopt},
      {"not 1920 by 1080", {available(60, "RGB 8-bit", "SDR", 3840, 2160)}, 60, std::nullopt},
      {"other colour", {available(60, "YCbCr 4:2:2 10-bit")}, 60, std::nullopt},
      {"other HDR", {available(60, "RGB 8-bit", "HDR10")}, 60, std::nullopt},
      {"two candidates", {available(60), available(60)}, 60, std::nullopt},
      {"variable refresh rate",
       {available(60, "RGB 8-bit", "SDR", 1920, 1080, true)},
       60,
       std::nullopt},
      {"no isVRR answer",
       {available(60, "RGB 8-bit", "SDR", 1920, 1080, nullptr)},
       60,
       std::nullopt},
      {"VRR twin does not make it ambiguous",
       {available(60), available(60, "RGB 8-bit", "SDR", 1920, 1080, true)},
       60,
       60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Connection> found = connectionWith(c.modes, c.rate);
    ASSERT_EQ(found.has_value(), c.found.has_value());
    if (found) {
      EXPECT_EQ(found->nominalHz, *c.found);
      EXPECT_EQ(found->color, "RGB 8-bit");
    }
  }
}

TEST(ConnectionFor, NeedsTheSameExternalDisplay) {
  json other = link();
  other["uuid"] = "SOMEONE-ELSE";
  EXPECT_FALSE(connectionWith({available(60)}, 60, other));
  json scenario = test::studioScenario();
  scenario["externalDisplay"] = nullptr;
  test::Harness h(scenario);
  EXPECT_FALSE(connectionFor(h.cx(), 2, test::linkFromJson(link()), 60));
}

TEST(SameConnection, ComparesUuidSignalAndMode) {
  const json signal = {{"width", 1920},
                       {"height", 1080},
                       {"hz", 60.0},
                       {"format", "1080p60.00"},
                       {"interlaced", false}};
  json full = link();
  full["signal"] = signal;
  json otherHz = full;
  otherHz["signal"]["hz"] = 59.9;
  json otherRates = full;
  otherRates["progressive1080Rates"] = {{"1080p60.00", 60.0}};
  json bare = {{"uuid", kExt}, {"signal", json::object()}, {"mode", json::object()}};
  auto snap = [](json l, int modeId = 1) {
    return MaybeSnapshot(
        test::snapshotFromJson({{"desktop", {{"modeId", modeId}}}, {"link", std::move(l)}}));
  };
  EXPECT_TRUE(sameConnection(snap(full, 1), snap(full, 2)));
  EXPECT_TRUE(sameConnection(snap(full), snap(otherRates)));
  EXPECT_TRUE(sameConnection(snap(bare), snap(bare)));
  EXPECT_FALSE(sameConnection(snap(full), snap(otherHz)));
  EXPECT_FALSE(sameConnection(snap(nullptr), snap(nullptr)));
  EXPECT_FALSE(sameConnection(snap(json::object()), snap(json::object())));
  EXPECT_FALSE(sameConnection(std::nullopt, snap(full)));
  EXPECT_FALSE(linkOf(snap(nullptr)));
  const MaybeSnapshot emptyLink = snap(json::object());
  ASSERT_TRUE(linkOf(emptyLink));
  EXPECT_EQ(toJson(*linkOf(emptyLink)), json::object());
}

TEST(SetConnection, SwitchesOnlyAnEligibleTarget) {
  struct Case {
    const char* name;
    platform::DisplayID control, display;
    bool switched;
  };
  const Case cases[] = {
      {"eligible", 1, 2, true},
      {"no control display", 0, 2, false},
      {"the control display", 2, 2, false},
      {"display 0", 1, 0, false},
      {"built in", 2, 1, false},
  };
  const Connection target{1920, 1080, 59.94, "RGB 8-bit", "SDR"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::Harness h(test::studioScenario());
    h.cx().state.targetUUID = "5C9D1E2F-7A38-4B46-8C05-E1F2A3B4C5D6";
    h.cx().state.controlID = c.control;
    std::optional<Link> l = hdmiLink(h.cx(), 2);
    setConnection(h.cx(), c.display, l ? &*l : nullptr, &target);
    EXPECT_EQ(h.changes(), c.switched ? std::vector<std::string>{"setCurrentMode 2 1"}
                                      : std::vector<std::string>{});
  }
}

TEST(SetConnection, NeverSwitchesAnotherDisplaysExternalDisplay) {
  // A DisplayPort monitor (display 3) is the eligible target; the HDMI object drives display 2.
  json scenario = test::studioScenario();
  json monitor = scenario["displays"][1];
  monitor["id"] = 3;
  monitor["uuid"] = "DP-MONITOR";
  scenario["displays"].push_back(monitor);
  scenario["externalDisplay"]["display"] = 2;
  test::Harness h(scenario);
  h.cx().state.targetUUID = "DP-MONITOR";
  h.cx().state.controlID = 1;
  EXPECT_FALSE(hdmiLink(h.cx(), 3));  // the television's link is not the monitor's
  std::optional<Link> tvLink = hdmiLink(h.cx(), 2);
  ASSERT_TRUE(tvLink);
  const Connection target{1920, 1080, 59.94, "RGB 8-bit", "SDR"};
  setConnection(h.cx(), 3, &*tvLink, &target);
  EXPECT_EQ(h.changes(), std::vector<std::string>{});
}

TEST(SetConnection, TakesEffectAfterTheLinkSettles) {
  test::Harness h(test::studioScenario());
  h.cx().state.targetUUID = "5C9D1E2F-7A38-4B46-8C05-E1F2A3B4C5D6";
  h.cx().state.controlID = 1;
  std::optional<Link> before = hdmiLink(h.cx(), 2);
  ASSERT_TRUE(before);
  const Connection target{1920, 1080, 59.94, "RGB 8-bit", "SDR"};
  setConnection(h.cx(), 2, &*before, &target);
  EXPECT_EQ(hdmiLink(h.cx(), 2), before);
  h.run(std::chrono::milliseconds(250));
  std::optional<Link> after = hdmiLink(h.cx(), 2);
  ASSERT_TRUE(after && after->signal && after->mode);
  EXPECT_EQ(after->signal->format, "1080p59.94");
  EXPECT_EQ(after->mode->nominalHz, 59.94);
}

}  // namespace
}  // namespace df
