// One randomized run of the service on the simulated machine and the virtual clock, made
// entirely from one 64-bit seed: the machine, the command lines (valid, odd and garbage), the
// platform's own changes, settling behaviours and faults, over simulated hours. After every
// block on the main queue the invariants are checked; the run ends with the end of input.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "state/context.h"
#include "support/pass.h"

namespace df {
class Service;
}

namespace df::trust {

using Writer = std::function<void(std::string_view)>;

struct Options {
  std::uint64_t seed = 0;
  // Keeps the whole story (steps, lines, action log) in the outcome.
  bool keepLog = false;
  // Planted faults, for proving that the checks catch what they claim to: a layer between
  // the service and the checking seam, and a layer around the service's line writer.
  std::function<std::unique_ptr<test::Pass>(platform::Platform checked,
                                            std::function<const ControllerState*()> state)>
      wrapPlatform;
  std::function<Writer(Writer)> wrapWriter;
  // Stands in for the termination handler; given the service and the process's exit.
  std::function<void(Service&, const std::function<void(int)>& exit)> terminate;
};

struct Outcome {
  std::uint64_t seed = 0;
  std::vector<std::string> violations;
  std::chrono::nanoseconds simulated{0};
  std::uint64_t commands = 0;  // lines that were commands
  std::uint64_t lines = 0;     // lines fed to the service, commands or not
  std::uint64_t events = 0;    // platform changes scheduled
  std::uint64_t blocks = 0;    // blocks run on the main queue
  std::uint64_t inspections = 0;
  std::uint64_t reports = 0;       // report lines written
  std::uint64_t transactions = 0;  // completed configuration transactions
  std::uint64_t switches = 0;      // connection switches asked for
  std::uint64_t faults = 0;        // platform calls that failed on purpose
  std::uint64_t longestVerification = 0;
  bool exitChecked = false;  // the restoration at exit could be judged (no fault interfered)
  // With keepLog: every step, every report line and the machine's action log.
  std::string story;
};

Outcome simulate(const Options& options);

// "seed N: violation" lines and the command that reproduces the run.
std::string describeFailure(const Outcome& outcome, std::string_view program);

}  // namespace df::trust
