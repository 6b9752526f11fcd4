// What the benchmarks share: the machines they run on and a service on the virtual clock.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "control/service.h"
#include "platform/sim/machine.h"
#include "platform/sim/scenario.h"
#include "platform/sim/virtual_queue.h"

namespace df::bench {

using json = nlohmann::json;

[[noreturn]] inline void die(const std::string& why) {
  std::fprintf(stderr, "bench: %s\n", why.c_str());
  std::exit(2);
}

inline json normalized(json scenario) {
  std::string error;
  if (!sim::normalizeScenario(scenario, error)) die("scenario: " + error);
  return scenario;
}

// The bundled default scenario: a laptop panel (display 1) and an HDMI television (display 2).
inline json studioScenario() {
  std::ifstream in(DF_SOURCE_DIR "/scenarios/studio-tv.json");
  if (!in) die("cannot read scenarios/studio-tv.json");
  return normalized(json::parse(in));
}

inline constexpr int kLargeDisplays = 4;
inline constexpr int kLargeModes = 200;
inline constexpr int kLargeTimings = 100;

// A large machine: display 1 built in, displays 2 to 4 external, 200 desktop modes each
// (broadcast rasters and rates mixed with computer ones, television and plain flags), and an
// HDMI framebuffer service for display 2 with 100 timing elements. Display 2 shows 1080p60.00.
inline json largeScenario() {
  struct Raster {
    int w, h;
  };
  static constexpr Raster rasters[] = {{720, 480},   {720, 576},   {1280, 720},  {1920, 1080},
                                       {3840, 2160}, {1024, 768},  {1280, 1024}, {1440, 900},
                                       {1600, 900},  {1680, 1050}, {2560, 1440}};
  static constexpr double rates[] = {
      24000.0 / 1001.0, 24, 25, 30000.0 / 1001.0, 30, 50, 60000.0 / 1001.0, 60, 75, 120};
  constexpr int nr = std::size(rasters);
  constexpr int nz = std::size(rates);

  // Timing elements: the CEA rasters at the eight broadcast rates, a few of them virtual.
  struct Cea {
    int w, h, hTotal, vTotal, id;
  };
  static constexpr Cea cea[] = {{1920, 1080, 2200, 1125, 16},
                                {1280, 720, 1650, 750, 4},
                                {3840, 2160, 4400, 2250, 97},
                                {720, 480, 858, 525, 2},
                                {720, 576, 864, 625, 17}};
  auto timingOf = [&](int w, int h, int rate) -> int {
    for (int c = 0; c < 5; ++c)
      if (cea[c].w == w && cea[c].h == h && rate < 8) return 1 + c * 8 + rate;
    return 0;
  };
  json elements = json::array();
  for (int k = 0; k < kLargeTimings; ++k) {
    const Cea& c = cea[(k % 40) / 8];
    const double hz = rates[k % 8];
    elements.push_back({{"ID", k + 1},
                        {"IsVirtual", k >= 40 && k % 3 == 0},
                        {"IsInterlaced", false},
                        {"CEAShortID", k < 80 ? c.id : 0},
                        {"HorizontalAttributes", {{"Active", c.w}, {"Total", c.hTotal}}},
                        {"VerticalAttributes",
                         {{"Active", c.h},
                          {"Total", c.vTotal},
                          {"PreciseSyncRate", static_cast<long>(hz * 65536.0 + 0.5)}}}});
  }

  json displays = json::array();
  int current1080p60 = 0;
  for (int d = 1; d <= kLargeDisplays; ++d) {
    json modes = json::array();
    for (int i = 0; i < kLargeModes; ++i) {
      const Raster r = rasters[i % nr];
      const int rate = (i / nr) % nz;
      const bool tv = (i / (nr * nz)) % 2 == 0;
      json m = {{"modeId", i + 1},
                {"width", r.w},
                {"height", r.h},
                {"hz", rates[rate]},
                {"flags", tv ? 0x100003 : 0x3}};
      if (d == 2 && tv) {
        if (int t = timingOf(r.w, r.h, rate); t != 0) m["timing"] = t;
        if (r.w == 1920 && rate == 7) current1080p60 = i + 1;
      }
      modes.push_back(std::move(m));
    }
    char uuid[40];
    std::snprintf(uuid, sizeof uuid, "0000000%d-1111-4222-8333-444444444444", d);
    displays.push_back({{"id", d},
                        {"uuid", uuid},
                        {"builtin", d == 1},
                        {"modes", std::move(modes)},
                        {"current", d == 2 ? current1080p60 : 1}});
  }

  const std::string linkUUID = "D2F4A6B8-3C5E-4F70-8192-A3B4C5D6E7F8";
  auto connection = [](int w, int h, double hz, const char* color, const char* hdr, bool vrr,
                       int timing) {
    return json{{"width", w},     {"height", h},  {"refreshRate", hz}, {"colorMode", color},
                {"hdrMode", hdr}, {"isVRR", vrr}, {"timing", timing}};
  };
  json registry = json::array();
  registry.push_back({{"class", "IOMobileFramebufferShim"},
                      {"properties", {{"external", false}, {"IOMFBUUID", "INTERNAL"}}}});
  registry.push_back({{"class", "IOMobileFramebufferShim"},
                      {"properties",
                       {{"external", true},
                        {"IOMFBUUID", linkUUID},
                        {"Transport", {{"Upstream", "DisplayPort"}, {"Downstream", "HDMI"}}},
                        {"DPTimingModeId", timingOf(1920, 1080, 7)},
                        {"TimingElements", std::move(elements)}}}});
  json external = {
      {"uuid", linkUUID},
      {"display", 2},
      {"currentMode", 0},
      {"linkSettleMs", 0},
      {"availableModes",
       {connection(1920, 1080, 60, "RGB 8-bit", "SDR", false, timingOf(1920, 1080, 7)),
        connection(1920, 1080, 59.94, "RGB 8-bit", "SDR", false, timingOf(1920, 1080, 6)),
        connection(1920, 1080, 60, "YCbCr 4:2:2 10-bit", "HDR10", false, timingOf(1920, 1080, 7)),
        connection(3840, 2160, 60, "RGB 8-bit", "SDR", false, timingOf(3840, 2160, 7)),
        connection(3840, 2160, 60, "RGB 8-bit", "SDR", true, timingOf(3840, 2160, 7))}}};
  return normalized(
      {{"displays", std::move(displays)}, {"registry", registry}, {"externalDisplay", external}});
}

inline json machineScenario(std::string_view name) {
  if (name == "default") return studioScenario();
  if (name == "large") return largeScenario();
  die("unknown machine \"" + std::string(name) + "\" (default or large)");
}

// The service on the simulated machine and the virtual clock, writing its lines nowhere.
struct Rig {
  explicit Rig(const json& scenario)
      : machine(std::make_unique<sim::SimMachine>(scenario, queue.clock())) {
    queue.attach(machine.get());
    service = std::make_unique<Service>(
        machine->platform(), queue,
        [this](std::string_view line) {
          ++lines;
          last.assign(line);
        },
        [this](int) { queue.stop(); });
    if (!service->start()) die("the service did not start");
  }

  // Hands a command to the main queue as the stdin reader does, and runs what is ready.
  void command(const json& c) {
    auto shared = std::make_shared<const json>(c);
    queue.post([this, shared] { service->handleCommand(*shared); });
    queue.runUntilIdle();
  }

  std::string phase() const { return last.empty() ? "" : json::parse(last).value("phase", ""); }

  Context& cx() { return service->context(); }

  sim::VirtualQueue queue;
  std::unique_ptr<sim::SimMachine> machine;
  std::unique_ptr<Service> service;
  std::size_t lines = 0;
  std::string last;
};

// Takes display 2 with control display 1 and asks for format.
inline json assignCommand(std::string_view format, bool apply, std::int64_t revision = 1) {
  return {{"format", format}, {"control", 1},   {"assign", true},      {"id", 2},
          {"enabled", true},  {"apply", apply}, {"revision", revision}};
}

}  // namespace df::bench
