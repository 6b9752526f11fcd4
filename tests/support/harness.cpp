#include "support/harness.h"

#include <fstream>

namespace df::test {

json studioScenario() {
  std::ifstream in(DF_SOURCE_DIR "/scenarios/studio-tv.json");
  json scenario = json::parse(in);
  std::string error;
  EXPECT_TRUE(sim::normalizeScenario(scenario, error)) << error;
  return scenario;
}

json mode(int id, int width, int height, double hz, unsigned flags, std::optional<int> timing) {
  json m = {{"modeId", id}, {"width", width}, {"height", height}, {"hz", hz}, {"flags", flags}};
  if (timing) m["timing"] = *timing;
  return m;
}

json plainScenario() {
  json scenario = {
      {"displays",
       {{{"id", 1},
         {"uuid", "PANEL-UUID"},
         {"builtin", true},
         {"modes", {mode(1, 3024, 1964, 120, 3)}},
         {"current", 1}},
        {{"id", 2},
         {"uuid", "TV-UUID"},
         {"modes",
          {mode(1, 1920, 1080, 60, 0x100003), mode(2, 1920, 1080, 60000.0 / 1001.0, 0x100003),
           mode(3, 1280, 720, 60000.0 / 1001.0, 0x100003)}},
         {"current", 1}}}},
      {"externalDisplay", nullptr}};
  std::string error;
  EXPECT_TRUE(sim::normalizeScenario(scenario, error)) << error;
  return scenario;
}

Harness::Harness(json scenario, const Wrap& wrap) {
  std::string error;
  EXPECT_TRUE(sim::normalizeScenario(scenario, error)) << error;
  machine = std::make_unique<sim::SimMachine>(scenario, queue.clock());
  queue.attach(machine.get());
  service = std::make_unique<Service>(
      wrap ? wrap(machine->platform()) : machine->platform(), queue,
      [this](std::string_view line) { lines.emplace_back(line); },
      [this](int status) {
        exitStatus = status;
        queue.stop();
      });
  EXPECT_TRUE(service->start());
  // Platform objects live only within the block that obtained them.
  queue.setAfterBlock([this] { EXPECT_EQ(machine->liveHandles(), 0); });
}

Harness::~Harness() {
  EXPECT_EQ(machine->liveHandles(), 0);
  for (const std::string& v : machine->violations()) ADD_FAILURE() << "unsafe change: " << v;
}

void Harness::command(const json& command) {
  auto shared = std::make_shared<const json>(command);
  queue.post([this, shared] { service->handleCommand(*shared); });
  queue.runUntilIdle();
}

std::vector<json> Harness::reports() const {
  std::vector<json> out;
  for (const std::string& line : lines) out.push_back(json::parse(line));
  return out;
}

json Harness::lastReport() const {
  return lines.empty() ? json() : json::parse(lines.back());
}

std::vector<std::string> Harness::actionNames() const {
  std::vector<std::string> out;
  for (const sim::Action& a : machine->actions()) {
    std::string s = a.call;
    if (a.display != 0) s += " " + std::to_string(a.display);
    if (a.detail.contains("modeId")) s += " " + a.detail["modeId"].dump();
    if (a.detail.contains("index")) s += " " + a.detail["index"].dump();
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> Harness::changes() const {
  std::vector<std::string> out;
  for (const std::string& s : actionNames())
    if (s.rfind("configureDisplayWithMode", 0) == 0 || s.rfind("setCurrentMode", 0) == 0)
      out.push_back(s);
  return out;
}

json assign(const std::string& format, bool enabled, bool apply, std::int64_t revision) {
  return {{"format", format},   {"control", 1},   {"assign", true},      {"id", 2},
          {"enabled", enabled}, {"apply", apply}, {"revision", revision}};
}

json keep(const std::string& format, bool enabled, bool apply, std::int64_t revision) {
  return {{"format", format},
          {"control", 1},
          {"enabled", enabled},
          {"apply", apply},
          {"revision", revision}};
}

}  // namespace df::test
