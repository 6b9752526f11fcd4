#include "control/service.h"

#include <algorithm>

#include "apply/apply.h"
#include "state/diagnostics.h"
#include "control/command.h"
#include "cycle/cycle.h"
#include "display/display.h"
#include "events/events.h"

namespace df {

Service::Service(platform::Platform platform, platform::MainQueue& queue,
                 std::function<void(std::string_view)> writeLine, std::function<void(int)> exit)
    : cx_{platform, queue, std::move(writeLine)}, exit_(std::move(exit)) {}

bool Service::start() {
  return cx_.platform.displays.watch(&changed, &cx_);
}

void Service::handleCommand(const nlohmann::json& command) {
  if (outputClosed_ || (gone_ && gone_())) return;
  // The reader hands over only objects with a string "format"; anything else is not a command.
  auto format = command.is_object() ? command.find("format") : command.end();
  if (!command.is_object() || format == command.end() || !format->is_string()) return;
  ControllerState& s = cx_.state;
  s.controlID = commandDisplay(command, "control");
  s.restoreFailed = false;

  if (commandFlag(command, "assign")) {
    // Restores the previous target under the new control display.
    restoreOriginal(cx_);
    const DisplayID id = commandDisplay(command, "id");
    std::string why;
    if (auto uuid = commandText(command, "uuid")) {
      s.targetUUID = std::move(uuid);
      why = "target: the UUID " + *s.targetUUID + ", as given";
    } else {
      const std::vector<DisplayID> online = onlineDisplays(cx_.platform.displays);
      s.targetUUID.reset();
      const std::string display = "display " + std::to_string(id);
      if (std::find(online.begin(), online.end(), id) != online.end()) {
        s.targetUUID = cx_.platform.displays.uuid(id);
        why = s.targetUUID ? "target: " + display + ", UUID " + *s.targetUUID
                           : "no target: " + display + " has no UUID";
      } else {
        why = id == 0 ? "no target: no \"id\" or \"uuid\""
                      : "no target: " + display + " is not online";
      }
    }
    df::diagnose(cx_, {{"event", "assign"}, {"revision", commandRevision(command)}, {"why", why}});
    s.lastDisplay = 0;
    s.approvedMode.reset();
    s.chosen.reset();
  }

  const bool enabled = commandFlag(command, "enabled");
  if (s.enabled && !enabled) {
    restoreOriginal(cx_);
    s.approvedMode.reset();
    s.chosen.reset();
  }

  const std::string& requested = format->get_ref<const std::string&>();
  if (s.requested != requested) {
    s.chosen.reset();
    s.applyFailed = false;
  }
  s.requested = requested;
  s.enabled = enabled;
  s.revision = commandRevision(command);

  inspect(cx_, commandFlag(command, "apply"));

  recheckTiming(cx_, ++s.timingRetryGeneration, kRechecks);
}

void Service::setDiagnostics(std::function<void(std::string_view)> writeDiagnostic) {
  cx_.writeDiagnostic = std::move(writeDiagnostic);
}

void Service::setDiagnosticsFile(std::FILE* file) {
  setDiagnostics([file](std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), file);
    std::fputc('\n', file);
    std::fflush(file);
  });
}

void Service::setReportFile(std::FILE* out) {
  // Room for a whole report, so that each line leaves in one write: a client polling its pipe
  // wakes once per report, not once per buffer's worth.
  std::setvbuf(out, nullptr, _IOFBF, 1 << 16);
  cx_.writeLine = [this, out](std::string_view line) {
    if (outputClosed_) return;
    const bool written = std::fwrite(line.data(), 1, line.size(), out) == line.size() &&
                         std::fputc('\n', out) != EOF && std::fflush(out) == 0;
    if (!written) outputClosed();
  };
}

void Service::setPlatformGone(std::function<bool()> gone) {
  gone_ = std::move(gone);
}

void Service::platformLost() {
  if (cx_.state.revision != 0) inspect(cx_, false);
  exit_(1);
}

void Service::outputClosed() {
  // The report in hand was the inspection's last act; what remains of the conversation is to
  // let go of the display as the end of input would, since no later command can be answered.
  outputClosed_ = true;
  restoreOriginal(cx_);
  exit_(kOutputClosedStatus);
}

bool Service::diagnosing() const {
  return df::diagnosing(cx_);
}

void Service::diagnose(const nlohmann::json& entry) {
  df::diagnose(cx_, entry);
}

void Service::terminate() {
  // A platform lost before the end of input (or the signal) was taken: its loss, queued
  // behind, is what the client hears, and there is nothing left to restore.
  if (gone_ && gone_()) {
    platformLost();
    return;
  }
  // No report follows: the exit status is the only way left to say the display stays changed.
  cx_.state.restoreFailed = false;
  restoreOriginal(cx_);
  exit_(cx_.state.restoreFailed ? kRestoreFailedStatus : 0);
}

}  // namespace df
