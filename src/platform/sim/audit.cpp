// Fault injection and the safety audit: failing platform calls as the scenario arms them, and the
// violations recorded when the service steps where it must not.
#include <algorithm>

#include "platform/sim/machine.h"
#include "platform/sim/scenario.h"

namespace df::sim {

using darwin::Error;
using nlohmann::json;
using platform::DisplayID;

std::optional<Error> SimMachine::fault(std::string_view call,
                                       const std::vector<DisplayID>& displays) {
  std::optional<Error> chosen;
  for (auto& f : faults_) {
    if (f.call != call) continue;
    if (f.display && std::find(displays.begin(), displays.end(), *f.display) == displays.end())
      continue;
    ++f.matched;
    if (chosen || f.matched <= f.after) continue;
    if (f.times && f.injected >= *f.times) continue;
    ++f.injected;
    chosen = f.error;
  }
  if (chosen) ++faultsInjected_;
  return chosen;
}

bool SimMachine::checkEligible(std::string_view call, DisplayID display, Nanos now) {
  const auto* d = find(display);
  const char* reason = !d            ? "no such display"
                       : !d->online  ? "offline"
                       : !d->active  ? "inactive"
                       : d->builtin  ? "built in"
                       : d->mirror   ? "in a mirror set"
                       : d->hwMirror ? "in a hardware mirror set"
                                     : nullptr;
  if (!reason) return true;
  std::string text = std::string(call) + " on display " + std::to_string(display) + ": " + reason;
  violations_.push_back(text);
  log(now, "violation", display, {{"reason", std::move(text)}});
  return false;
}

void SimMachine::internalError(std::string_view call, const char* what) {
  try {
    std::lock_guard lock(mutex_);
    violations_.push_back("internal error in " + std::string(call) + ": " + what);
    log(appliedUntil_, "violation", 0, {{"reason", violations_.back()}});
  } catch (...) {
    // Nothing more can be recorded.
  }
}

bool SimMachine::addFault(json fault, std::string* error) {
  std::string why;
  if (!normalizeFault(fault, why)) {
    if (error) *error = why;
    return false;
  }
  std::lock_guard lock(mutex_);
  faults_.push_back(parseFault(fault));
  return true;
}

std::vector<std::string> SimMachine::violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}

std::uint64_t SimMachine::callCount(std::string_view call) const {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(call);
  return it == calls_.end() ? 0 : it->second;
}

std::uint64_t SimMachine::faultsInjected() const {
  std::lock_guard lock(mutex_);
  return faultsInjected_;
}

}  // namespace df::sim
