// displayformatd on Linux: the service over GNOME's display configuration (Mutter's
// DisplayConfig on the session bus) where GNOME runs, else over X11 RandR on the display that
// DISPLAY names. `--backend gnome|x11` takes one of them without looking for the other.
// Standard output carries the status reports (or, with --list-displays, one line per display);
// nothing is written to standard error.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>

#include <asio/posix/stream_descriptor.hpp>

#include "control/display_list.h"
#include "control/entry.h"
#include "platform/asio/asio_queue.h"
#include "platform/gnome/displays.h"
#include "platform/gnome/loop.h"
#include "platform/platform.h"
#include "platform/x11/randr.h"

namespace {

namespace gnome = df::platform::gnome;
namespace x11 = df::platform::x11;
using df::platform::DisplayID;

enum class Backend { kAny, kGnome, kX11 };

struct Options {
  Backend backend = Backend::kAny;
  bool list = false;
};

// False for an unknown option or a missing or unknown backend name.
bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--list-displays") {
      options.list = true;
    } else if (arg == "--backend" && i + 1 < argc && options.backend == Backend::kAny) {
      const std::string_view name = argv[++i];
      if (name == "gnome") {
        options.backend = Backend::kGnome;
      } else if (name == "x11") {
        options.backend = Backend::kX11;
      } else {
        return false;
      }
    } else {
      return false;
    }
  }
  return true;
}

// Mutter's EDIDs come from the kernel's connectors or, on an X11 session, from RandR. On
// Wayland, DISPLAY names Xwayland, which has no EDIDs and which a connection would start.
gnome::EdidPlaces edidPlaces() {
  gnome::EdidPlaces places;
  const char* display = std::getenv("DISPLAY");
  if (display != nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) places.x11Display = display;
  return places;
}

[[noreturn]] void runGnome(df::Entry& entry, df::platform::AsioQueue& queue,
                           gnome::MutterDisplays& displays) {
  // Mutter has no HDMI link to offer: no timings, no colour or HDR modes.
  static df::platform::NoLinks links;
  df::Service& service =
      entry.start({displays, links, gnome::kCapabilities}, queue, df::diagnosticsFromEnvironment());
  // Without the bus or Mutter the process ends, as without the X server.
  service.setPlatformGone([&displays] { return displays.lost(); });
  displays.onLost([&service] { service.platformLost(); });
  entry.readStdin();
  gnome::BusWatch watch(queue.context(), displays);
  watch.start();
  queue.run();
  entry.exit(1);
}

// The X11 RandR backend: the service over the server that DISPLAY names.
[[noreturn]] void runX11(df::Entry& entry, df::platform::AsioQueue& queue, x11::Randr& randr) {
  x11::Connection& server = randr.connection();
  // Developer diagnostics, as on macOS; stderr stays silent.
  df::Service& service = entry.start(randr.platform(), queue, df::diagnosticsFromEnvironment());

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
  entry.exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  df::Entry entry;

  Options options;
  if (!parse(argc, argv, options)) return 2;

  df::platform::AsioQueue queue;
  if (options.backend != Backend::kX11) {
    if (auto displays = gnome::MutterDisplays::connect(queue, edidPlaces())) {
      if (options.list)
        return df::writeDisplayList(*displays,
                                    {[&](DisplayID id) { return displays->connector(id); },
                                     [&](DisplayID id) { return displays->isPrimary(id); }},
                                    stdout);
      runGnome(entry, queue, *displays);
    }
    if (options.backend == Backend::kGnome) return 1;
  }
  if (options.backend == Backend::kAny && std::getenv("DISPLAY") == nullptr) return 1;

  std::unique_ptr<x11::Randr> randr = x11::Randr::connect(nullptr, queue);
  if (!randr) return 1;
  if (options.list)
    return df::writeDisplayList(randr->displays(),
                                {[&](DisplayID id) { return randr->displays().name(id); },
                                 [&](DisplayID id) { return randr->displays().isPrimary(id); }},
                                stdout);
  runX11(entry, queue, *randr);
}
