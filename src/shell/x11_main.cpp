// displayformatd on Linux: the service over X11 RandR on the display that DISPLAY names.
// Standard output carries the status reports (or, with --list-displays, one line per display);
// nothing is written to standard error.
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>

#include <asio/posix/stream_descriptor.hpp>
#include <nlohmann/json.hpp>

#include "control/display_list.h"
#include "control/service.h"
#include "control/signals.h"
#include "control/stdin_reader.h"
#include "cycle/cycle.h"
#include "modes/records.h"
#include "platform/asio/asio_queue.h"
#include "platform/platform.h"
#include "platform/x11/randr.h"

namespace {

namespace x11 = df::platform::x11;

[[noreturn]] void exitProcess(int status) {
  std::fflush(stdout);
  std::_Exit(status);
}

int listDisplays(x11::RandrDisplays& displays) {
  return df::writeDisplayList(displays,
                              {[&](df::platform::DisplayID id) { return displays.outputName(id); },
                               [&](df::platform::DisplayID id) { return displays.isPrimary(id); }},
                              stdout);
}

}  // namespace

int main(int argc, char** argv) {
  df::blockEndingSignals();
  // A write to a vanished X server or a closed standard output fails instead of killing the
  // process: the lost connection is reported, the closed output ends the conversation.
  df::ignoreBrokenPipes();

  const bool list = argc == 2 && std::strcmp(argv[1], "--list-displays") == 0;
  if (argc > 1 && !list) return 2;

  df::platform::AsioQueue queue;
  std::unique_ptr<x11::RandrDisplays> displays = x11::RandrDisplays::connect(nullptr, queue);
  if (!displays) return 1;
  if (list) return listDisplays(*displays);

  x11::RandrRegistry registry(*displays);
  x11::RandrExternalDisplays external(*displays);
  df::Service service(df::platform::Platform{*displays, registry, external}, queue, {},
                      &exitProcess);
  service.setReportFile(stdout);
  // Developer diagnostics, as on macOS; stderr stays silent.
  if (const char* path = std::getenv("DISPLAYFORMAT_DIAGNOSTICS"); path && *path) {
    if (std::FILE* f = std::fopen(path, "a")) service.setDiagnosticsFile(f);
  }
  if (service.start() != df::platform::kSuccess) exitProcess(1);

  // Without the server nothing can be seen or restored: the target is reported missing once
  // more (a report equal to the last one is not written again), and the process ends. Commands
  // still queued behind the loss are dropped rather than each answered with a "missing".
  service.setPlatformGone([&displays] { return displays->lost(); });
  displays->onLost([&service] {
    if (service.state().revision != 0) df::inspect(service.context(), false);
    exitProcess(1);
  });

  df::watchEndingSignals(queue, [&service] { service.terminate(); });
  std::thread([&queue, &service] { df::readCommands(stdin, queue, service); }).detach();

  // Events are read when the connection becomes readable: no polling, no idle wake-ups.
  asio::posix::stream_descriptor connection(queue.context(), ::dup(displays->fd()));
  std::function<void()> watch = [&] {
    connection.async_wait(asio::posix::stream_descriptor::wait_read,
                          [&](const asio::error_code& e) {
                            if (e) return;
                            displays->readEvents();
                            if (!displays->lost()) watch();
                          });
  };
  watch();
  queue.run();
}
