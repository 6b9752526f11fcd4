// displayformatd: the service over the macOS display services, device registry and main queue.
// It takes no options and reads no files; standard output carries the status reports and nothing
// is written to standard error. The one environment variable, DISPLAYFORMAT_DIAGNOSTICS=FILE,
// appends developer diagnostics to FILE (common/diagnostics.h); a file that cannot be opened
// leaves them off.
#include <cstdio>

#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

#include "control/entry.h"
#include "control/stdin_reader.h"
#include "platform/darwin/backend.h"
#include "platform/darwin/display_services.h"
#include "platform/darwin/external_display.h"
#include "platform/darwin/main_queue.h"
#include "platform/darwin/registry.h"
#include "platform/platform.h"

namespace {

namespace darwin = df::platform::darwin;

struct Reader {
  df::platform::MainQueue& queue;
  df::Service& service;
};

void readStdin(void* context) {
  auto* reader = static_cast<Reader*>(context);
  df::readCommands(stdin, reader->queue, reader->service);
}

void keepAlive(CFRunLoopTimerRef, void*) {}

}  // namespace

int main() {
  // Before anything else, and before any thread starts, so that no moment of start-up loses one.
  df::Entry entry;

  darwin::CGDisplayServices displays;
  darwin::IOKitRegistry registry;
  darwin::ExternalDisplayProvider external;
  darwin::Backend backend({displays, registry, external});
  darwin::DispatchMainQueue queue;
  df::Service& service =
      entry.start(df::platform::Platform{backend, backend, darwin::Backend::capabilities()}, queue,
                  df::diagnosticsFromEnvironment());

  // The reader runs on the global user-initiated queue rather than a thread of its own.
  Reader reader{queue, service};
  dispatch_async_f(dispatch_get_global_queue(QOS_CLASS_USER_INITIATED, 0), &reader, &readStdin);

  // CFRunLoopRun returns at once from a mode without sources or timers; this timer never fires
  // in the life of the process.
  constexpr CFTimeInterval kFarFuture = 1.0e10;
  CFRunLoopTimerRef timer =
      CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + kFarFuture, kFarFuture,
                           0, 0, &keepAlive, nullptr);
  CFRunLoopAddTimer(CFRunLoopGetMain(), timer, kCFRunLoopDefaultMode);
  CFRunLoopRun();

  // Not reached: the service ends the process itself. Should the loop ever return, end without
  // running destructors that the reader thread may still be using.
  entry.exit(1);
}
