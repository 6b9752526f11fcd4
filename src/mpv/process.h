// The service as a child of mpv: started with posix_spawn (mpv is multi-threaded), commands
// written to a socket so that a dead service raises no SIGPIPE in mpv, reports read from a pipe
// by the plugin's own poll loop. The child is always reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace df::mpv {

// Splits a byte stream into lines.
class LineBuffer {
 public:
  // Reads what fd has now; false at the end of the stream or an error.
  bool fill(int fd);
  std::optional<std::string> next();

 private:
  std::string buffer_;
};

class ServiceProcess {
 public:
  // Starts argv[0] (searched on PATH when it has no slash). On failure error says why.
  static std::unique_ptr<ServiceProcess> start(const std::vector<std::string>& argv,
                                               std::string& error);
  ~ServiceProcess();  // ends and reaps a child still running
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Writes one line; false when the service no longer reads.
  bool send(std::string_view line);
  // The end of input: the service restores the display and exits.
  void closeInput();
  int out() const { return out_; }
  int err() const { return err_; }
  // Reaps the child when it has exited within the time; its wait status.
  std::optional<int> wait(std::chrono::milliseconds within);
  pid_t pid() const { return pid_; }

 private:
  ServiceProcess() = default;

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
};

// Runs argv to its end with no input and gives what it wrote on stdout; nothing, with error
// saying why, when it cannot be started, fails or takes longer than the time.
std::optional<std::string> runForOutput(const std::vector<std::string>& argv,
                                        std::chrono::milliseconds within, std::string& error);

// "exit status N" or "signal N" for a wait status.
std::string describeStatus(int status);

}  // namespace df::mpv
