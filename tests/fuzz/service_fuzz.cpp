// libFuzzer target: arbitrary bytes as the service's standard input, on the simulated machine
// and the virtual clock. The first byte picks the machine; the rest is split into lines as the
// stdin reader splits them, each line goes through parseCommand and, when it is a command, the
// command handler, and the queue runs a little between lines. The end of the input is the end
// of input: the termination handler runs and must exit with 0.
//
// A first byte with both top bits set picks an EDID instead: the next two bytes give its length
// (little-endian, at most 1024), the bytes follow and the rest is the input as above. The EDID
// is decoded; when it has a header, the television built from it (panel plus that television,
// as displayformat-sim --edid makes it) is the machine.
//
// Besides crashes, leaks and sanitizer reports, any broken invariant aborts: a change that
// reaches a display it may not touch, a platform object alive after its block, an inspection
// without exactly one report, a line that is not a valid report.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "control/service.h"
#include "control/stdin_reader.h"
#include "edid/edid.h"
#include "platform/sim/edid_scenario.h"
#include "platform/sim/machine.h"
#include "platform/sim/scenario.h"
#include "platform/sim/virtual_queue.h"
#include "simulation/guard.h"
#include "simulation/report_rules.h"

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

[[noreturn]] void broken(const std::string& what) {
  std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
  std::abort();
}

json load(const char* name) {
  std::ifstream in(std::string(DF_SOURCE_DIR "/scenarios/") + name);
  json scenario = json::parse(in, nullptr, false);
  std::string error;
  if (scenario.is_discarded() || !df::sim::normalizeScenario(scenario, error))
    broken(std::string("cannot load ") + name + ": " + error);
  return scenario;
}

// The machines an input can pick: the bundled scenarios, and the television made difficult.
std::vector<json> machines() {
  const json studio = load("studio-tv.json");
  std::vector<json> out = {studio, load("slow-tv-hotplug.json")};

  json faulty = studio;
  faulty["faults"] = {
      {{"call", "copyDisplayMode"}, {"error", 1000}, {"after", 3}, {"times", 2}},
      {{"call", "completeConfiguration"}, {"error", 1004}, {"display", 2}, {"times", 1}},
      {{"call", "registryProperty"}, {"error", 1000}, {"after", 40}, {"times", 5}},
      {{"call", "availableModes"}, {"error", 1000}, {"after", 2}, {"times", 1}}};
  out.push_back(faulty);

  json never = studio;
  never["displays"][1]["settle"] = "never";
  out.push_back(never);

  json slow = studio;
  slow["displays"][1]["settleMs"] = 900;  // longer than a verification polls
  slow["displays"][1]["settle"] = "flicker";
  slow["displays"][1]["flickers"] = 2;
  slow["externalDisplay"]["linkSettleMs"] = 250;
  slow["events"] = {{{"at", 300}, {"unplug", 2}},
                    {{"at", 700}, {"plug", 2}},
                    {{"at", 1500}, {"setMode", {{"display", 2}, {"modeId", 2}}}}};
  out.push_back(slow);
  return out;
}

void run(const json& scenario, std::string_view input) {
  df::sim::VirtualQueue queue;
  df::sim::SimMachine machine(scenario, queue.clock());
  queue.attach(&machine);
  df::trust::Facts facts(scenario);
  df::trust::Guard guard(machine.platform(), facts, queue.clock(),
                         [](std::string what) { broken(what); });
  std::vector<std::string> lines;
  int exits = 0;
  df::Service service(
      guard.platform(), queue,
      [&lines](std::string_view line) { lines.emplace_back(line); },
      [&](int status) {
        if (status != 0 && status != df::kRestoreFailedStatus)
          broken("exit status " + std::to_string(status));
        ++exits;
        queue.stop();
      });
  guard.follow(&service.state());
  if (!service.start()) broken("start-up failed");

  const df::Counters& counters = service.context().counters;
  std::size_t checked = 0;
  queue.setAfterBlock([&] {
    if (machine.liveHandles() != 0) broken("a platform object outlived its block");
    if (counters.inspections != counters.reports) broken("an inspection without one report");
    for (; checked < lines.size(); ++checked) {
      const auto problems = df::trust::reportLineProblems(lines[checked]);
      if (!problems.empty()) broken(problems.front() + ": " + lines[checked]);
    }
    if (!machine.violations().empty()) broken(machine.violations().front());
  });

  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    const std::string_view line =
        input.substr(0, end == std::string_view::npos ? input.size() : end + 1);
    input.remove_prefix(line.size());
    if (auto command = df::parseCommand(line)) {
      auto shared = std::make_shared<const json>(std::move(*command));
      queue.post([&service, shared] { service.handleCommand(*shared); });
    } else if (df::dropReason(line).empty()) {
      std::abort();  // every dropped line has a reason for the diagnostics
    }
    queue.runUntilIdle();
    queue.runFor(std::chrono::milliseconds(45 * (line.size() % 8)));
  }
  const std::size_t before = lines.size();
  queue.post([&service] { service.terminate(); });
  queue.runUntilIdle();
  if (exits != 1) broken("the termination handler did not exit once");
  if (lines.size() != before) broken("the termination handler wrote a report");
  queue.setAfterBlock(nullptr);
}

// An EDID input: the decoder on arbitrary bytes, then the service on the television made from
// them.
void runEdid(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return;
  const std::size_t length = std::min<std::size_t>((data[1] | (data[2] << 8)) % 1025, size - 3);
  const std::vector<std::uint8_t> bytes(data + 3, data + 3 + length);
  const df::edid::Decoded decoded = df::edid::decode(bytes);
  if (!df::edid::isEdid(bytes)) return;
  json scenario = df::sim::televisionScenario(bytes);
  std::string error;
  if (!df::sim::expandEdids(scenario, "", error) || !df::sim::normalizeScenario(scenario, error))
    broken("a television from an EDID does not load: " + error);
  if (scenario["displays"][1]["modes"].size() > 0 && scenario["displays"][1]["current"].is_null() &&
      decoded.preferred)
    broken("the preferred timing is not the current mode");
  run(scenario,
      std::string_view(reinterpret_cast<const char*>(data) + 3 + length, size - 3 - length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<json> kMachines = machines();
  if (size == 0) return 0;
  if ((data[0] & 0xc0) == 0xc0) {
    runEdid(data, size);
    return 0;
  }
  const json& scenario = kMachines[data[0] % kMachines.size()];
  run(scenario, std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}
