#include "control/entry.h"

#include <cstdlib>
#include <thread>
#include <utility>

#include "control/signals.h"
#include "control/stdin_reader.h"

namespace df {

Entry::Entry() {
  blockEndingSignals();
  // A write to a closed standard output or a vanished X server fails instead of killing the
  // process: the closed output ends the conversation, the lost server is reported.
  ignoreBrokenPipes();
}

void Entry::atExit(std::function<void()> last) {
  atExit_ = std::move(last);
}

void Entry::exit(int status) {
  if (atExit_) atExit_();
  if (diagnostics_ != nullptr) std::fclose(diagnostics_);
  std::fflush(stdout);
  std::_Exit(status);
}

Service& Entry::start(platform::Platform platform, platform::MainQueue& queue,
                      std::FILE* diagnostics) {
  queue_ = &queue;
  diagnostics_ = diagnostics;
  Service& service = service_.emplace(platform, queue, std::function<void(std::string_view)>{},
                                      [this](int status) { exit(status); });
  service.setReportFile(stdout);
  if (diagnostics != nullptr) service.setDiagnosticsFile(diagnostics);
  if (!service.start()) exit(1);
  // A signal that came during start-up is still pending and is taken now; the termination
  // handler runs on the main queue, after the block in progress.
  watchEndingSignals(queue, [&service] { service.terminate(); });
  return service;
}

void Entry::readStdin() {
  std::thread([queue = queue_, service = &*service_] {
    readCommands(stdin, *queue, *service);
  }).detach();
}

std::FILE* diagnosticsFromEnvironment() {
  const char* path = std::getenv("DISPLAYFORMAT_DIAGNOSTICS");
  if (path == nullptr || *path == '\0') return nullptr;
  return std::fopen(path, "a");
}

}  // namespace df
