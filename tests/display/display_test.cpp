#include "display/display.h"

#include <gtest/gtest.h>

#include "support/harness.h"

namespace df {
namespace {

using test::json;

TEST(OnlineDisplays, TwoCallsAndErrors) {
  test::Harness h(test::plainScenario());
  platform::Displays& displays = h.cx().platform.displays;
  EXPECT_EQ(onlineDisplays(displays), (std::vector<DisplayID>{1, 2}));
  EXPECT_EQ(h.machine->callCount("getOnlineDisplayList"), 2u);
  for (int after : {0, 1}) {
    SCOPED_TRACE(after);
    test::Harness x(test::plainScenario());
    (void)x.machine->addFault(
        {{"call", "getOnlineDisplayList"}, {"error", 1000}, {"after", after}, {"times", 1}});
    EXPECT_TRUE(onlineDisplays(x.cx().platform.displays).empty());
    EXPECT_EQ(findDisplay(x.cx(), std::string("TV-UUID")), 2u);  // the fault has passed
  }
}

TEST(FindDisplay, ExactUniqueMatchOnly) {
  json scenario = test::plainScenario();
  json third = scenario["displays"][1];
  third["id"] = 3;
  third["uuid"] = nullptr;
  scenario["displays"].push_back(third);
  test::Harness h(scenario);
  platform::Displays& d = h.cx().platform.displays;
  EXPECT_EQ(findDisplay(d, std::nullopt), 0u);
  EXPECT_EQ(findDisplay(d, std::string("TV-UUID")), 2u);
  EXPECT_EQ(findDisplay(d, std::string("tv-uuid")), 0u);
  EXPECT_EQ(findDisplay(d, std::string("")), 0u);
  EXPECT_TRUE(h.machine->perform({{"update", {{"display", 3}, {"uuid", "TV-UUID"}}}}));
  EXPECT_EQ(findDisplay(d, std::string("TV-UUID")), 0u);
  EXPECT_TRUE(h.machine->perform({{"unplug", 3}}));
  EXPECT_EQ(findDisplay(d, std::string("TV-UUID")), 2u);
  EXPECT_TRUE(h.machine->perform({{"unplug", 2}}));
  EXPECT_TRUE(h.machine->perform({{"unplug", 1}}));
  EXPECT_EQ(findDisplay(d, std::string("PANEL-UUID")), 0u);
}

TEST(StillAssigned, ConditionsInOrderWithNoQueryAfterAFailure) {
  struct Case {
    const char* name;
    DisplayID control, display;
    json update;
    bool eligible;
    std::uint64_t activeQueries;
  };
  const Case cases[] = {
      {"eligible", 1, 2, json::object(), true, 1},
      {"display 0", 1, 0, json::object(), false, 0},
      {"no control", 0, 2, json::object(), false, 0},
      {"is the control", 2, 2, json::object(), false, 0},
      {"inactive", 1, 2, {{"active", false}}, false, 1},
      {"built in", 1, 2, {{"builtin", true}}, false, 1},
      {"mirror", 1, 2, {{"mirror", true}}, false, 1},
      {"hardware mirror", 1, 2, {{"hwMirror", true}}, false, 1},
      {"not the target", 2, 1, {{"builtin", false}}, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json scenario = test::plainScenario();
    scenario["displays"][1].update(c.update);
    if (std::string(c.name) == "not the target") scenario["displays"][0]["builtin"] = false;
    test::Harness h(scenario);
    h.cx().state.controlID = c.control;
    h.cx().state.targetUUID = "TV-UUID";
    EXPECT_EQ(stillAssigned(h.cx(), c.display), c.eligible);
    EXPECT_EQ(h.machine->callCount("displayIsActive"), c.activeQueries);
    if (!c.eligible && c.display != 1) {
      EXPECT_EQ(h.machine->callCount("getOnlineDisplayList"), 0u);
    }
  }
}

}  // namespace
}  // namespace df
