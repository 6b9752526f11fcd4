// displayformat.so: an mpv plugin that shows each video at its own frame rate. It starts the
// service as its child, holds each file at "on_preloaded" until the television shows the chosen
// format (or a timeout passes), keeps the format across a playlist and lets the service put the
// display back when mpv quits. One thread: mpv's wakeup pipe and the service's pipes are polled
// together, so reports never wait for mpv and mpv's events never wait for the service.
#include <mpv/client.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "mpv/player.h"
#include "mpv/process.h"
#include "mpv/rule.h"

namespace {

using namespace df::mpv::player;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using df::mpv::Raster;
using df::mpv::Resolution;

// A control display ID that no display has (X11 output IDs fit in 29 bits, GNOME's in 31): the
// service needs a control display other than the target, but not an online one.
constexpr std::uint32_t kNoDisplay = 0xFFFFFFFF;
// How long mpv's quit waits for the service to put the display back and exit.
constexpr std::chrono::seconds kExitGrace{5};

class Plugin {
 public:
  explicit Plugin(mpv_handle* mpv) : mpv_(mpv), log_(mpv), options_(readOptions(mpv, log_)) {}

  int run() {
    const int wake = mpv_get_wakeup_pipe(mpv_);
    if (wake < 0) return -1;
    mpv_hook_add(mpv_, 0, "on_preloaded", 0);
    for (;;) {
      pollfd fds[3] = {{wake, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
      if (service_) {
        fds[1].fd = service_->out();
        fds[2].fd = errorsClosed_ ? -1 : service_->err();
      }
      int timeout = -1;
      if (pending_) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(pending_->deadline - Clock::now());
        timeout = static_cast<int>(std::max<std::int64_t>(0, left.count()));
      }
      if (::poll(fds, 3, timeout) < 0 && errno != EINTR) {
        shutdown();
        return -1;
      }
      if (fds[0].revents != 0) {
        char drain[64];
        while (::read(wake, drain, sizeof drain) > 0) {
        }
      }
      for (mpv_event* e = mpv_wait_event(mpv_, 0); e->event_id != MPV_EVENT_NONE;
           e = mpv_wait_event(mpv_, 0)) {
        if (e->event_id == MPV_EVENT_SHUTDOWN) {
          shutdown();
          return 0;
        }
        if (e->event_id == MPV_EVENT_HOOK) {
          const auto* hook = static_cast<mpv_event_hook*>(e->data);
          if (std::string_view(hook->name) == "on_preloaded")
            onPreloaded(hook->id);
          else
            mpv_hook_continue(mpv_, hook->id);
        }
      }
      if (service_ && fds[2].revents != 0) readErrors();
      if (service_ && fds[1].revents != 0) readReports();
      if (pending_ && Clock::now() >= pending_->deadline) {
        log_(kWarn, pending_->format.empty()
                        ? "no report from the service within the timeout; playing anyway"
                        : pending_->format + " not confirmed within " + fixed(options_.timeout, 1) +
                              " s; playing anyway");
        release();
      }
    }
  }

 private:
  enum class Stage { kProbe, kSwitch };
  struct Pending {
    std::uint64_t hook = 0;
    Clock::time_point start;
    Clock::time_point deadline;
    Stage stage = Stage::kProbe;
    std::int64_t revision = 0;
    Video video;
    std::string format;
  };

  void onPreloaded(std::uint64_t hook) {
    const Clock::time_point start = Clock::now();
    pending_ = Pending{};
    pending_->hook = hook;
    pending_->start = start;
    pending_->deadline = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options_.timeout));
    if (gone_) return skip("the service is not running");
    if (options_.fullscreenOnly) {
      int fs = 0;
      mpv_get_property(mpv_, "fullscreen", MPV_FORMAT_FLAG, &fs);
      if (fs == 0) return skip("not fullscreen");
    }
    std::string why;
    const std::optional<Video> video = videoOf(mpv_, why);
    if (!video) return skip(why);
    pending_->video = *video;
    if (!service_ && !runnable(options_.service)) {
      log_(kWarn, "cannot start " + options_.service + ": not found");
      gone_ = true;
      return skip("the service is not running");
    }
    // The list first: the service's program may share output files with the running service.
    const std::optional<Display> target = findTarget();
    if (!target) return skip("no target display");
    const std::optional<std::uint32_t> control = findControl(*target);
    if (!control) return skip("no control display");
    if (!service_ && !startService()) return skip("the service is not running");

    if (!target_ || target_->id != target->id || target_->uuid != target->uuid ||
        control_ != *control) {
      // A new target (or the first): assigned with control off, so that its report lists what
      // it offers and how it is found, and nothing changes yet.
      target_ = target;
      control_ = *control;
      last_ = nullptr;
      json command = {{"format", "current"},
                      {"control", control_},
                      {"assign", true},
                      {"revision", ++revision_}};
      if (!target->uuid.empty())
        command["uuid"] = target->uuid;
      else
        command["id"] = target->id;
      log_(kVerbose, "target " + label(*target) + ", control " + std::to_string(control_));
      pending_->revision = revision_;
      if (!send(command)) return skip("the service does not read");
      return;  // waits for the report
    }
    choose();
  }

  // The rule on the last report of the target; asks for the format or lets playback go on.
  void choose() {
    Pending& p = *pending_;
    const std::string phase = text(last_, "phase");
    if (phase == "protected" || phase == "missing")
      return skip("the target is " + phase + "; display left as it is");
    const json actual = member(last_, "actual", json());
    std::vector<std::string> formats;
    const json listed = member(last_, "formats", json::array());
    for (const json& f : listed.is_array() ? listed : json::array())
      if (f.is_string()) formats.push_back(f.get<std::string>());
    const std::optional<std::string> format =
        df::mpv::chooseFormat({p.video.fps, p.video.size, home_, options_.resolution, formats});
    const std::string content = fixed(p.video.fps, 3) + " fps " +
                                std::to_string(p.video.size.width) + "x" +
                                std::to_string(p.video.size.height);
    if (!format) return skip(content + ": no format for it; display left as it is");
    if (text(actual, "format") == *format) return skip(content + ": " + *format + " already shown");
    log_(kVerbose, content + ": asking for " + *format);
    p.stage = Stage::kSwitch;
    p.format = *format;
    p.revision = ++revision_;
    if (!send({{"format", *format},
               {"control", control_},
               {"enabled", true},
               {"apply", true},
               {"revision", revision_}}))
      skip("the service does not read");
  }

  void onReport(const json& report) {
    const std::string phase = text(report, "phase");
    const std::int64_t revision = member<std::int64_t>(report, "revision", 0);
    log_(kVerbose, "report " + std::to_string(revision) + ": " + phase + ", showing " +
                       text(member(report, "actual", json()), "format"));
    last_ = report;
    if (!pending_ || revision != pending_->revision) return;
    if (pending_->stage == Stage::kProbe) {
      const json actual = member(report, "actual", json());
      home_ = {member(actual, "width", 0), member(actual, "height", 0)};
      return choose();
    }
    if (phase == "matched" && member(report, "canPresent", false)) {
      log_(kInfo, pending_->format + " shown");
      return release();
    }
    if (phase == "mismatch") return;  // the service retries
    log_(kWarn, pending_->format + " not shown (" + phase + "); playing anyway");
    release();
  }

  void skip(const std::string& why) {
    log_(kVerbose, why);
    release();
  }

  void release() {
    if (!pending_) return;
    const auto held = std::chrono::duration<double, std::milli>(Clock::now() - pending_->start);
    mpv_hook_continue(mpv_, pending_->hook);
    log_(kVerbose, "playback continues after " + fixed(held.count(), 1) + " ms");
    pending_.reset();
  }

  bool send(const json& command) {
    log_(kDebug, "command " + command.dump());
    if (service_->send(command.dump())) return true;
    serviceEnded();
    return false;
  }

  bool startService() {
    std::vector<std::string> argv{options_.service};
    argv.insert(argv.end(), options_.args.begin(), options_.args.end());
    std::string error;
    service_ = df::mpv::ServiceProcess::start(argv, error);
    if (!service_) {
      log_(kWarn, "cannot start " + options_.service + ": " + error);
      gone_ = true;
      return false;
    }
    log_(kVerbose,
         "started " + options_.service + " (pid " + std::to_string(service_->pid()) + ")");
    return true;
  }

  void readReports() {
    const bool open = reports_.fill(service_->out());
    while (std::optional<std::string> line = reports_.next()) {
      json report = json::parse(*line, nullptr, false);
      if (report.is_object()) onReport(report);
    }
    if (!open && service_) serviceEnded();
  }

  void readErrors() {
    const bool open = errors_.fill(service_->err());
    while (std::optional<std::string> line = errors_.next()) log_(kWarn, "service: " + *line);
    errorsClosed_ = !open;  // stdout alone tells when the service has ended
  }

  // The service is gone: whatever it did not put back stays; playback goes on without it.
  void serviceEnded() {
    service_->closeInput();
    const std::optional<int> status = service_->wait(std::chrono::seconds(1));
    log_(kWarn, "the service ended (" + (status ? df::mpv::describeStatus(*status) : "killed") +
                    "); no more format changes");
    service_.reset();
    gone_ = true;
    release();
  }

  // Closing its input makes the service put the display back and exit; reports until then are
  // logged.
  void shutdown() {
    release();
    if (!service_) return;
    service_->closeInput();
    const Clock::time_point deadline = Clock::now() + kExitGrace;
    bool open = true;
    while (open && Clock::now() < deadline) {
      pollfd fd{service_->out(), POLLIN, 0};
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      open = reports_.fill(service_->out());
      while (std::optional<std::string> line = reports_.next()) {
        json report = json::parse(*line, nullptr, false);
        if (report.is_object()) onReport(report);
      }
    }
    const std::optional<int> status = service_->wait(std::chrono::seconds(1));
    if (status)
      log_(kVerbose, "the service ended (" + df::mpv::describeStatus(*status) + ")");
    else
      log_(kError, "the service did not exit; ended it");
    service_.reset();
  }

  // --- Which display ------------------------------------------------------------------------

  const std::vector<Display>& displays() {
    if (displays_) return *displays_;
    displays_.emplace();
    std::vector<std::string> argv{options_.service, "--list-displays"};
    argv.insert(argv.end(), options_.args.begin(), options_.args.end());
    std::string error;
    const std::optional<std::string> out =
        df::mpv::runForOutput(argv, std::chrono::seconds(5), error);
    if (!out) {
      log_(kVerbose, "no display list from " + options_.service + " --list-displays: " + error);
      return *displays_;
    }
    std::istringstream lines(*out);
    for (std::string line; std::getline(lines, line);) {
      const json d = json::parse(line, nullptr, false);
      if (!d.is_object() || !d.contains("id") || !d["id"].is_number_unsigned()) continue;
      displays_->push_back({d["id"].get<std::uint32_t>(), text(d, "name"), text(d, "uuid"),
                            member(d, "builtin", false), member(d, "primary", false)});
    }
    return *displays_;
  }

  // A display by name as --list-displays prints it, or by ID (also one the list lacks).
  std::optional<Display> lookup(const std::string& value) {
    for (const Display& d : displays())
      if (d.name == value) return d;
    const std::optional<std::uint32_t> id = parseID(value);
    if (!id) return std::nullopt;
    for (const Display& d : displays())
      if (d.id == *id) return d;
    return Display{*id, {}, {}, false, false};
  }

  std::string label(const Display& d) const {
    return (d.name.empty() ? std::string() : d.name + " ") + "(" + std::to_string(d.id) + ")";
  }

  // The option, else the display mpv's window is on, else the one external display (or, of
  // several, the one that is not primary).
  std::optional<Display> findTarget() {
    if (!options_.display.empty()) {
      std::optional<Display> d = lookup(options_.display);
      if (!d) log_(kWarn, "no display " + options_.display);
      return d;
    }
    const json names = property(mpv_, "display-names");
    for (const json& n : names.is_array() ? names : json::array()) {
      if (!n.is_string()) continue;
      for (const Display& d : displays())
        if (d.name == n.get<std::string>() && !d.builtin) {
          log_(kDebug, "mpv's window is on " + d.name);
          return d;
        }
    }
    std::vector<Display> external;
    for (const Display& d : displays())
      if (!d.builtin) external.push_back(d);
    if (external.size() > 1) std::erase_if(external, [](const Display& d) { return d.primary; });
    if (external.size() == 1) return external.front();
    log_(kWarn, "cannot tell which display is the television; set displayformat-display");
    return std::nullopt;
  }

  // The option, else the primary display, else any other display, else an ID no display has.
  std::optional<std::uint32_t> findControl(const Display& target) {
    if (!options_.control.empty()) {
      std::optional<Display> d = lookup(options_.control);
      if (!d || d->id == target.id) {
        log_(kWarn, "unusable control display " + options_.control);
        return std::nullopt;
      }
      return d->id;
    }
    std::optional<std::uint32_t> other;
    for (const Display& d : displays()) {
      if (d.id == target.id) continue;
      if (d.primary) return d.id;
      if (!other) other = d.id;
    }
    return other.value_or(kNoDisplay);
  }

  mpv_handle* mpv_;
  Log log_;
  Options options_;
  std::unique_ptr<df::mpv::ServiceProcess> service_;
  df::mpv::LineBuffer reports_;
  df::mpv::LineBuffer errors_;
  bool errorsClosed_ = false;
  bool gone_ = false;
  std::optional<std::vector<Display>> displays_;
  std::optional<Display> target_;
  std::uint32_t control_ = 0;
  std::int64_t revision_ = 0;
  json last_;
  Raster home_;
  std::optional<Pending> pending_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int mpv_open_cplugin(mpv_handle* mpv) {
  try {
    return Plugin(mpv).run();
  } catch (...) {  // out of memory: mpv goes on without the plugin, the service is reaped
    return -1;
  }
}
