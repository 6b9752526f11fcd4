// displayformat-sim: the service on the simulated machine, in real time, with the service's own
// stdin/stdout contract and exit statuses. Options and file errors are this tool's own and are
// reported on stderr with exit status 2 before the service starts.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "control/entry.h"
#include "platform/asio/asio_queue.h"
#include "platform/sim/machine.h"
#include "platform/sim/realtime.h"
#include "platform/sim/scenario.h"
#include "shell/sim_edid.h"

#ifndef DF_VERSION
#define DF_VERSION "unknown"
#endif

namespace {

constexpr std::string_view kUsage =
    "usage: displayformat-sim [--action-log FILE] [--diagnostics FILE] SCENARIO.json\n"
    "       displayformat-sim [--action-log FILE] [--diagnostics FILE] --edid EDID\n"
    "       displayformat-sim --list-displays [OPTION...] (SCENARIO.json | --edid EDID)\n"
    "       displayformat-sim --edid EDID (--list-formats | --write-scenario FILE)\n"
    "       displayformat-sim --help | --version\n";

constexpr std::string_view kHelp =
    "\n"
    "Runs the displayformat service on the simulated machine that SCENARIO.json describes, in\n"
    "real time: one JSON command per line on stdin, one status report per line on stdout. The\n"
    "end of input (Ctrl-D), SIGTERM, SIGINT (Ctrl-C) or SIGHUP restores the display and exits\n"
    "with status 0.\n"
    "\n"
    "  --action-log FILE   at exit, write every configuration and connection switch the\n"
    "                      service made to FILE, one JSON object per line\n"
    "  --diagnostics FILE  write one JSON line to FILE for every input line dropped, every\n"
    "                      target assignment and every eligibility check, saying why\n"
    "  --edid EDID         run on a laptop panel (display 1) and an HDMI television\n"
    "                      (display 2) built from the EDID file instead of a scenario\n"
    "  --list-displays     print one JSON line per online display (id, name, uuid, builtin,\n"
    "                      primary, mode) and exit; other options are accepted and unused\n"
    "  --list-formats      with --edid: print the television's formats and native modes\n"
    "  --write-scenario FILE  with --edid: write the machine as a scenario to edit\n"
    "  --help, --version   print this text or the version, and exit\n"
    "\n"
    "Exit status: 0 after the end of input or a signal; 1 when the service could not start;\n"
    "2 for a bad option, scenario file or output file; 3 when standard output was closed\n"
    "(the display is restored first, as at the end of input); 4 after the end of input or a\n"
    "signal when the display could not be put back.\n"
    "Docs: docs/client.md (writing a client), docs/protocol.md, docs/scenarios.md.\n";

struct Options {
  std::string scenario;
  std::string actionLog;
  std::string diagnostics;
  std::string edid;
  std::string writeScenario;
  bool listFormats = false;
  bool listDisplays = false;
  bool help = false;
  bool version = false;
};

// Fills options from the command line; false with error set on a usage error.
bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
  struct WithValue {
    std::string_view name;
    std::string Options::*field;
  };
  constexpr WithValue kWithValue[] = {{"--action-log", &Options::actionLog},
                                      {"--diagnostics", &Options::diagnostics},
                                      {"--edid", &Options::edid},
                                      {"--write-scenario", &Options::writeScenario}};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--version") {
      options.version = true;
      continue;
    }
    if (arg == "--list-formats") {
      options.listFormats = true;
      continue;
    }
    if (arg == "--list-displays") {
      options.listDisplays = true;
      continue;
    }
    bool known = false;
    for (const WithValue& option : kWithValue) {
      if (arg != option.name) continue;
      if (i + 1 >= argc) {
        error = std::string(arg) + " needs a FILE";
        return false;
      }
      options.*option.field = argv[++i];
      known = true;
    }
    if (known) continue;
    if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + std::string(arg);
      return false;
    }
    if (!options.scenario.empty()) {
      error = "one SCENARIO.json only";
      return false;
    }
    options.scenario = arg;
  }
  if (options.help || options.version) return true;
  if (options.scenario.empty() == options.edid.empty()) {
    error = options.edid.empty() ? "no SCENARIO.json given" : "SCENARIO.json or --edid, not both";
    return false;
  }
  if ((options.listFormats || !options.writeScenario.empty()) && options.edid.empty()) {
    error = "--list-formats and --write-scenario go with --edid";
    return false;
  }
  if (options.listDisplays + options.listFormats + !options.writeScenario.empty() > 1) {
    error = "one of --list-displays, --list-formats and --write-scenario";
    return false;
  }
  return true;
}

// Opens an output file named by an option; on failure says why on stderr.
std::FILE* openOutput(std::string_view option, const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) {
    std::fprintf(stderr, "displayformat-sim: %.*s %s: cannot be written (%s)\n",
                 static_cast<int>(option.size()), option.data(), path.c_str(),
                 std::strerror(errno));
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  df::Entry entry;
  Options options;
  std::string error;
  if (!parseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "displayformat-sim: %s\n%.*s", error.c_str(),
                 static_cast<int>(kUsage.size()), kUsage.data());
    return 2;
  }
  if (options.help) {
    std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
    std::fwrite(kHelp.data(), 1, kHelp.size(), stdout);
    return 0;
  }
  if (options.version) {
    std::puts("displayformat-sim " DF_VERSION);
    return 0;
  }

  auto scenario = options.edid.empty() ? df::sim::loadScenario(options.scenario, error)
                                       : df::edidScenario(options.edid);
  if (!scenario) {
    // edidScenario has said why already.
    if (options.edid.empty()) std::fprintf(stderr, "displayformat-sim: %s\n", error.c_str());
    return 2;
  }
  if (options.listDisplays) return df::listDisplays(*scenario);
  if (options.listFormats) return df::listFormats(*scenario);
  if (!options.writeScenario.empty())
    return df::writeScenario(*scenario, options.edid, options.writeScenario);
  // Both files are opened now, so that a path that cannot be written stops the start instead of
  // losing the log at the end.
  std::FILE* actionLog = nullptr;
  if (!options.actionLog.empty() && !(actionLog = openOutput("--action-log", options.actionLog)))
    return 2;
  std::FILE* diagnostics = nullptr;
  if (!options.diagnostics.empty() &&
      !(diagnostics = openOutput("--diagnostics", options.diagnostics)))
    return 2;

  df::platform::AsioQueue queue;
  df::sim::RealtimeClock clock;
  df::sim::SimMachine machine(*scenario, clock.function());
  if (actionLog != nullptr) {
    entry.atExit([&machine, actionLog] {
      const std::string text = machine.actionLogText();
      std::fwrite(text.data(), 1, text.size(), actionLog);
      std::fclose(actionLog);
    });
  }
  entry.start(machine.platform(), queue, diagnostics);

  df::sim::RealtimeDriver driver(machine);
  entry.readStdin();
  queue.run();
}
