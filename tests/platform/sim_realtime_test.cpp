#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sim/machine.h"
#include "platform/sim/realtime.h"

namespace df::sim {
namespace {

using namespace std::chrono_literals;

struct Seen {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::uint32_t> flags;
  std::vector<Nanos> at;
  std::thread::id thread;
  RealtimeClock* clock = nullptr;
};

void onNotice(platform::DisplayID, std::uint32_t flags, void* user) {
  auto* seen = static_cast<Seen*>(user);
  std::lock_guard lock(seen->mutex);
  seen->flags.push_back(flags);
  seen->at.push_back((*seen->clock)());
  seen->thread = std::this_thread::get_id();
  seen->cv.notify_all();
}

// Real time, kept to a few tens of milliseconds: a scripted unplug at 15 ms, and a change
// scheduled after the driver started (which must wake it from an idle wait).
TEST(SimRealtime, AppliesTheTimelineOnItsOwnThreadOnTime) {
  RealtimeClock clock;
  SimMachine machine(nlohmann::json::parse(R"({"displays": [{"id": 2, "uuid": "TV"}],
                                               "events": [{"at": 15, "unplug": 2}]})"),
                     clock.function());
  Seen seen;
  seen.clock = &clock;
  ASSERT_EQ(machine.registerReconfigurationCallback(&onNotice, &seen), 0);
  {
    RealtimeDriver driver(machine);
    std::unique_lock lock(seen.mutex);
    ASSERT_TRUE(seen.cv.wait_for(lock, 2s, [&] { return seen.flags.size() == 2; }));
    EXPECT_GE(seen.at.back(), 15ms);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    lock.unlock();

    ASSERT_TRUE(machine.schedule(clock() + 5ms, {{"plug", 2}}));
    lock.lock();
    ASSERT_TRUE(seen.cv.wait_for(lock, 2s, [&] { return seen.flags.size() == 3; }));
  }
  EXPECT_EQ(seen.flags, (std::vector<std::uint32_t>{0x1, 0x20, 0x10}));
  EXPECT_TRUE(machine.isOnline(2));
}

}  // namespace
}  // namespace df::sim
