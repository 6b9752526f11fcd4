// The main queue over libdispatch. The main thread must run its CFRunLoop, which drains
// libdispatch's main queue.
#pragma once

#include <chrono>

#include "platform/main_queue.h"

namespace df::platform::darwin {

class DispatchMainQueue final : public MainQueue {
 public:
  void post(Block block) override;
  void postAfter(std::chrono::nanoseconds delay, Block block) override;
  // Blocks the main thread, and so the main queue, for the duration.
  void sleep(std::chrono::microseconds duration) override;
};

}  // namespace df::platform::darwin
