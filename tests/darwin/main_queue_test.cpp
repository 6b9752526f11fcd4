#include "platform/darwin/main_queue.h"

#include <chrono>
#include <string>

#include "darwin/fake.h"

namespace df::platform::darwin {
namespace {

using MainQueueTest = fake::Test;
using std::chrono::nanoseconds;

TEST_F(MainQueueTest, BlocksGoToTheMainQueueAndRunInOrder) {
  DispatchMainQueue queue;
  std::string ran;
  queue.post([&] {
    ran += "a";
    queue.post([&] { ran += "c"; });
  });
  queue.postAfter(nanoseconds(180'000'000), [&] { ran += "b"; });
  queue.postAfter(nanoseconds(-5), [&] { ran += "d"; });
  const auto queued = fake::queued();
  ASSERT_EQ(queued.size(), 3u);
  for (const auto& q : queued) EXPECT_EQ(q.queue, dispatch_get_main_queue());
  EXPECT_EQ(queued[0].when, std::nullopt);
  EXPECT_EQ(queued[1].when, DISPATCH_TIME_NOW + 180'000'000);
  EXPECT_EQ(queued[2].when, DISPATCH_TIME_NOW);  // a delay below zero is no delay
  fake::runQueued();
  fake::runQueued();
  EXPECT_EQ(ran, "abdc");
}

}  // namespace
}  // namespace df::platform::darwin
