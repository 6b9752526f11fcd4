#include "mpv/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

extern char** environ;

namespace df::mpv {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // macOS: SO_NOSIGPIPE on the socket instead
#endif

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool cloexecPipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  for (int i = 0; i < 2; ++i) ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
  return true;
}

// Spawns argv with the given descriptors as its stdin, stdout and stderr, in a process group of
// its own (a terminal's Ctrl-C goes to mpv, which then ends the service in order), with the
// signals the service handles blocked until it takes them and every other disposition default.
int spawn(const std::vector<std::string>& argv, int in, int out, int err, pid_t& pid) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t mask;
  sigemptyset(&mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&mask, s);
  posix_spawnattr_setsigmask(&attr, &mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  const int result = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return result;
}

std::optional<int> reap(pid_t pid, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) return 0;  // not ours any more: nothing left to reap
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace

bool LineBuffer::fill(int fd) {
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(n));
      if (static_cast<std::size_t>(n) < sizeof chunk) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
}

std::optional<std::string> LineBuffer::next() {
  const std::size_t end = buffer_.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = buffer_.substr(0, end);
  buffer_.erase(0, end + 1);
  return line;
}

std::unique_ptr<ServiceProcess> ServiceProcess::start(const std::vector<std::string>& argv,
                                                      std::string& error) {
  int in[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, in) != 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  for (int fd : in) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
  const int one = 1;
  ::setsockopt(in[0], SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
  int out[2];
  int err[2];
  if (!cloexecPipe(out)) {
    error = std::strerror(errno);
    ::close(in[0]);
    ::close(in[1]);
    return nullptr;
  }
  if (!cloexecPipe(err)) {
    error = std::strerror(errno);
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    return nullptr;
  }
  auto p = std::unique_ptr<ServiceProcess>(new ServiceProcess);
  const int result = spawn(argv, in[1], out[1], err[1], p->pid_);
  for (int fd : {in[1], out[1], err[1]}) ::close(fd);
  p->in_ = in[0];
  p->out_ = out[0];
  p->err_ = err[0];
  ::fcntl(p->out_, F_SETFL, O_NONBLOCK);
  ::fcntl(p->err_, F_SETFL, O_NONBLOCK);
  if (result != 0) {
    p->pid_ = -1;
    error = std::strerror(result);
    return nullptr;
  }
  return p;
}

ServiceProcess::~ServiceProcess() {
  closeInput();
  if (pid_ > 0 && !reap(pid_, std::chrono::milliseconds(0))) {
    ::kill(pid_, SIGKILL);
    reap(pid_, std::chrono::seconds(5));
  }
  closeFd(out_);
  closeFd(err_);
}

bool ServiceProcess::send(std::string_view line) {
  std::string data(line);
  data += '\n';
  std::size_t done = 0;
  while (in_ >= 0 && done < data.size()) {
    const ssize_t n = ::send(in_, data.data() + done, data.size() - done, kSendFlags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return in_ >= 0;
}

void ServiceProcess::closeInput() {
  closeFd(in_);
}

std::optional<int> ServiceProcess::wait(std::chrono::milliseconds within) {
  if (pid_ <= 0) return 0;
  std::optional<int> status = reap(pid_, within);
  if (status) pid_ = -1;
  return status;
}

std::optional<std::string> runForOutput(const std::vector<std::string>& argv,
                                        std::chrono::milliseconds within, std::string& error) {
  std::unique_ptr<ServiceProcess> p = ServiceProcess::start(argv, error);
  if (!p) return std::nullopt;
  p->closeInput();
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + within;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      error = "no end within the time";
      return std::nullopt;  // the destructor ends it
    }
    pollfd fd{p->out(), POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      error = std::strerror(errno);
      return std::nullopt;
    }
    char chunk[4096];
    const ssize_t n = ::read(p->out(), chunk, sizeof chunk);
    if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
    if (n == 0) break;
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      error = std::strerror(errno);
      return std::nullopt;
    }
  }
  const std::optional<int> status = p->wait(within);
  if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    error = status ? describeStatus(*status) : "no end within the time";
    return std::nullopt;
  }
  return text;
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace df::mpv
