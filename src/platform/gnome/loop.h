// The bus on the Asio loop: Mutter's signals are dispatched when the connection's descriptor
// becomes readable (or when sd-bus's own timeout passes), never by polling.
#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "platform/gnome/displays.h"

namespace df::platform::gnome {

class BusWatch {
 public:
  BusWatch(asio::io_context& io, MutterDisplays& displays);
  BusWatch(const BusWatch&) = delete;
  BusWatch& operator=(const BusWatch&) = delete;
  // Waits for what sd-bus waits for, dispatches it, and waits again until the bus is lost.
  void start();

 private:
  void ready(const asio::error_code& e);

  MutterDisplays& displays_;
  asio::posix::stream_descriptor descriptor_;
  asio::steady_timer timer_;
  bool waiting_ = false;
};

}  // namespace df::platform::gnome
