#include "platform/darwin/main_queue.h"

#include <memory>
#include <utility>

#include <dispatch/dispatch.h>
#include <unistd.h>

namespace df::platform::darwin {
namespace {

// Runs a block queued by post or postAfter, and frees it.
void runBlock(void* context) {
  const std::unique_ptr<Block> block(static_cast<Block*>(context));
  (*block)();
}

}  // namespace

void DispatchMainQueue::post(Block block) {
  dispatch_async_f(dispatch_get_main_queue(), new Block(std::move(block)), &runBlock);
}

void DispatchMainQueue::postAfter(std::chrono::nanoseconds delay, Block block) {
  const auto ns = delay.count() > 0 ? delay.count() : 0;
  dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(ns)),
                   dispatch_get_main_queue(), new Block(std::move(block)), &runBlock);
}

void DispatchMainQueue::sleep(std::chrono::microseconds duration) {
  // usleep may refuse a second or more, so longer sleeps go in steps.
  constexpr std::chrono::microseconds::rep kStep = 999'999;
  for (auto left = duration.count(); left > 0; left -= kStep) {
    usleep(static_cast<useconds_t>(left < kStep ? left : kStep));
  }
}

}  // namespace df::platform::darwin
