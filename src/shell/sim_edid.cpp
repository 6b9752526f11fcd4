#include "shell/sim_edid.h"

#include <cstdio>
#include <fstream>
#include <memory>

#include "control/display_list.h"
#include "cycle/catalogue.h"
#include "cycle/cycle.h"
#include "edid/edid.h"
#include "modes/records.h"
#include "platform/sim/edid_scenario.h"
#include "platform/sim/machine.h"
#include "platform/sim/scenario.h"
#include "platform/sim/virtual_queue.h"
#include "state/context.h"

namespace df {

using json = nlohmann::json;

std::optional<json> edidScenario(const std::string& path) {
  std::string error;
  const std::optional<std::string> text = sim::readFile(path, error);
  if (!text) {
    std::fprintf(stderr, "displayformat-sim: %s\n", error.c_str());
    return std::nullopt;
  }
  const std::vector<std::uint8_t> bytes(text->begin(), text->end());
  if (!edid::isEdid(bytes)) {
    std::fprintf(stderr, "displayformat-sim: %s: not an EDID (no EDID header)\n", path.c_str());
    return std::nullopt;
  }
  json scenario = sim::televisionScenario(bytes);
  std::vector<std::string> notes;
  if (!sim::expandEdids(scenario, "", error, &notes) || !sim::normalizeScenario(scenario, error)) {
    std::fprintf(stderr, "displayformat-sim: %s: %s\n", path.c_str(), error.c_str());
    return std::nullopt;
  }
  for (const auto& n : notes) {
    // "displays[1].edid: block 1: ..." names the scenario key; the file is what the user gave.
    const auto colon = n.find(": ");
    std::fprintf(stderr, "displayformat-sim: %s: %s\n", path.c_str(),
                 colon == std::string::npos ? n.c_str() : n.c_str() + colon + 2);
  }
  return scenario;
}

int listFormats(const json& scenario) {
  sim::SimMachine machine(scenario, [] { return sim::Nanos(0); });
  sim::VirtualQueue queue;
  Context cx{machine.platform(), queue, [](std::string_view) {}};
  const auto tv = scenario["displays"][1]["id"].get<platform::DisplayID>();
  std::printf("%s\n", toJson(*catalogueOf(cx, tv)).dump().c_str());
  return 0;
}

int listDisplays(const json& scenario) {
  // The machine as it is at start: events due at time 0 have happened, nothing later.
  sim::SimMachine machine(scenario, [] { return sim::Nanos(0); });
  platform::Displays& displays = machine.platform().displays;
  // The main display: the platform lists it first among the active ones.
  std::optional<platform::DisplayID> primary;
  const DisplayNaming naming{[&](platform::DisplayID id) {
                               for (const json& d : scenario["displays"])
                                 if (d["id"] == id) return d["name"].get<std::string>();
                               return std::string();
                             },
                             [&](platform::DisplayID id) {
                               if (!primary && displays.isActive(id)) primary = id;
                               return primary == id;
                             }};
  return writeDisplayList(displays, naming, stdout);
}

int writeScenario(json scenario, const std::string& edidPath, const std::string& out) {
  scenario["displays"][1].erase("edid");
  scenario["comment"] = "Built from the EDID " + edidPath +
                        " by displayformat-sim --write-scenario; edit freely (docs/scenarios.md).";
  std::ofstream f(out);
  f << scenario.dump(1) << '\n';
  if (!f) {
    std::fprintf(stderr, "displayformat-sim: %s: cannot be written\n", out.c_str());
    return 2;
  }
  return 0;
}

}  // namespace df
