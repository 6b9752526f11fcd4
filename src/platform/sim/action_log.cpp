// The action log: every configuration step and connection switch the service made.
#include "platform/sim/machine.h"

namespace df::sim {

using nlohmann::json;
using platform::DisplayID;

namespace {

json millisValue(Nanos t) {
  if (t.count() % 1000000 == 0) return t.count() / 1000000;
  return static_cast<double>(t.count()) / 1e6;
}

}  // namespace

void SimMachine::log(Nanos at, std::string call, DisplayID display, json detail) {
  actions_.push_back({at, std::move(call), display, std::move(detail)});
}

std::vector<Action> SimMachine::actions() const {
  std::lock_guard lock(mutex_);
  return actions_;
}

std::string SimMachine::actionLogText() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const auto& a : actions_) {
    nlohmann::ordered_json line;
    line["at"] = millisValue(a.at);
    line["call"] = a.call;
    line["display"] = a.display;
    for (const auto& [key, value] : a.detail.items()) line[key] = value;
    text += line.dump(-1, ' ', false, json::error_handler_t::replace);
    text += '\n';
  }
  return text;
}

}  // namespace df::sim
