// The cost of an inspection on the GNOME backend, against the Mutter that the session bus
// (DBUS_SESSION_BUS_ADDRESS) carries: time and D-Bus calls, with the state read before (nothing
// changed since) and with it dropped as MonitorsChanged drops it. Prints one JSON object. The
// television must be DUMMY1, the control DUMMY0.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "control/service.h"
#include "cycle/cycle.h"
#include "platform/asio/asio_queue.h"
#include "platform/gnome/displays.h"

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::stoi(argv[1]) : 1000;
  df::platform::AsioQueue queue;
  df::platform::gnome::EdidPlaces places;
  if (const char* display = std::getenv("DISPLAY")) places.x11Display = display;
  auto displays = df::platform::gnome::MutterDisplays::connect(queue, places);
  if (!displays) return 1;
  df::platform::NoLinks links;
  df::Service service(
      {*displays, links, df::platform::gnome::kCapabilities}, queue, [](std::string_view) {},
      [](int) {});
  if (!service.start()) return 1;

  const auto control = df::platform::gnome::displayIdOf("DUMMY0");
  const auto tv = df::platform::gnome::displayIdOf("DUMMY1");
  service.handleCommand({{"format", "current"},
                         {"control", control},
                         {"assign", true},
                         {"id", tv},
                         {"enabled", true},
                         {"revision", 1}});

  nlohmann::json out;
  for (bool fresh : {false, true}) {
    const std::uint64_t before = displays->bus().calls();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) {
      if (fresh) displays->forget();
      df::inspect(service.context(), false);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out[fresh ? "fresh" : "unchanged"] = {
        {"seconds", seconds / runs}, {"calls", double(displays->bus().calls() - before) / runs}};
  }
  std::puts(out.dump().c_str());
  return 0;
}
