// What the three programs do around the service, alike on each: the process-wide signal set-up,
// the one way out, the reports on standard output, the diagnostics file, the start, the ending
// signals and the stdin reader's thread. What differs (options, the platform, the loop) stays in
// each main.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>

#include "control/service.h"
#include "platform/main_queue.h"
#include "platform/platform.h"

namespace df {

class Entry {
 public:
  // Blocks the ending signals and ignores broken pipes for the whole process: construct it first
  // in main, before any thread starts, so that every later thread inherits the mask.
  Entry();
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;

  // Work done first on every way out, such as writing the simulator's action log.
  void atExit(std::function<void()> last);

  // Every way out: the atExit work, the diagnostics file closed, standard output flushed, and the
  // process ended without running destructors, which the reader and other threads may still use.
  [[noreturn]] void exit(int status);

  // Makes the service over platform and queue, its reports on standard output and its
  // diagnostics in `diagnostics` unless null, and starts it; ends the process with status 1 when
  // it cannot start. Then watches the ending signals, which end it through the termination
  // handler. The queue must outlive the process's last block.
  Service& start(platform::Platform platform, platform::MainQueue& queue, std::FILE* diagnostics);

  // Runs the stdin reader on a thread of its own, after start.
  void readStdin();

 private:
  std::function<void()> atExit_;
  std::FILE* diagnostics_ = nullptr;
  platform::MainQueue* queue_ = nullptr;
  std::optional<Service> service_;
};

// The file that DISPLAYFORMAT_DIAGNOSTICS names, opened for appending; null when the variable is
// unset or empty or the file cannot be opened, which leaves the diagnostics off without a word.
std::FILE* diagnosticsFromEnvironment();

}  // namespace df
