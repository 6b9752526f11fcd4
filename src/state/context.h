// The controller state and what every subsystem reaches: the platform, the main queue and the
// output. One Context is owned by one service object; nothing is global.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/record.h"
#include "platform/platform.h"
#include "state/reading.h"
#include "state/report.h"

namespace df {

using platform::DisplayID;

struct ControllerState {
  std::optional<std::string> targetUUID;
  std::optional<std::string> requested;
  std::optional<std::string> chosen;
  MaybeSnapshot originalMode;
  MaybeSnapshot ownedMode;
  MaybeSnapshot approvedMode;
  std::optional<Report> lastReport;
  DisplayID lastDisplay = 0;
  std::uint32_t generation = 0;
  std::int64_t revision = 0;
  std::uint32_t timingRetryGeneration = 0;
  bool applyFailed = false;
  bool restoreFailed = false;
  bool enabled = false;
  bool ownedConnectionMode = false;
  DisplayID controlID = 0;
};

// Counters that tests and the randomized simulation read; the logic never does.
struct Counters {
  std::uint64_t inspections = 0;
  std::uint64_t reports = 0;
  std::uint64_t linesWritten = 0;
  std::uint64_t readings = 0;
};

struct Context {
  platform::Platform platform;
  platform::MainQueue& queue;
  // Writes one status-report line (without its newline) and flushes.
  std::function<void(std::string_view)> writeLine;
  // Writes one developer diagnostics line (without its newline), or is empty: diagnostics are
  // off unless the entry point asks for them, and never change what the service does.
  std::function<void(std::string_view)> writeDiagnostic{};
  ControllerState state{};
  // The report each inspection fills in; its storage is kept from one inspection to the next.
  Report draft{};
  CatalogueMemo catalogue{};
  TimingMemo timings{};
  std::vector<DisplayID> online{};  // the last online list, its storage kept

  Counters counters{};
};

}  // namespace df
