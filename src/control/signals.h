// The signals that end the service as the end of input does: SIGTERM, SIGINT (a terminal's
// Ctrl-C) and SIGHUP (a closed terminal). Each restores the display and exits with status 0
// through the termination handler on the main queue, whenever it arrives after main begins.
#pragma once

#include "platform/main_queue.h"

namespace df {

// Blocks the ending signals in the calling thread. Call it first in main, before any thread
// starts: threads inherit the mask, so none of these signals can end the process by its default
// action, and one that arrives during start-up stays pending instead of being lost.
void blockEndingSignals();

// Ignores SIGPIPE for the whole process: a write to a closed pipe (standard output whose reader
// is gone, a vanished X server) then fails with EPIPE, which the writer handles, instead of
// ending the process with the display still changed.
void ignoreBrokenPipes();

// Starts a thread that waits for the first ending signal, including one pending since
// blockEndingSignals, and then queues onSignal on the queue, once. The queue must outlive the
// process's last block.
void watchEndingSignals(platform::MainQueue& queue, platform::Block onSignal);

}  // namespace df
