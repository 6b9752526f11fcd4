// EDID decoding on the real EDIDs of tests/data/edid: each file alone, the whole corpus, and the
// corpus through the decoder and the mode rule together.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "edid/edid.h"
#include "edid/modes.h"

namespace df::bench {
namespace {

using Corpus = std::vector<std::pair<std::string, std::vector<std::uint8_t>>>;

const Corpus& corpus() {
  static const Corpus files = [] {
    Corpus out;
    for (const auto& e : std::filesystem::directory_iterator(DF_SOURCE_DIR "/tests/data/edid")) {
      if (e.path().extension() != ".bin") continue;
      std::ifstream in(e.path(), std::ios::binary);
      out.emplace_back(e.path().stem().string(),
                       std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}));
    }
    if (out.empty()) die("no EDIDs in tests/data/edid");
    std::sort(out.begin(), out.end());
    return out;
  }();
  return files;
}

void BM_decodeCorpus(benchmark::State& state) {
  for (auto _ : state)
    for (const auto& [name, bytes] : corpus()) benchmark::DoNotOptimize(edid::decode(bytes));
  state.counters["files"] = static_cast<double>(corpus().size());
}
BENCHMARK(BM_decodeCorpus);

void BM_decodeAndModesCorpus(benchmark::State& state) {
  for (auto _ : state)
    for (const auto& [name, bytes] : corpus())
      benchmark::DoNotOptimize(edid::offeredModes(edid::decode(bytes)));
}
BENCHMARK(BM_decodeAndModesCorpus);

const bool kPerFile = [] {
  for (const auto& [name, bytes] : corpus()) {
    const auto* b = &bytes;
    benchmark::RegisterBenchmark(("BM_decode/" + name).c_str(), [b](benchmark::State& state) {
      for (auto _ : state) benchmark::DoNotOptimize(edid::decode(*b));
    });
  }
  return true;
}();

}  // namespace
}  // namespace df::bench

BENCHMARK_MAIN();
