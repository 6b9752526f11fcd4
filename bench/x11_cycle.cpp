// The cost of an inspection and of a configuration on the X server that DISPLAY names: time, X
// round trips and reply bytes. The inspection with the state kept from before (nothing changed
// since) and read afresh (after a display event); the configuration with the kept state current,
// switching the television between 1080p50 and 1080p60 and back to its mode at the end. Prints
// one JSON object. The television must be DUMMY1, the control DUMMY0.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "control/service.h"
#include "cycle/cycle.h"
#include "platform/asio/asio_queue.h"
#include "platform/x11/randr.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace platform = df::platform;

// The television's progressive 1080-line mode at exactly hz.
const platform::Mode* find1080p(const std::vector<platform::ModeHandle>& modes, double hz) {
  for (const platform::ModeHandle& m : modes) {
    const platform::ModeInfo& i = m->info();
    if (i.width == 1920 && i.height == 1080 && !i.interlaced && i.hz == hz) return m.get();
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::stoi(argv[1]) : 1000;
  platform::AsioQueue queue;
  auto randr = platform::x11::Randr::connect(nullptr, queue);
  if (!randr) return 1;
  platform::x11::Connection& x = randr->connection();
  platform::x11::RandrDisplays& displays = randr->displays();
  df::Service service(
      randr->platform(), queue, [](std::string_view) {}, [](int) {});
  if (!service.start()) return 1;

  platform::DisplayID control = 0, tv = 0;
  std::vector<platform::DisplayID> ids;
  displays.list(ids);
  for (platform::DisplayID id : ids) {
    if (displays.name(id) == "DUMMY0") control = id;
    if (displays.name(id) == "DUMMY1") tv = id;
  }
  service.handleCommand({{"format", "current"},
                         {"control", control},
                         {"assign", true},
                         {"id", tv},
                         {"enabled", true},
                         {"revision", 1}});

  nlohmann::json out;
  for (bool fresh : {false, true}) {
    const auto before = x.traffic();
    const auto start = Clock::now();
    for (int i = 0; i < runs; ++i) {
      if (fresh) x.forget();
      df::inspect(service.context(), false);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const auto& after = x.traffic();
    out[fresh ? "fresh" : "unchanged"] = {
        {"seconds", seconds / runs},
        {"roundTrips", double(after.roundTrips - before.roundTrips) / runs},
        {"bytes", double(after.replyBytes - before.replyBytes) / runs}};
  }

  auto modes = displays.modes(tv);
  const platform::ModeHandle original = displays.currentMode(tv);
  const platform::Mode* p50 = modes ? find1080p(*modes, 50) : nullptr;
  const platform::Mode* p60 = modes ? find1080p(*modes, 60) : nullptr;
  if (p50 == nullptr || p60 == nullptr || !original) return 1;
  const int switches = std::max(2, runs / 10);
  std::vector<double> seconds;
  std::uint64_t most = 0, all = 0;
  for (int i = 0; i < switches; ++i) {
    const auto before = x.traffic().roundTrips;
    const auto start = Clock::now();
    if (!displays.configure(tv, i % 2 == 0 ? p50 : p60)) return 1;
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    const std::uint64_t trips = x.traffic().roundTrips - before;
    most = std::max(most, trips);
    all += trips;
    // As the verification does next: the change's own events bring the kept state up to date.
    if (!displays.isActive(tv)) return 1;
  }
  for (const platform::ModeHandle& m : *modes) {
    if (m->info() == original->info()) displays.configure(tv, m.get());
  }
  std::nth_element(seconds.begin(), seconds.begin() + switches / 2, seconds.end());
  out["transaction"] = {{"seconds", seconds[switches / 2]},
                        {"roundTrips", double(all) / switches},
                        {"mostRoundTrips", most}};
  std::puts(out.dump().c_str());
  return 0;
}
