// A service on the simulated machine and the virtual clock, for scenario tests.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "control/service.h"
#include "platform/sim/machine.h"
#include "platform/sim/scenario.h"
#include "platform/sim/virtual_queue.h"

namespace df::test {

using json = nlohmann::json;
using namespace std::chrono_literals;

// The bundled default scenario: a laptop panel (display 1) and an HDMI television (display 2).
json studioScenario();

// A small scenario: display 1 built in, display 2 an external television with the given modes
// (default: 1080p60, 1080p59.94 and 720p59.94), no registry and no external display object.
json plainScenario();

// A desktop mode of the scenario format.
json mode(int id, int width, int height, double hz, unsigned flags = 0x100003,
          std::optional<int> timing = std::nullopt);

class Harness {
 public:
  // wrap, when given, puts a layer between the service and the machine's platform.
  using Wrap = std::function<platform::Platform(platform::Platform)>;
  explicit Harness(json scenario, const Wrap& wrap = nullptr);
  ~Harness();

  // Queues a command line's object as the reader would, then runs the queue until idle.
  void command(const json& command);
  // Runs everything due within d of virtual time.
  void run(std::chrono::nanoseconds d) { queue.runFor(d); }
  void settle() { queue.runUntilIdle(); }

  std::vector<json> reports() const;
  json lastReport() const;
  std::size_t lineCount() const { return lines.size(); }
  // The action log as compact lines, without times: "configure 2 3", "complete 2", ...
  std::vector<std::string> actionNames() const;
  // Transactions and switches that reached a display (configure and setCurrentMode).
  std::vector<std::string> changes() const;

  const ControllerState& state() { return service->state(); }
  Context& cx() { return service->context(); }

  sim::VirtualQueue queue;
  std::unique_ptr<sim::SimMachine> machine;
  std::unique_ptr<Service> service;
  std::vector<std::string> lines;
  std::optional<int> exitStatus;
};

// A command that assigns display 2 of the studio scenario, with control display 1.
json assign(const std::string& format, bool enabled = true, bool apply = true,
            std::int64_t revision = 1);
// A command that keeps the target.
json keep(const std::string& format, bool enabled = true, bool apply = true,
          std::int64_t revision = 1);

}  // namespace df::test
