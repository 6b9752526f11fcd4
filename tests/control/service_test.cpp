// The command handler's steps and the termination handler, on the simulated machine.
#include "control/service.h"

#include <gtest/gtest.h>

#include "support/harness.h"

namespace df {
namespace {

using test::json;

TEST(CommandHandler, TargetChangesOnlyOnAssignment) {
  test::Harness h(test::plainScenario());
  h.command(test::assign("auto"));
  EXPECT_EQ(h.state().targetUUID, "TV-UUID");
  json other = test::keep("auto");
  other["id"] = 1;
  other["uuid"] = "PANEL-UUID";
  h.command(other);
  EXPECT_EQ(h.state().targetUUID, "TV-UUID");

  struct Case {
    json command;
    std::optional<std::string> target;
  };
  const Case cases[] = {
      {{{"format", "auto"}, {"assign", true}, {"id", 2}}, "TV-UUID"},
      {{{"format", "auto"}, {"assign", true}, {"id", 2}, {"uuid", ""}}, "TV-UUID"},
      {{{"format", "auto"}, {"assign", true}, {"id", 1}, {"uuid", "SOMETHING"}}, "SOMETHING"},
      {{{"format", "auto"}, {"assign", true}}, std::nullopt},
      {{{"format", "auto"}, {"assign", true}, {"id", 0}}, std::nullopt},
      {{{"format", "auto"}, {"assign", true}, {"id", 7}}, std::nullopt},
      {{{"format", "auto"}, {"assign", 1}, {"id", 2}}, "TV-UUID"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command.dump());
    test::Harness x(test::plainScenario());
    x.cx().state.targetUUID = "BEFORE";
    x.command(c.command);
    EXPECT_EQ(x.state().targetUUID, c.target);
  }
}

TEST(CommandHandler, DisplayWithoutUuidCanNeverBeTheTarget) {
  json scenario = test::plainScenario();
  scenario["displays"][1]["uuid"] = nullptr;
  test::Harness h(scenario);
  h.command(test::assign("auto"));
  EXPECT_FALSE(h.state().targetUUID);
  EXPECT_EQ(h.lastReport()["phase"], "missing");
}

TEST(CommandHandler, FormatChangeClearsChoiceAndFailure) {
  json scenario = test::plainScenario();
  scenario["faults"] = {{{"call", "completeConfiguration"}, {"error", 1004}, {"times", 1}}};
  test::Harness h(scenario);
  h.command(test::assign("auto"));
  ASSERT_TRUE(h.state().applyFailed);
  h.command(test::keep("auto", true, false, 2));  // same format: both kept
  EXPECT_TRUE(h.state().applyFailed);
  EXPECT_EQ(h.state().chosen, "1080p59.94");
  h.command(test::keep("720p59.94", true, false, 3));
  EXPECT_FALSE(h.state().applyFailed);
  EXPECT_EQ(h.lastReport()["phase"], "mismatch");
}

TEST(CommandHandler, OnlySwitchingControlOffRestores) {
  struct Case {
    bool first, second;
    bool restored;
  };
  const Case cases[] = {
      {true, false, true}, {true, true, false}, {false, true, false}, {false, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " -> " << c.second);
    test::Harness h(test::plainScenario());
    h.command(test::assign("auto"));  // owns mode 2
    h.cx().state.enabled = c.first;
    h.command(test::keep("auto", c.second, false, 2));
    EXPECT_EQ(h.machine->currentModeId(2), c.restored ? 1 : 2);
  }
}

TEST(CommandHandler, EveryCommandReportsOnceAndRevisionAloneIsNews) {
  test::Harness h(test::plainScenario());
  h.command(test::assign("1080p60.00"));
  h.command(test::keep("1080p60.00"));
  EXPECT_EQ(h.lineCount(), 1u);
  h.command(test::keep("1080p60.00", true, true, 2));
  EXPECT_EQ(h.lineCount(), 2u);
  EXPECT_EQ(h.lastReport()["revision"], 2);
  EXPECT_EQ(h.cx().counters.inspections, 3u);
  EXPECT_EQ(h.cx().counters.reports, 3u);
}

TEST(CommandHandler, EmptyFormatIsACommand) {
  test::Harness h(test::plainScenario());
  h.command(test::assign(""));
  EXPECT_EQ(h.state().requested, "");
  EXPECT_EQ(h.lastReport()["phase"], "unavailable");
}

TEST(Termination, BeforeAnyCommandWritesNothing) {
  test::Harness h(test::plainScenario());
  h.queue.post([&h] { h.service->terminate(); });
  h.settle();
  EXPECT_EQ(h.exitStatus, 0);
  EXPECT_EQ(h.lineCount(), 0u);
  EXPECT_TRUE(h.machine->actions().empty());
}

TEST(Termination, FailedRestorationExitsWithFour) {
  json scenario = test::plainScenario();
  scenario["faults"] = {{{"call", "beginConfiguration"}, {"error", 1000}, {"after", 1}}};
  test::Harness h(scenario);
  h.command(test::assign("auto"));
  const std::size_t lines = h.lineCount();
  h.queue.post([&h] { h.service->terminate(); });
  h.settle();
  EXPECT_EQ(h.exitStatus, kRestoreFailedStatus);
  EXPECT_EQ(h.lineCount(), lines);
  EXPECT_EQ(h.machine->currentModeId(2), 2);
}

TEST(Termination, AfterThePlatformIsGoneIsItsLoss) {
  // The end of input taken before the loss that came first: nothing is restored, status 1.
  test::Harness h(test::plainScenario());
  h.command(test::assign("auto"));
  ASSERT_EQ(h.machine->currentModeId(2), 2);
  h.service->setPlatformGone([] { return true; });
  h.queue.post([&h] { h.service->terminate(); });
  h.settle();
  EXPECT_EQ(h.exitStatus, 1);
  EXPECT_EQ(h.machine->currentModeId(2), 2);
}

TEST(Startup, FailedRegistrationIsReported) {
  json scenario = test::plainScenario();
  scenario["faults"] = {{{"call", "registerReconfigurationCallback"}, {"error", 1000}}};
  std::string error;
  ASSERT_TRUE(sim::normalizeScenario(scenario, error)) << error;
  sim::VirtualQueue queue;
  sim::SimMachine machine(scenario, queue.clock());
  Service service(
      machine.platform(), queue, [](std::string_view) {}, [](int) {});
  EXPECT_FALSE(service.start());
}

}  // namespace
}  // namespace df
