#include "platform/gnome/loop.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>

namespace df::platform::gnome {

BusWatch::BusWatch(asio::io_context& io, MutterDisplays& displays)
    : displays_(displays), descriptor_(io, ::dup(displays.bus().fd())), timer_(io) {}

void BusWatch::start() {
  if (displays_.lost()) return;
  MutterBus& bus = displays_.bus();
  if (!waiting_) {
    waiting_ = true;
    const bool write = (bus.events() & POLLOUT) != 0;
    descriptor_.async_wait(write ? asio::posix::stream_descriptor::wait_write
                                 : asio::posix::stream_descriptor::wait_read,
                           [this](const asio::error_code& e) {
                             waiting_ = false;
                             ready(e);
                           });
  }
  // sd-bus has a timeout only while an asynchronous call waits for its reply; the calls here
  // block, so this stays unset and the idle loop never wakes.
  const std::uint64_t at = bus.timeout();
  if (at != UINT64_MAX) {
    // steady_clock is CLOCK_MONOTONIC, the clock of sd-bus's timeouts.
    timer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::microseconds(at)));
    timer_.async_wait([this](const asio::error_code& e) { ready(e); });
  }
}

void BusWatch::ready(const asio::error_code& e) {
  if (e) return;  // cancelled
  displays_.dispatch();
  start();
}

}  // namespace df::platform::gnome
