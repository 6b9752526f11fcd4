// displayformatd on Linux: the service over X11 RandR on the display that DISPLAY names.
// Standard output carries the status reports (or, with --list-displays, one line per display);
// nothing is written to standard error.
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>

#include <asio/posix/stream_descriptor.hpp>

#include "control/display_list.h"
#include "control/entry.h"
#include "platform/asio/asio_queue.h"
#include "platform/platform.h"
#include "platform/x11/randr.h"

namespace {

namespace x11 = df::platform::x11;

int listDisplays(x11::RandrDisplays& displays) {
  return df::writeDisplayList(displays,
                              {[&](df::platform::DisplayID id) { return displays.name(id); },
                               [&](df::platform::DisplayID id) { return displays.isPrimary(id); }},
                              stdout);
}

}  // namespace

int main(int argc, char** argv) {
  df::Entry entry;

  const bool list = argc == 2 && std::strcmp(argv[1], "--list-displays") == 0;
  if (argc > 1 && !list) return 2;

  df::platform::AsioQueue queue;
  std::unique_ptr<x11::Randr> randr = x11::Randr::connect(nullptr, queue);
  if (!randr) return 1;
  if (list) return listDisplays(randr->displays());
  x11::Connection& server = randr->connection();

  // Developer diagnostics, as on macOS; stderr stays silent.
  df::Service& service = entry.start(randr->platform(), queue, df::diagnosticsFromEnvironment());

  // Without the server the process ends. Commands still queued behind the loss are dropped
  // rather than each answered with a "missing".
  service.setPlatformGone([&server] { return server.lost(); });
  server.onLost([&service] { service.platformLost(); });

  entry.readStdin();

  // Events are read when the connection becomes readable: no polling, no idle wake-ups.
  asio::posix::stream_descriptor connection(queue.context(), ::dup(server.fd()));
  std::function<void()> watch = [&] {
    connection.async_wait(asio::posix::stream_descriptor::wait_read,
                          [&](const asio::error_code& e) {
                            if (e) return;
                            server.readEvents();
                            if (!server.lost()) watch();
                          });
  };
  watch();
  queue.run();
}
