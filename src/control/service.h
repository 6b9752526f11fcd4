// The service: controller state, start-up, the command handler and the termination handler.
#pragma once

#include <cstdio>
#include <functional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "state/context.h"
#include "platform/platform.h"

namespace df {

// The exit status after standard output could not be written (its reader is gone).
inline constexpr int kOutputClosedStatus = 3;
// The end of input or a signal, when the display could not be put back.
inline constexpr int kRestoreFailedStatus = 4;

class Service {
 public:
  // writeLine writes one status report line (no newline given) followed by a newline, and
  // flushes. exit ends the process with the given status (tests record it instead).
  Service(platform::Platform platform, platform::MainQueue& queue,
          std::function<void(std::string_view)> writeLine, std::function<void(int)> exit);
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Starts the change notices, before anything else starts. False means the process must exit
  // with status 1.
  [[nodiscard]] bool start();

  // Runs on the main queue: one accepted command, from its keys to the inspection it asks for.
  void handleCommand(const nlohmann::json& command);
  // Runs on the main queue: restores the display, then exits with status 0; once the platform
  // is gone (setPlatformGone), as platformLost instead.
  void terminate();

  // The status reports go to out, one line each, flushed at once, instead of to the writeLine
  // given. When a line cannot be written (EPIPE or any other error) nobody is listening any
  // more: no further report is written, the display is restored as at the end of input, and
  // the process exits with kOutputClosedStatus, from within that write.
  void setReportFile(std::FILE* out);
  // Once gone() answers true the platform is gone for good: a command still queued is dropped
  // instead of reporting the loss once more.
  void setPlatformGone(std::function<bool()> gone);
  // Runs on the main queue once the platform is gone for good. Nothing can be seen or restored
  // any more: once a command has given a revision the target is reported missing once more (a
  // report equal to the last one is not written again), and the process exits with status 1.
  void platformLost();

  // Developer diagnostics (common/diagnostics.h): off until set, which must happen before
  // start(). diagnosing() may be asked from any thread; diagnose() runs on the main queue.
  void setDiagnostics(std::function<void(std::string_view)> writeDiagnostic);
  // The same into an open file, one line each, flushed at once so that a developer can follow
  // the file while the service runs; the file stays open for the life of the process.
  void setDiagnosticsFile(std::FILE* file);
  bool diagnosing() const;
  void diagnose(const nlohmann::json& entry);

  Context& context() { return cx_; }
  const ControllerState& state() const { return cx_.state; }

 private:
  void outputClosed();

  Context cx_;
  std::function<void(int)> exit_;
  std::function<bool()> gone_;
  bool outputClosed_ = false;
};

}  // namespace df
