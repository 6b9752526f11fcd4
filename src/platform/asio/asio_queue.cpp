#include "platform/asio/asio_queue.h"

#include <memory>
#include <thread>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace df::platform {

AsioQueue::AsioQueue() : work_(asio::make_work_guard(io_)) {}

void AsioQueue::post(Block block) {
  asio::post(io_, std::move(block));
}

void AsioQueue::postAfter(std::chrono::nanoseconds delay, Block block) {
  auto timer = std::make_shared<asio::steady_timer>(io_, delay);
  timer->async_wait([timer, block = std::move(block)](const asio::error_code&) { block(); });
}

void AsioQueue::sleep(std::chrono::microseconds duration) {
  std::this_thread::sleep_for(duration);
}

void AsioQueue::run() {
  for (;;) {
    io_.run();
    io_.restart();
  }
}

}  // namespace df::platform
