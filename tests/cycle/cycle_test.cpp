// The inspection cycle end to end on the simulated machine: every phase, with the whole report
// and the changes that reached the platform.
#include "cycle/cycle.h"

#include <gtest/gtest.h>

#include "support/harness.h"

namespace df {
namespace {

using test::json;
using namespace std::chrono_literals;

const char* kLabel1 = "1920\u00d71080p \u00b7 60.000000 Hz \u00b7 #1";
const char* kLabel2 = "1920\u00d71080p \u00b7 59.940060 Hz \u00b7 #2";
const char* kLabel3 = "1280\u00d7720p \u00b7 59.940060 Hz \u00b7 #3";

json desktop(int id) {
  const bool hd = id != 3;
  const double hz = id == 1 ? 60.0 : 60000.0 / 1001.0;
  return {{"modeId", id},
          {"width", hd ? 1920 : 1280},
          {"height", hd ? 1080 : 720},
          {"logicalWidth", hd ? 1920 : 1280},
          {"logicalHeight", hd ? 1080 : 720},
          {"flags", 0x100003},
          {"interlaced", 0},
          {"hz", hz},
          {"format", id == 1   ? "1080p60.00"
                     : id == 2 ? "1080p59.94"
                               : "720p59.94"}};
}

// The whole report for display 2 of the plain scenario.
json plainReport(const std::string& phase, int actualMode, const std::string& chosen,
                 bool canPresent, bool restoreFailed = false, std::int64_t revision = 1) {
  return {{"revision", revision},
          {"id", "2"},
          {"phase", phase},
          {"restoreFailed", restoreFailed},
          {"formats", {"720p59.94", "1080p59.94", "1080p60.00"}},
          {"nativeModes",
           {{"native:TV-UUID:1:1920x1080p:60000000", kLabel1},
            {"native:TV-UUID:2:1920x1080p:59940060", kLabel2},
            {"native:TV-UUID:3:1280x720p:59940060", kLabel3}}},
          {"actual", desktop(actualMode)},
          {"chosen", chosen},
          {"uuid", "TV-UUID"},
          {"canPresent", canPresent}};
}

json guardReport(const std::string& phase, json id, const std::string& uuid) {
  return {{"revision", 1},
          {"id", id},
          {"phase", phase},
          {"restoreFailed", false},
          {"formats", json::array()},
          {"nativeModes", json::object()},
          {"actual", json::object()},
          {"chosen", ""},
          {"uuid", uuid},
          {"canPresent", false}};
}

const std::vector<std::string> kNoChanges;
const std::vector<std::string> kToMode2{"configureDisplayWithMode 2 2"};

TEST(InspectPhase, MatchedAfterADesktopChange) {
  test::Harness h(test::plainScenario());
  h.command(test::assign("auto"));
  EXPECT_EQ(h.lastReport(), plainReport("matched", 2, "1080p59.94", true));
  EXPECT_EQ(h.lineCount(), 1u);
  EXPECT_EQ(h.changes(), kToMode2);
  EXPECT_EQ(h.machine->currentModeId(2), 2);
  EXPECT_TRUE(h.state().originalMode);
  EXPECT_EQ(toJson(h.state().originalMode->desktop), desktop(1));
  EXPECT_EQ(toJson(h.state().ownedMode->desktop), desktop(2));
}

// The catalogue is taken again only while the modes stay the same: a changed list is
// catalogued afresh, and so is the list it had before.
TEST(InspectPhase, CatalogueFollowsTheModes) {
  test::Harness h(test::plainScenario());
  h.command(test::assign("current", true, false));
  const json before = h.lastReport();
  const json fewer = {test::mode(1, 1920, 1080, 60), test::mode(3, 1280, 720, 60000.0 / 1001.0)};
  EXPECT_TRUE(h.machine->perform({{"update", {{"display", 2}, {"modes", fewer}}}}));
  h.run(1s);
  EXPECT_EQ(h.lastReport()["formats"], json({"720p59.94", "1080p60.00"}));
  EXPECT_EQ(h.lastReport()["nativeModes"].size(), 2u);
  EXPECT_TRUE(h.machine->perform(
      {{"update", {{"display", 2}, {"modes", test::plainScenario()["displays"][1]["modes"]}}}}));
  h.run(1s);
  EXPECT_EQ(h.lastReport()["formats"], before["formats"]);
  EXPECT_EQ(h.lastReport()["nativeModes"], before["nativeModes"]);
}

TEST(InspectPhase, MatchedWithoutChangeStillNeedsTwoReadings) {
  test::Harness h(test::plainScenario());
  const auto start = h.queue.now();
  h.command(test::assign("1080p60.00"));
  EXPECT_EQ(h.lastReport(), plainReport("matched", 1, "1080p60.00", true));
  EXPECT_EQ(h.changes(), kNoChanges);
  EXPECT_EQ(h.queue.now() - start, 50ms);  // two equal readings, one sleep apart
  EXPECT_FALSE(h.state().originalMode);    // a verified reading equal to the start owns nothing
}

TEST(InspectPhase, GuardPhases) {
  struct Case {
    const char* name;
    json command;
    json scenarioUpdate;  // applied to display 2 before the command
    json expected;
  };
  const Case cases[] = {
      {"unknown display",
       {{"format", "auto"}, {"control", 1}, {"assign", true}, {"id", 9}, {"revision", 1}},
       json(),
       guardReport("missing", nullptr, "")},
      {"uuid of no display",
       {{"format", "auto"}, {"control", 1}, {"assign", true}, {"uuid", "tv-uuid"}, {"revision", 1}},
       json(),
       guardReport("missing", nullptr, "tv-uuid")},
      {"no control display",
       {{"format", "auto"}, {"assign", true}, {"id", 2}, {"enabled", true}, {"revision", 1}},
       json(),
       guardReport("protected", "2", "TV-UUID")},
      {"target is the control display",
       {{"format", "auto"}, {"control", 2}, {"assign", true}, {"id", 2}, {"revision", 1}},
       json(),
       guardReport("protected", "2", "TV-UUID")},
      {"built-in display",
       {{"format", "auto"}, {"control", 2}, {"assign", true}, {"id", 1}, {"revision", 1}},
       json(),
       guardReport("protected", "1", "PANEL-UUID")},
      {"inactive",
       test::assign("auto"),
       {{"active", false}},
       guardReport("protected", "2", "TV-UUID")},
      {"mirrored",
       test::assign("auto"),
       {{"mirror", true}},
       guardReport("protected", "2", "TV-UUID")},
      {"hardware mirrored",
       test::assign("auto"),
       {{"hwMirror", true}},
       guardReport("protected", "2", "TV-UUID")},
      {"uuid shared by two displays",
       test::assign("auto"),
       {{"uuid", "PANEL-UUID"}},
       guardReport("missing", nullptr, "PANEL-UUID")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json scenario = test::plainScenario();
    if (!c.scenarioUpdate.is_null()) scenario["displays"][1].update(c.scenarioUpdate);
    test::Harness h(scenario);
    h.command(c.command);
    EXPECT_EQ(h.lastReport(), c.expected);
    EXPECT_EQ(h.changes(), kNoChanges);
    EXPECT_FALSE(h.state().chosen);
    EXPECT_EQ(h.state().lastDisplay, 0u);
  }
}

TEST(InspectPhase, IdleCurrentAndUnavailableChangeNothing) {
  struct Case {
    json command;
    json expected;
  };
  const Case cases[] = {
      {test::assign("auto", false), plainReport("idle", 1, "1080p59.94", false)},
      {test::assign("current"), plainReport("current", 1, "", true)},
      {test::assign("2160p60.00"), plainReport("unavailable", 1, "", false)},
      {test::assign("native:TV-UUID:9:1920x1080p:60000000"),
       plainReport("unavailable", 1, "", false)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command.dump());
    test::Harness h(test::plainScenario());
    h.command(c.command);
    EXPECT_EQ(h.lastReport(), c.expected);
    EXPECT_EQ(h.changes(), kNoChanges);
  }
}

TEST(InspectPhase, NativeKeyIsChosenAndApplied) {
  test::Harness h(test::plainScenario());
  h.command(test::assign("native:TV-UUID:3:1280x720p:59940060"));
  json expected = plainReport("matched", 3, "native:TV-UUID:3:1280x720p:59940060", true);
  EXPECT_EQ(h.lastReport(), expected);
  EXPECT_EQ(h.changes(), (std::vector<std::string>{"configureDisplayWithMode 2 3"}));
}

TEST(InspectPhase, MismatchWhenTheCycleMayNotApply) {
  test::Harness h(test::plainScenario());
  h.command(test::assign("1080p60.00"));
  h.command(test::keep("720p59.94", true, false, 2));
  EXPECT_EQ(h.lastReport(), plainReport("mismatch", 1, "720p59.94", true, false, 2));
  EXPECT_EQ(h.changes(), kNoChanges);
}

TEST(InspectPhase, FailedTransactionsAndWhatTheyCancel) {
  struct Case {
    const char* call;
    std::vector<std::string> actions;
  };
  const Case cases[] = {
      {"beginConfiguration", {"beginConfiguration"}},
      {"configureDisplayWithMode",
       {"beginConfiguration", "configureDisplayWithMode 2 2", "cancelConfiguration"}},
      {"completeConfiguration",
       {"beginConfiguration", "configureDisplayWithMode 2 2", "completeConfiguration 2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    json scenario = test::plainScenario();
    scenario["faults"] = {{{"call", c.call}, {"error", 1004}}};
    test::Harness h(scenario);
    h.command(test::assign("auto"));
    EXPECT_EQ(h.lastReport(), plainReport("failed", 1, "1080p59.94", false));
    EXPECT_EQ(h.actionNames(), c.actions);
    EXPECT_TRUE(h.state().applyFailed);
    EXPECT_FALSE(h.state().originalMode);
    // The same format with apply false on the same display stays "failed".
    h.command(test::keep("auto", true, false, 2));
    EXPECT_EQ(h.lastReport()["phase"], "failed");
  }
}

TEST(InspectPhase, VerificationThatNeverSettlesFailsAfterSixteenReadings) {
  json scenario = test::plainScenario();
  scenario["displays"][1]["settle"] = "never";
  test::Harness h(scenario);
  const auto start = h.queue.now();
  h.command(test::assign("auto"));
  EXPECT_EQ(h.lastReport(), plainReport("failed", 1, "1080p59.94", false));
  EXPECT_EQ(h.queue.now() - start, 800ms);
  EXPECT_EQ(h.changes(), kToMode2);
}

TEST(InspectPhase, FailedChangeThatCannotBeUndoneIsOwned) {
  // The change lands, verification is cut short by a failing mode read, and the roll-back
  // cannot start a transaction: the system owns the state it left.
  json scenario = test::plainScenario();
  scenario["faults"] = {{{"call", "beginConfiguration"}, {"error", 1000}, {"after", 1}}};
  test::Harness h(scenario);
  // Reads: the catalogue, the first reading, then the second reading fails.
  ASSERT_TRUE(h.machine->addFault(
      {{"call", "copyDisplayMode"}, {"error", 1000}, {"display", 2}, {"after", 2}, {"times", 1}}));
  h.command(test::assign("auto"));
  json report = h.lastReport();
  EXPECT_EQ(report["phase"], "failed");
  EXPECT_EQ(report["actual"]["modeId"], 2);
  EXPECT_FALSE(report["canPresent"]);
  ASSERT_TRUE(h.state().originalMode);
  EXPECT_EQ(toJson(h.state().originalMode->desktop), desktop(1));
  EXPECT_EQ(toJson(h.state().ownedMode->desktop), desktop(2));
  EXPECT_FALSE(h.state().approvedMode);
}

TEST(InspectPhase, DisplayThatDisappearsMidVerification) {
  json scenario = test::plainScenario();
  scenario["displays"][1]["settleMs"] = 300;
  scenario["events"] = {{{"at", 120}, {"unplug", 2}}};
  test::Harness h(scenario);
  h.command(test::assign("auto"));
  json report = h.lastReport();
  EXPECT_EQ(report["phase"], "failed");
  EXPECT_EQ(report["actual"], json::object());
  EXPECT_EQ(report["id"], "2");
  EXPECT_FALSE(report["canPresent"]);
  EXPECT_EQ(h.changes(), kToMode2);
}

TEST(InspectPhase, NeverTouchesControlBuiltInOrMirroredDisplays) {
  for (json update : {json{{"builtin", true}}, json{{"mirror", true}}, json{{"hwMirror", true}},
                      json{{"active", false}}}) {
    SCOPED_TRACE(update.dump());
    json scenario = test::plainScenario();
    scenario["events"] = json::array({json{{"at", 10}, {"update", update}}});
    scenario["events"][0]["update"]["display"] = 2;
    test::Harness h(scenario);
    h.command(test::assign("1080p60.00"));
    h.run(20ms);
    for (int i = 0; i < 3; ++i) h.command(test::keep("auto", true, true, 2 + i));
    h.run(10s);
    EXPECT_EQ(h.lastReport()["phase"], "protected");
    EXPECT_EQ(h.changes(), kNoChanges);
  }
}

TEST(InspectPhase, ReassignmentRestoresThePreviousTargetFirst) {
  json scenario = test::plainScenario();
  json second = scenario["displays"][1];
  second["id"] = 3;
  second["uuid"] = "TV2-UUID";
  scenario["displays"].push_back(second);
  test::Harness h(scenario);
  h.command(test::assign("auto"));
  ASSERT_EQ(h.machine->currentModeId(2), 2);
  json command = test::assign("auto", true, true, 2);
  command["id"] = 3;
  h.command(command);
  EXPECT_EQ(h.changes(), (std::vector<std::string>{"configureDisplayWithMode 2 2",
                                                   "configureDisplayWithMode 2 1",
                                                   "configureDisplayWithMode 3 2"}));
  EXPECT_EQ(h.machine->currentModeId(2), 1);
  EXPECT_EQ(h.lastReport()["uuid"], "TV2-UUID");
  EXPECT_EQ(h.lastReport()["phase"], "matched");
  EXPECT_FALSE(h.lastReport()["restoreFailed"]);
}

TEST(InspectPhase, RestoreFailedPhaseWhenControlEndsAndTheRestorationFails) {
  json scenario = test::plainScenario();
  scenario["faults"] = {{{"call", "completeConfiguration"}, {"error", 1004}, {"after", 1}}};
  test::Harness h(scenario);
  h.command(test::assign("auto"));
  h.command(test::keep("auto", false, false, 2));
  EXPECT_EQ(h.lastReport(), plainReport("restoreFailed", 2, "1080p59.94", false, true, 2));
  EXPECT_FALSE(h.state().originalMode);
  // The next command clears the flag.
  h.command(test::keep("auto", false, false, 3));
  EXPECT_EQ(h.lastReport(), plainReport("idle", 2, "1080p59.94", false, false, 3));
}

TEST(InspectPhase, SomebodyElsesChangeIsLeftAlone) {
  test::Harness h(test::plainScenario());
  h.command(test::assign("auto"));
  EXPECT_TRUE(h.machine->perform({{"setMode", {{"display", 2}, {"modeId", 3}}}}));
  h.command(test::keep("auto", false, false, 2));
  EXPECT_EQ(h.changes(), kToMode2);
  EXPECT_EQ(h.machine->currentModeId(2), 3);
  EXPECT_FALSE(h.lastReport()["restoreFailed"]);
  EXPECT_FALSE(h.state().originalMode);
}

TEST(InspectPhase, ApprovalSurvivesAnUnreachableFormatUntilTheDisplayMoves) {
  test::Harness h(test::plainScenario());
  h.command(test::assign("auto"));
  h.command(test::keep("2160p60.00", true, true, 2));
  EXPECT_EQ(h.lastReport(), plainReport("unavailable", 2, "", true, false, 2));
  EXPECT_TRUE(h.machine->perform({{"setMode", {{"display", 2}, {"modeId", 3}}}}));
  h.command(test::keep("2160p60.00", true, false, 3));
  EXPECT_EQ(h.lastReport(), plainReport("unavailable", 3, "", false, false, 3));
}

TEST(InspectPhase, TerminationRestoresThenExits) {
  test::Harness h(test::plainScenario());
  h.command(test::assign("auto"));
  const std::size_t lines = h.lineCount();
  h.queue.post([&h] { h.service->terminate(); });
  h.settle();
  EXPECT_EQ(h.exitStatus, 0);
  EXPECT_EQ(h.lineCount(), lines);
  EXPECT_EQ(h.machine->currentModeId(2), 1);
  EXPECT_EQ(h.changes(), (std::vector<std::string>{"configureDisplayWithMode 2 2",
                                                   "configureDisplayWithMode 2 1"}));
}

TEST(InspectPhase, ConnectionSwitchIsVerifiedOwnedAndTakenBack) {
  // The studio television shows its 1080p60.00 desktop mode on a 1920x1080 signal at 60 Hz, so
  // "1080p59.94" is reached through its 59.94 Hz connection mode. A link that retrains within
  // the verification (16 readings) is "matched" and owned; a slower one is "failed" and the
  // switch is taken back, so that nothing stays switched at exit.
  struct Case {
    int linkSettleMs;
    bool drop;
    bool matched;
  };
  const Case cases[] = {{0, false, true},
                        {250, false, true},
                        {250, true, true},
                        {1200, false, false},
                        {1200, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.linkSettleMs) + (c.drop ? " ms, dropping" : " ms"));
    json scenario = test::studioScenario();
    scenario["externalDisplay"]["linkSettleMs"] = c.linkSettleMs;
    scenario["externalDisplay"]["linkDrop"] = c.drop;
    test::Harness h(scenario);
    h.command(test::assign("1080p59.94"));
    const json first = h.reports().front();
    EXPECT_EQ(first["phase"], c.matched ? "matched" : "failed");
    EXPECT_EQ(first["canPresent"], c.matched);
    std::vector<std::string> changes{"setCurrentMode 2 1", "setCurrentMode 2 0"};
    if (c.matched) {
      EXPECT_TRUE(h.state().ownedConnectionMode);
      // A desktop format after the owned switch: the connection goes back first.
      h.command(test::keep("720p59.94", true, true, 2));
      EXPECT_EQ(h.lastReport()["phase"], "matched");
      EXPECT_EQ(h.lastReport()["actual"]["format"], "720p59.94");
      changes.push_back("configureDisplayWithMode 2 17");
      changes.push_back("configureDisplayWithMode 2 1");
    }
    h.queue.post([&h] { h.service->terminate(); });
    h.settle();
    // A link still retraining without a signal at the exit cannot be seen back: status 4,
    // although the switch back lands after.
    EXPECT_EQ(h.exitStatus, c.drop && !c.matched ? kRestoreFailedStatus : 0);
    // What the platform still carries out after the exit: the switch back asked for last.
    h.machine->advanceTo(h.queue.now() + 5s);
    EXPECT_EQ(h.changes(), changes);
    EXPECT_EQ(h.machine->externalCurrentModeIndex(), 0U);
    EXPECT_EQ(h.machine->currentModeId(2), 1);
    EXPECT_EQ(h.machine->linkTimingModeId(), 101);
  }
}

}  // namespace
}  // namespace df
