#include "control/signals.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace df {
namespace {

sigset_t endingSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void blockEndingSignals() {
  const sigset_t set = endingSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ignoreBrokenPipes() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

void watchEndingSignals(platform::MainQueue& queue, platform::Block onSignal) {
  // sigwait takes the signal while it is blocked in every thread, so no handler is installed
  // and nothing runs in signal context.
  std::thread([&queue, onSignal = std::move(onSignal)] {
    const sigset_t set = endingSignals();
    int signal = 0;
    int error = 0;
    do {
      error = sigwait(&set, &signal);
    } while (error == EINTR);
    if (error == 0) queue.post(onSignal);
  }).detach();
}

}  // namespace df
