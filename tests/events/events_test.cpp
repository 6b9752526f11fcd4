// Reconfiguration notices, the debounce and timing rechecks, on the virtual clock.
#include "events/events.h"

#include <gtest/gtest.h>

#include "support/harness.h"

namespace df {
namespace {

using test::json;
using namespace std::chrono_literals;

class EventsTest : public testing::Test {
 protected:
  void notice(DisplayID display, platform::Change change) { changed(display, change, &h.cx()); }
  std::uint64_t inspections() { return h.cx().counters.inspections; }

  test::Harness h{test::plainScenario()};
};

TEST_F(EventsTest, ABurstGivesOneInspectionAfterTheLast) {
  h.command(test::assign("1080p60.00"));
  const auto before = inspections();
  for (int i = 0; i < 5; ++i) {
    notice(2, platform::Change::kMode);
    h.run(100ms);
  }
  EXPECT_EQ(inspections(), before);
  h.run(79ms);
  EXPECT_EQ(inspections(), before);
  h.run(1ms);
  EXPECT_EQ(inspections(), before + 1);
  h.run(10s);
  EXPECT_EQ(inspections(), before + 1);
}

TEST_F(EventsTest, RevisionZeroChangesNothing) {
  test::Harness quiet(test::plainScenario());
  quiet.command(test::assign("1080p60.00", true, true, 0));
  const auto count = quiet.cx().counters.inspections;
  changed(2, platform::Change::kMode, &quiet.cx());
  quiet.run(1s);
  EXPECT_EQ(quiet.cx().counters.inspections, count);
  EXPECT_EQ(quiet.state().generation, 1u);
}

TEST_F(EventsTest, RemovalOfTheInspectedDisplayForgetsAtOnce) {
  h.command(test::assign("auto"));
  ASSERT_TRUE(h.state().approvedMode);
  // Removal of another display clears nothing.
  EXPECT_TRUE(h.machine->perform({{"unplug", 1}}));
  h.settle();
  EXPECT_EQ(h.state().lastDisplay, 2u);
  EXPECT_TRUE(h.state().chosen);
  // A removal notice for the target while it still resolves to it clears nothing either.
  notice(2, platform::Change::kRemoved);
  h.settle();
  EXPECT_EQ(h.state().lastDisplay, 2u);

  EXPECT_TRUE(h.machine->perform({{"unplug", 2}}));
  h.settle();  // before the debounce ends
  EXPECT_EQ(h.state().lastDisplay, 0u);
  EXPECT_FALSE(h.state().approvedMode);
  EXPECT_FALSE(h.state().chosen);
}

TEST_F(EventsTest, RecheckChainRunsAtMostTwelveInspections) {
  // The requested format is never offered: every inspection says "unavailable".
  h.command(test::assign("2160p60.00"));
  const auto start = inspections();
  h.run(499ms);
  EXPECT_EQ(inspections(), start);
  h.run(1ms);
  EXPECT_EQ(inspections(), start + 1);
  h.run(60s);
  EXPECT_EQ(inspections(), start + 12);
}

TEST_F(EventsTest, ChainStopsAtTheFirstOtherPhase) {
  h.command(test::assign("1080p60.00"));
  h.command(test::keep("720p59.94", true, false, 2));  // "mismatch": may not apply
  ASSERT_EQ(h.lastReport()["phase"], "mismatch");
  const auto start = inspections();
  h.run(60s);
  // The first recheck applies and matches; the debounce of that change inspects once more.
  EXPECT_EQ(inspections(), start + 2);
  EXPECT_EQ(h.lastReport()["phase"], "matched");
  EXPECT_EQ(h.machine->currentModeId(2), 3);
}

TEST_F(EventsTest, ConditionsThatStartNoChain) {
  for (json command :
       {test::assign("current"), test::assign("2160p60.00", false), test::assign("1080p60.00")}) {
    SCOPED_TRACE(command.dump());
    test::Harness x(test::plainScenario());
    x.command(command);
    const auto count = x.cx().counters.inspections;
    EXPECT_EQ(x.queue.pendingTimers(), 0u);
    x.run(60s);
    EXPECT_EQ(x.cx().counters.inspections, count);
  }
}

TEST_F(EventsTest, ANewCommandEndsTheChain) {
  h.command(test::assign("2160p60.00"));
  h.run(1200ms);  // two rechecks
  const auto after = inspections();
  h.command(test::keep("2160p60.00", true, true, 2));
  h.run(60s);
  EXPECT_EQ(inspections(), after + 1 + 12);
}

TEST_F(EventsTest, DebounceWithoutTheConditionLeavesAChainAlone) {
  h.command(test::assign("2160p60.00"));
  h.run(600ms);
  const auto chain = h.state().timingRetryGeneration;
  // Control goes off between rechecks: the debounce inspects, the chain ends by itself.
  h.cx().state.enabled = false;
  notice(2, platform::Change::kMode);
  h.run(200ms);
  EXPECT_EQ(h.state().timingRetryGeneration, chain);
  const auto count = inspections();
  h.run(60s);
  EXPECT_EQ(inspections(), count);
}

TEST_F(EventsTest, HotPlugBringsTheTargetBackWithoutACommand) {
  h.command(test::assign("auto"));
  ASSERT_EQ(h.lastReport()["phase"], "matched");
  EXPECT_TRUE(h.machine->perform({{"unplug", 2}}));
  h.run(1s);
  EXPECT_EQ(h.lastReport()["phase"], "missing");
  EXPECT_EQ(h.lastReport()["id"], nullptr);
  // The television comes back in its own default mode.
  EXPECT_TRUE(h.machine->perform({{"update", {{"display", 2}, {"current", 1}}}}));
  EXPECT_TRUE(h.machine->perform({{"plug", 2}}));
  h.run(5s);
  EXPECT_EQ(h.lastReport()["phase"], "matched");
  EXPECT_EQ(h.lastReport()["actual"]["modeId"], 2);
  EXPECT_TRUE(h.lastReport()["canPresent"]);
  EXPECT_EQ(h.changes(), (std::vector<std::string>{"configureDisplayWithMode 2 2",
                                                   "configureDisplayWithMode 2 2"}));
}

TEST_F(EventsTest, RecheckFindsADisplayThatArrivesLate) {
  json scenario = test::plainScenario();
  scenario["displays"][1]["online"] = false;
  scenario["events"] = {{{"at", 2000}, {"plug", 2}}};
  test::Harness x(scenario);
  x.command({{"format", "auto"},
             {"control", 1},
             {"assign", true},
             {"uuid", "TV-UUID"},
             {"enabled", true},
             {"apply", true},
             {"revision", 1}});
  EXPECT_EQ(x.lastReport()["phase"], "missing");
  x.run(10s);
  EXPECT_EQ(x.lastReport()["phase"], "matched");
  EXPECT_EQ(x.machine->currentModeId(2), 2);
}

}  // namespace
}  // namespace df
