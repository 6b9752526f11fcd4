// displayformat-sim: the service on the simulated machine, in real time, with the service's own
// stdin/stdout contract and exit statuses.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/asio/asio_queue.h"
#include "platform/sim/machine.h"
#include "platform/sim/realtime.h"
#include "platform/sim/scenario.h"
#include "shell/service.h"
#include "shell/signals.h"
#include "shell/sim_edid.h"
#include "shell/stdin_reader.h"

namespace {

int usage() {
  std::fputs(
      "usage: displayformat-sim [--action-log FILE] (SCENARIO.json | --edid EDID "
      "[--list-formats | --write-scenario FILE])\n",
      stderr);
  return 2;
}

void writeLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  df::blockEndingSignals();
  std::string scenarioPath;
  std::string actionLogPath;
  std::string edidPath, writePath;  // --edid: a television built from an EDID
  bool listOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--action-log") == 0 && i + 1 < argc) {
      actionLogPath = argv[++i];
    } else if (std::strcmp(argv[i], "--edid") == 0 && i + 1 < argc) {
      edidPath = argv[++i];
    } else if (std::strcmp(argv[i], "--write-scenario") == 0 && i + 1 < argc) {
      writePath = argv[++i];
    } else if (std::strcmp(argv[i], "--list-formats") == 0) {
      listOnly = true;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      return usage();
    } else if (scenarioPath.empty()) {
      scenarioPath = argv[i];
    } else {
      return usage();
    }
  }
  if (scenarioPath.empty() == edidPath.empty() || (listOnly && !writePath.empty()) ||
      ((listOnly || !writePath.empty()) && edidPath.empty()))
    return usage();

  std::string error;
  auto scenario =
      edidPath.empty() ? df::sim::loadScenario(scenarioPath, error) : df::edidScenario(edidPath);
  if (!scenario) {
    if (edidPath.empty())
      std::fprintf(stderr, "displayformat-sim: %s: %s\n", scenarioPath.c_str(), error.c_str());
    return 2;
  }
  if (listOnly) return df::listFormats(*scenario);
  if (!writePath.empty()) return df::writeScenario(*scenario, edidPath, writePath);

  df::platform::AsioQueue queue;
  df::sim::RealtimeClock clock;
  df::sim::SimMachine machine(*scenario, clock.function());

  // Every way out goes through here: the action log is written, stdout flushed, and the
  // process ends without running destructors under the reader and driver threads.
  auto exitWith = [&machine, &actionLogPath](int status) {
    if (!actionLogPath.empty()) {
      if (std::FILE* f = std::fopen(actionLogPath.c_str(), "w")) {
        const std::string text = machine.actionLogText();
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
      }
    }
    std::fflush(stdout);
    std::_Exit(status);
  };

  df::Service service({machine, machine, machine}, queue, writeLine, exitWith);
  if (service.start() != df::platform::kSuccess) exitWith(1);

  df::watchEndingSignals(queue, [&service] { service.terminate(); });

  df::sim::RealtimeDriver driver(machine);
  std::thread([&queue, &service] { df::readCommands(stdin, queue, service); }).detach();
  queue.run();
}
