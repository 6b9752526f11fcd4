// The main queue of the Linux process: an Asio io_context run on the main thread.
#pragma once

#include <asio/io_context.hpp>

#include "platform/main_queue.h"

namespace df::platform {

class AsioQueue final : public MainQueue {
 public:
  AsioQueue();
  void post(Block block) override;
  void postAfter(std::chrono::nanoseconds delay, Block block) override;
  void sleep(std::chrono::microseconds duration) override;

  // Runs blocks on the calling thread for the life of the process.
  void run();
  asio::io_context& context() { return io_; }

 private:
  asio::io_context io_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
};

}  // namespace df::platform
