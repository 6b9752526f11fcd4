// The main queue: one serial queue that runs every block of the service's logic.
#pragma once

#include <chrono>
#include <functional>

namespace df::platform {

using Block = std::function<void()>;

class MainQueue {
 public:
  virtual ~MainQueue() = default;
  // Queues a block; callable from any thread. Blocks run one at a time, in order.
  virtual void post(Block block) = 0;
  // Queues a block to run no earlier than delay from now; never cancelled.
  virtual void postAfter(std::chrono::nanoseconds delay, Block block) = 0;
  // Sleeps the queue (called from a block on it): nothing else runs on the queue meanwhile.
  virtual void sleep(std::chrono::microseconds duration) = 0;
};

}  // namespace df::platform
