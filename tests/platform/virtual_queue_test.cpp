#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sim/machine.h"
#include "platform/sim/virtual_queue.h"

namespace df::sim {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

// Records each block's name with the virtual time it ran at.
struct Trace {
  VirtualQueue& queue;
  std::vector<std::string> ran;
  platform::Block block(std::string name) {
    return [this, name] { ran.push_back(name + "@" + std::to_string(queue.now() / 1ms)); };
  }
};

TEST(VirtualQueue, RunsPostsInOrderAndTimersByDueTimeThenSequence) {
  VirtualQueue q;
  Trace t{q, {}};
  q.postAfter(20ms, t.block("late"));
  q.postAfter(10ms, t.block("first10"));
  q.post(t.block("a"));
  q.postAfter(10ms, t.block("second10"));
  q.post(t.block("b"));
  EXPECT_EQ(q.pendingTimers(), 3U);
  EXPECT_EQ(q.nextTimerDue(), 10ms);
  q.runUntilIdle();
  EXPECT_EQ(t.ran, (std::vector<std::string>{"a@0", "b@0"}));
  EXPECT_EQ(q.now(), 0ms);  // runUntilIdle never moves the clock
  q.runFor(15ms);
  EXPECT_EQ(q.now(), 15ms);
  q.runFor(1h);
  EXPECT_EQ(t.ran,
            (std::vector<std::string>{"a@0", "b@0", "first10@10", "second10@10", "late@20"}));
  EXPECT_EQ(q.pendingTimers(), 0U);
  EXPECT_EQ(q.nextTimerDue(), std::nullopt);
}

TEST(VirtualQueue, BlocksPostedLateRunAfterTimersThatFellDueBefore) {
  VirtualQueue q;
  Trace t{q, {}};
  q.post([&] {
    q.postAfter(5ms, t.block("timer"));
    q.sleep(std::chrono::microseconds(8000));  // the timer falls due during the sleep...
    q.post(t.block("posted"));                 // ...so it goes before this post
  });
  q.postAfter(6ms, t.block("timer6"));
  q.runUntilIdle();
  EXPECT_EQ(t.ran, (std::vector<std::string>{"timer@8", "timer6@8", "posted@8"}));
}

TEST(VirtualQueue, SleepAppliesMachineChangesButRunsNoBlock) {
  VirtualQueue q;
  SimMachine machine(json::parse(R"({"displays": [{"id": 2, "uuid": "TV"}],
                                     "events": [{"at": 5, "unplug": 2}]})"),
                     q.clock());
  q.attach(&machine);
  Trace t{q, {}};
  static Trace* current = nullptr;
  current = &t;
  ASSERT_EQ(machine.registerReconfigurationCallback(
                [](platform::DisplayID, std::uint32_t flags, void* queue) {
                  static_cast<VirtualQueue*>(queue)->post(
                      current->block("notice" + std::to_string(flags)));
                },
                &q),
            0);
  q.postAfter(7ms, t.block("timer"));
  bool offlineInside = false;
  q.post([&] {
    q.sleep(std::chrono::microseconds(10000));
    offlineInside = !machine.isOnline(2);
    t.ran.push_back("sleeper@" + std::to_string(q.now() / 1ms));
  });
  q.runUntilIdle();
  EXPECT_TRUE(offlineInside);
  // The notices were posted at 5 ms, inside the sleep, and wait for the sleeper to end; they
  // still go before the timer due at 7 ms.
  EXPECT_EQ(t.ran,
            (std::vector<std::string>{"sleeper@10", "notice1@10", "notice32@10", "timer@10"}));
}

TEST(VirtualQueue, RunForStepsThroughMachineChangesAtTheirOwnTimes) {
  VirtualQueue q;
  SimMachine machine(json::parse(R"({"displays": [{"id": 2, "uuid": "TV", "online": false}],
                                     "events": [{"at": 30, "plug": 2}]})"),
                     q.clock());
  q.attach(&machine);
  std::vector<std::int64_t> seenAt;
  static std::vector<std::int64_t>* sink = nullptr;
  static VirtualQueue* queue = nullptr;
  sink = &seenAt;
  queue = &q;
  ASSERT_EQ(machine.registerReconfigurationCallback(
                [](platform::DisplayID, std::uint32_t, void*) {
                  queue->post([] { sink->push_back(queue->now() / 1ms); });
                },
                nullptr),
            0);
  EXPECT_TRUE(q.runNext());  // moves to the plug at 30 ms and runs its first notice
  EXPECT_EQ(q.now(), 30ms);
  EXPECT_EQ(seenAt, (std::vector<std::int64_t>{30}));
  EXPECT_FALSE(q.runNext());
  q.runFor(100ms);
  EXPECT_EQ(q.now(), 130ms);
  EXPECT_TRUE(machine.isOnline(2));
}

TEST(VirtualQueue, StopEndsEverythingAndTheHookSeesEachBlock) {
  VirtualQueue q;
  int blocks = 0, hooks = 0;
  q.setAfterBlock([&] { ++hooks; });
  q.post([&] { ++blocks; });
  q.post([&] {
    ++blocks;
    q.stop();
  });
  q.post([&] { ++blocks; });
  q.postAfter(1ms, [&] { ++blocks; });
  q.runFor(1s);
  EXPECT_EQ(blocks, 2);
  EXPECT_EQ(hooks, 2);
  EXPECT_TRUE(q.stopped());
  q.post([&] { ++blocks; });
  EXPECT_FALSE(q.runNext());
  q.runUntilIdle();
  EXPECT_EQ(blocks, 2);
}

TEST(VirtualQueue, AcceptsPostsFromOtherThreads) {
  VirtualQueue q;
  int sum = 0;
  std::thread poster([&] {
    for (int i = 1; i <= 100; ++i) q.post([&sum, i] { sum += i; });
  });
  poster.join();
  q.runUntilIdle();
  EXPECT_EQ(sum, 5050);
}

}  // namespace
}  // namespace df::sim
