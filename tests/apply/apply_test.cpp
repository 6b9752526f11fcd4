#include "apply/apply.h"

#include <gtest/gtest.h>

#include "link/connection.h"
#include "link/probe.h"
#include "modes/records.h"
#include "support/harness.h"

namespace df {
namespace {

using test::json;
using namespace std::chrono_literals;

class ApplyTest : public testing::Test {
 protected:
  void SetUp() override { target(h); }
  static void target(test::Harness& harness, const char* uuid = "TV-UUID") {
    harness.cx().state.targetUUID = uuid;
    harness.cx().state.controlID = 1;
  }
  void setModeAt(std::chrono::milliseconds at, int modeId) {
    EXPECT_TRUE(h.machine->schedule(at, {{"setMode", {{"display", 2}, {"modeId", modeId}}}}));
  }
  static SettlePredicate modeIs(int id) {
    return [id](const Snapshot& r) { return r.desktop.modeId == id; };
  }
  std::chrono::nanoseconds elapsed() const { return h.queue.now(); }

  test::Harness h{test::plainScenario()};
};

// The studio television's 59.94 Hz connection mode (index 1).
const Connection kConnection5994{1920, 1080, 59.94, "RGB 8-bit", "SDR"};

TEST_F(ApplyTest, SettledNeedsTwoEqualSatisfyingReadings) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::chrono::milliseconds, int>> changes;
    SettlePredicate predicate;
    std::optional<int> result;
    std::chrono::milliseconds elapsed;
    std::uint64_t readings;
  };
  const SettlePredicate any = [](const Snapshot&) { return true; };
  const Case cases[] = {
      {"a, a", {}, any, 1, 50ms, 2},
      {"a, b, b", {{25ms, 3}}, any, 3, 100ms, 3},
      {"a, miss, a, a",
       {{25ms, 2}, {75ms, 1}},
       [](const Snapshot& r) { return r.desktop.modeId != 2; },
       1,
       150ms,
       4},
      {"arrives late", {{400ms, 3}}, modeIs(3), 3, 450ms, 10},
      {"never holds", {}, modeIs(3), std::nullopt, 800ms, 16},
      {"flickers to the end", {}, any, std::nullopt, 800ms, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::Harness harness(test::plainScenario());
    target(harness);
    for (auto [at, id] : c.changes)
      EXPECT_TRUE(harness.machine->schedule(at, {{"setMode", {{"display", 2}, {"modeId", id}}}}));
    if (std::string(c.name) == "flickers to the end") {
      for (int i = 0; i < 16; ++i) {
        EXPECT_TRUE(harness.machine->schedule(
            std::chrono::milliseconds(25 + 50 * i),
            {{"setMode", {{"display", 2}, {"modeId", i % 2 == 0 ? 3 : 1}}}}));
      }
    }
    MaybeSnapshot r = settled(harness.cx(), 2, c.predicate);
    EXPECT_EQ(r.has_value(), c.result.has_value());
    if (r && c.result) {
      EXPECT_EQ(r->desktop.modeId, *c.result);
    }
    EXPECT_EQ(harness.queue.now(), c.elapsed);
    EXPECT_EQ(harness.cx().counters.readings, c.readings);
  }
}

TEST_F(ApplyTest, SettledStopsAtOnceWhenTheDisplayCannotBeRead) {
  h.cx().state.controlID = 2;  // the target is now the control display
  EXPECT_FALSE(settled(h.cx(), 2, modeIs(1)));
  EXPECT_EQ(elapsed(), 0ms);

  test::Harness unplugged(test::plainScenario());
  target(unplugged);
  EXPECT_TRUE(unplugged.machine->schedule(120ms, {{"unplug", 2}}));
  EXPECT_FALSE(settled(unplugged.cx(), 2, modeIs(3)));
  EXPECT_EQ(unplugged.queue.now(), 150ms);
}

TEST_F(ApplyTest, RestoreStateFindsTheModeByItsWholeRecord) {
  MaybeSnapshot original = readSnapshot(h.cx(), 2);
  ASSERT_TRUE(original);
  setModeAt(0ms, 3);
  h.run(1ms);
  EXPECT_TRUE(restoreState(h.cx(), 2, *original));
  EXPECT_EQ(h.machine->currentModeId(2), 1);
  EXPECT_EQ(h.changes(), std::vector<std::string>{"configureDisplayWithMode 2 1"});

  // Already there: no transaction, only the two readings.
  EXPECT_TRUE(restoreState(h.cx(), 2, *original));
  EXPECT_EQ(h.changes().size(), 1u);

  // No mode carries this record ("hz" differs): false, and nothing is started.
  Snapshot unknown = *original;
  unknown.desktop.hz = 61.0;
  setModeAt(0ms, 3);
  h.run(1ms);
  EXPECT_FALSE(restoreState(h.cx(), 2, unknown));
  EXPECT_EQ(h.changes().size(), 1u);
}

TEST_F(ApplyTest, RestoreStateWithLinks) {
  test::Harness studio(test::studioScenario());
  target(studio, "5C9D1E2F-7A38-4B46-8C05-E1F2A3B4C5D6");
  MaybeSnapshot now = readSnapshot(studio.cx(), 2);
  ASSERT_TRUE(now);

  // A stored null link against a live one can never settle.
  Snapshot nullLink = *now;
  nullLink.link.reset();
  const auto start = studio.queue.now();
  EXPECT_FALSE(restoreState(studio.cx(), 2, nullLink));
  EXPECT_EQ(studio.queue.now() - start, 800ms);

  // Same desktop, other connection: the switch back is asked for and verified by the poll,
  // which waits for the link to retrain (250 ms).
  Context& cx = studio.cx();
  setConnection(cx, 2, linkOf(now), &kConnection5994);
  studio.run(250ms);
  ASSERT_FALSE(sameConnection(readSnapshot(cx, 2), now));
  EXPECT_TRUE(restoreState(cx, 2, *now));
  EXPECT_EQ(studio.changes(),
            (std::vector<std::string>{"setCurrentMode 2 1", "setCurrentMode 2 0"}));

  // A desktop change whose signal still follows is waited for; no switch is asked for. With a
  // link that drops its signal while retraining, the same.
  for (const bool drop : {false, true}) {
    SCOPED_TRACE(drop);
    json scenario = test::studioScenario();
    scenario["externalDisplay"]["linkDrop"] = drop;
    test::Harness tv(scenario);
    target(tv, "5C9D1E2F-7A38-4B46-8C05-E1F2A3B4C5D6");
    MaybeSnapshot original = readSnapshot(tv.cx(), 2);
    EXPECT_TRUE(tv.machine->perform({{"setMode", {{"display", 2}, {"modeId", 3}}}}));
    tv.run(300ms);
    const auto start = tv.queue.now();
    EXPECT_TRUE(restoreState(tv.cx(), 2, *original));
    EXPECT_EQ(tv.queue.now() - start, 300ms);  // the link's 250 ms, then one more reading
    EXPECT_EQ(tv.changes(), std::vector<std::string>{"configureDisplayWithMode 2 1"});
  }
}

TEST_F(ApplyTest, RestoreOriginalCases) {
  // Nothing owned: nothing happens.
  restoreOriginal(h.cx());
  EXPECT_FALSE(h.cx().state.restoreFailed);

  struct Case {
    const char* name;
    std::function<void(test::Harness&)> arrange;
    bool restoreFailed;
    std::vector<std::string> changes;
  };
  const Case cases[] = {
      {"still owned: driven back", [](test::Harness&) {}, false, {"configureDisplayWithMode 2 1"}},
      {"control display now 0", [](test::Harness& x) { x.cx().state.controlID = 0; }, true, {}},
      {"target now the control display",
       [](test::Harness& x) { x.cx().state.controlID = 2; },
       true,
       {}},
      {"target gone",
       [](test::Harness& x) {
         EXPECT_TRUE(x.machine->perform({{"unplug", 2}}));
       },
       true,
       {}},
      {"target mirrored",
       [](test::Harness& x) {
         EXPECT_TRUE(x.machine->perform({{"update", {{"display", 2}, {"mirror", true}}}}));
       },
       true,
       {}},
      {"changed by somebody else",
       [](test::Harness& x) {
         EXPECT_TRUE(x.machine->perform({{"setMode", {{"display", 2}, {"modeId", 3}}}}));
       },
       false,
       {}},
      {"owned connection without signal",
       [](test::Harness& x) { x.cx().state.ownedConnectionMode = true; },
       true,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::Harness x(test::plainScenario());
    target(x);
    MaybeSnapshot original = readSnapshot(x.cx(), 2);
    EXPECT_TRUE(x.machine->perform({{"setMode", {{"display", 2}, {"modeId", 2}}}}));
    x.cx().state.originalMode = original;
    x.cx().state.ownedMode = readSnapshot(x.cx(), 2);
    c.arrange(x);
    restoreOriginal(x.cx());
    EXPECT_EQ(x.cx().state.restoreFailed, c.restoreFailed);
    EXPECT_EQ(x.changes(), c.changes);
    EXPECT_FALSE(x.cx().state.originalMode);
    EXPECT_FALSE(x.cx().state.ownedMode);
    EXPECT_FALSE(x.cx().state.ownedConnectionMode);
    // A second call finds nothing to do.
    x.cx().state.restoreFailed = false;
    restoreOriginal(x.cx());
    EXPECT_FALSE(x.cx().state.restoreFailed);
  }
}

TEST_F(ApplyTest, OwnedConnectionIsSwitchedBackAndVerified) {
  // A link that retrains within the poll is verified back; one slower than the poll is not.
  for (const int linkSettleMs : {250, 1200}) {
    SCOPED_TRACE(linkSettleMs);
    json scenario = test::studioScenario();
    scenario["externalDisplay"]["linkSettleMs"] = linkSettleMs;
    test::Harness studio(scenario);
    target(studio, "5C9D1E2F-7A38-4B46-8C05-E1F2A3B4C5D6");
    Context& cx = studio.cx();
    MaybeSnapshot original = readSnapshot(cx, 2);
    setConnection(cx, 2, linkOf(original), &kConnection5994);
    studio.run(std::chrono::milliseconds(linkSettleMs));
    MaybeSnapshot owned = readSnapshot(cx, 2);
    ASSERT_FALSE(same(original, owned));
    cx.state.originalMode = original;
    // The desktop moved too since: only the connection still says the system owns it.
    Snapshot ownedOther = *owned;
    ownedOther.desktop.modeId = 99;
    cx.state.ownedMode = ownedOther;
    cx.state.ownedConnectionMode = true;
    EXPECT_TRUE(ownsReading(cx, owned));
    restoreOriginal(cx);
    EXPECT_EQ(cx.state.restoreFailed, linkSettleMs > 750);
    EXPECT_EQ(studio.changes(),
              (std::vector<std::string>{"setCurrentMode 2 1", "setCurrentMode 2 0"}));
  }
}

TEST_F(ApplyTest, OwnsReading) {
  Context& cx = h.cx();
  MaybeSnapshot a = readSnapshot(cx, 2);
  EXPECT_FALSE(ownsReading(cx, std::nullopt));
  EXPECT_FALSE(ownsReading(cx, a));
  cx.state.ownedMode = a;
  EXPECT_TRUE(ownsReading(cx, a));
  cx.state.ownedConnectionMode = true;
  EXPECT_TRUE(ownsReading(cx, a));
  EXPECT_FALSE(ownsReading(cx, std::nullopt));
}

}  // namespace
}  // namespace df
