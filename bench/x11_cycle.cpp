// The cost of an inspection on the X server that DISPLAY names: time, X round trips and reply
// bytes, with the state read before (nothing changed since) and with it read afresh (after a
// display event). Prints one JSON object. The television must be DUMMY1, the control DUMMY0.
#include <chrono>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "control/service.h"
#include "cycle/cycle.h"
#include "platform/asio/asio_queue.h"
#include "platform/x11/randr.h"

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::stoi(argv[1]) : 1000;
  df::platform::AsioQueue queue;
  auto displays = df::platform::x11::RandrDisplays::connect(nullptr, queue);
  if (!displays) return 1;
  df::platform::x11::RandrRegistry registry(*displays);
  df::platform::x11::RandrExternalDisplays external(*displays);
  df::Service service(
      {*displays, registry, external}, queue, [](std::string_view) {}, [](int) {});
  if (service.start() != df::platform::kSuccess) return 1;

  std::uint32_t control = 0, tv = 0;
  std::uint32_t ids[16];
  std::uint32_t count = 0;
  displays->getOnlineDisplayList(16, ids, &count);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (displays->outputName(ids[i]) == "DUMMY0") control = ids[i];
    if (displays->outputName(ids[i]) == "DUMMY1") tv = ids[i];
  }
  service.handleCommand({{"format", "current"},
                         {"control", control},
                         {"assign", true},
                         {"id", tv},
                         {"enabled", true},
                         {"revision", 1}});

  nlohmann::json out;
  for (bool fresh : {false, true}) {
    const auto before = displays->traffic();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) {
      if (fresh) displays->forget();
      df::inspect(service.context(), false);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto& after = displays->traffic();
    out[fresh ? "fresh" : "unchanged"] = {
        {"seconds", seconds / runs},
        {"roundTrips", double(after.roundTrips - before.roundTrips) / runs},
        {"bytes", double(after.replyBytes - before.replyBytes) / runs}};
  }
  std::puts(out.dump().c_str());
  return 0;
}
