// The inspection that changes nothing, on the default scenario and on a large machine, with the
// allocations it makes; and the parse and dispatch of one command line.
//
// Besides the Google Benchmark runs, `cycle_bench --cycles N [--machine default|large]
// [--request current|shown]` sets the service up and runs N such inspections, nothing more:
// under callgrind, the difference between two values of N gives instructions per inspection.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "control/stdin_reader.h"
#include "cycle/cycle.h"

// Every allocation of this binary is counted.
namespace {
std::atomic<std::uint64_t> allocations{0};

void* allocate(std::size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) {
  return allocate(n);
}
void* operator new[](std::size_t n) {
  return allocate(n);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace df::bench {
namespace {

// "current" approves what the display shows; "shown" asks for the format it already shows
// (1080p60.00 on both machines), so that the first command verifies it without a change.
json firstCommand(std::string_view request) {
  if (request == "current") return assignCommand("current", false);
  if (request == "shown") return assignCommand("1080p60.00", true);
  die("unknown request \"" + std::string(request) + "\" (current or shown)");
}

// A service whose display has settled after the first command.
std::unique_ptr<Rig> settledRig(std::string_view machine, std::string_view request) {
  auto rig = std::make_unique<Rig>(machineScenario(machine));
  rig->command(firstCommand(request));
  rig->queue.runFor(std::chrono::seconds(2));  // the debounce of any notices, and rechecks
  const std::string want = request == "current" ? "current" : "matched";
  if (rig->phase() != want) die("first command ended in \"" + rig->phase() + "\", not " + want);
  return rig;
}

void inspectUnchanged(benchmark::State& state, std::string_view machine, std::string_view request) {
  auto rig = settledRig(machine, request);
  const std::size_t lines = rig->lines;
  const std::uint64_t before = allocations.load();
  for (auto _ : state) inspect(rig->cx(), false);
  const std::uint64_t made = allocations.load() - before;
  if (rig->lines != lines || rig->queue.pendingBlocks() != 0)
    state.SkipWithError("the inspection changed something");
  state.counters["allocs/cycle"] =
      static_cast<double>(made) / static_cast<double>(state.iterations());
}
BENCHMARK_CAPTURE(inspectUnchanged, default_current, "default", "current");
BENCHMARK_CAPTURE(inspectUnchanged, default_shown, "default", "shown");
BENCHMARK_CAPTURE(inspectUnchanged, large_current, "large", "current");
BENCHMARK_CAPTURE(inspectUnchanged, large_shown, "large", "shown");

// Two revisions of one "current" command, so that every dispatch writes a report line.
const std::string kLines[2] = {R"({"format":"current","control":1,"enabled":true,"revision":2})"
                               "\n",
                               R"({"format":"current","control":1,"enabled":true,"revision":3})"
                               "\n"};
const std::string kAssignLine =
    R"({"format":"current","control":1,"assign":true,"id":2,"enabled":true,"apply":false,"revision":1})"
    "\n";

void BM_parseCommand(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(parseCommand(kAssignLine));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kAssignLine.size()));
}
BENCHMARK(BM_parseCommand);

// Parse, then dispatch to handleCommand on the virtual queue as the stdin reader does; the
// handler runs its inspection and writes a report.
void BM_parseAndDispatch(benchmark::State& state) {
  Rig rig(studioScenario());
  rig.command(*parseCommand(kAssignLine));
  const std::size_t lines = rig.lines;
  std::size_t i = 0;
  for (auto _ : state) {
    auto command = parseCommand(kLines[i ^= 1]);
    auto shared = std::make_shared<const json>(std::move(*command));
    rig.queue.post([&rig, shared] { rig.service->handleCommand(*shared); });
    rig.queue.runUntilIdle();
  }
  if (rig.lines - lines != static_cast<std::size_t>(state.iterations()) ||
      rig.queue.pendingBlocks() != 0)
    state.SkipWithError("not one report per command");
}
BENCHMARK(BM_parseAndDispatch);

// The callgrind mode: set up, then exactly n inspections.
int runCycles(long n, std::string_view machine, std::string_view request) {
  auto rig = settledRig(machine, request);
  const std::size_t lines = rig->lines;
  for (long i = 0; i < n; ++i) inspect(rig->cx(), false);
  if (rig->lines != lines) die("an inspection wrote a report");
  // The size of what the inspections went through, for scaling comparisons.
  const auto modes = rig->cx().platform.displays.modes(2);
  std::printf("inspections %ld\ntarget-modes %zu\n", n, modes ? modes->size() : 0);
  return 0;
}

}  // namespace
}  // namespace df::bench

int main(int argc, char** argv) {
  long cycles = -1;
  std::string_view machine = "default";
  std::string_view request = "current";
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--cycles") == 0) cycles = std::atol(argv[i + 1]);
    if (std::strcmp(argv[i], "--machine") == 0) machine = argv[i + 1];
    if (std::strcmp(argv[i], "--request") == 0) request = argv[i + 1];
  }
  if (cycles >= 0) return df::bench::runCycles(cycles, machine, request);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
