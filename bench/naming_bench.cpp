// Naming on the default scenario: formatOf and nativeKey over the television's modes (one call
// per iteration, cycling through the modes), and one probe of the HDMI link.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "link/probe.h"
#include "modes/format.h"
#include "modes/records.h"

namespace df::bench {
namespace {

struct Modes {
  Modes() : rig(studioScenario()) {
    auto list = rig.cx().platform.displays.modes(2);
    if (!list || list->empty()) die("display 2 lists no modes");
    handles = std::move(*list);
  }
  Rig rig;
  std::vector<platform::ModeHandle> handles;
  const std::optional<std::string> uuid = std::string("5C9D1E2F-7A38-4B46-8C05-E1F2A3B4C5D6");
};

void BM_formatOf(benchmark::State& state) {
  Modes m;
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(formatOf(m.handles[i].get()));
    if (++i == m.handles.size()) i = 0;
  }
  state.counters["modes"] = static_cast<double>(m.handles.size());
}
BENCHMARK(BM_formatOf);

void BM_nativeKey(benchmark::State& state) {
  Modes m;
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(nativeKey(m.handles[i].get(), m.uuid));
    if (++i == m.handles.size()) i = 0;
  }
  state.counters["modes"] = static_cast<double>(m.handles.size());
}
BENCHMARK(BM_nativeKey);

void BM_hdmiLink(benchmark::State& state) {
  Rig rig(studioScenario());
  if (!hdmiLink(rig.cx(), 2)) die("the default scenario has no HDMI link");
  for (auto _ : state) benchmark::DoNotOptimize(hdmiLink(rig.cx(), 2));
}
BENCHMARK(BM_hdmiLink);

}  // namespace
}  // namespace df::bench

BENCHMARK_MAIN();
