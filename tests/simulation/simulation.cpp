#include "simulation/simulation.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <utility>

#include <nlohmann/json.hpp>

#include "control/service.h"
#include "control/stdin_reader.h"
#include "display/display.h"
#include "link/connection.h"
#include "link/probe.h"
#include "modes/records.h"
#include "platform/sim/machine.h"
#include "platform/sim/scenario.h"
#include "platform/sim/virtual_queue.h"
#include "simulation/guard.h"
#include "simulation/report_rules.h"

namespace df::trust {

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using platform::DisplayID;

constexpr double kTolerance = 1.0 / 65536.0;
constexpr std::size_t kMaxViolationsKept = 40;

// Every random choice of a run comes from here, in program order, so one seed is one run.
// The draws are spelled out rather than taken from <random>'s distributions, whose results
// differ between standard libraries.
class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  std::uint64_t bits() { return engine_(); }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : engine_() % n; }
  std::int64_t between(std::int64_t lo, std::int64_t hi) {
    return lo + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(hi - lo) + 1));
  }
  double unit() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  bool chance(double p) { return unit() < p; }
  template <typename T>
  const T& pick(const std::vector<T>& v) {
    return v[below(v.size())];
  }

 private:
  std::mt19937_64 engine_;
};

// Broadcast rates as exact fractions and as the decimals their labels spell.
const std::vector<double> kRates = {24000.0 / 1001.0, 23.976, 24.0, 25.0,
                                    30000.0 / 1001.0, 29.97,  30.0, 50.0,
                                    60000.0 / 1001.0, 59.94,  60.0};

const std::vector<std::string> kFormatNames = {
    "480p59.94",  "480p60.00",   "480i59.94",   "480i60.00",  "576p50",     "576i50",
    "720p23.976", "720p24",      "720p25",      "720p29.97",  "720p30",     "720p50",
    "720p59.94",  "720p60.00",   "1080p23.976", "1080p24",    "1080p25",    "1080p29.97",
    "1080p30",    "1080p50",     "1080p59.94",  "1080p60.00", "1080i50",    "1080i59.94",
    "1080i60.00", "2160p23.976", "2160p24",     "2160p25",    "2160p29.97", "2160p30",
    "2160p50",    "2160p59.94",  "2160p60.00"};

struct Raster {
  std::uint64_t width, height;
  bool interlaced;
  std::uint64_t hTotal, vTotal;
};

const std::vector<Raster> kRasters = {{1920, 1080, false, 2200, 1125},
                                      {1920, 1080, false, 2200, 1125},
                                      {1920, 1080, true, 2200, 1125},
                                      {1280, 720, false, 1650, 750},
                                      {3840, 2160, false, 4400, 2250},
                                      {720, 480, false, 858, 525},
                                      {720, 480, true, 858, 525},
                                      {720, 576, false, 864, 625},
                                      {720, 576, true, 864, 625},
                                      {1440, 480, true, 1716, 525},
                                      {1440, 576, true, 1728, 625},
                                      {1024, 768, false, 1344, 806},
                                      {2560, 1440, false, 2720, 1481},
                                      {1920, 1200, false, 2080, 1235},
                                      {0, 0, false, 0, 0}};

// A timing element of the HDMI framebuffer, as the world knows it before corrupting it.
struct Element {
  int id;
  Raster raster;
  double hz;
  int cea;
};

struct DisplayPlan {
  DisplayID id = 0;
  std::optional<std::string> uuid;
  bool shared = false;  // may carry the UUID that another display carries too
  std::vector<std::int32_t> modeIds;
};

class Simulation {
 public:
  explicit Simulation(const Options& options) : options_(options), rng_(options.seed) {}
  Outcome run();

 private:
  // --- The world ---
  bool odd(double p) { return rng_.chance(p * odd_); }
  std::string freshUUID();
  json rateValue();
  double finiteRate();
  json makeMode(DisplayPlan& plan, std::int32_t modeId);
  json makeModes(DisplayPlan& plan);
  json makeDisplay(DisplayPlan& plan, bool first);
  json makeElement(const Element& e);
  json makeRegistry();
  json makeExternal();
  json makeFault();
  json makeScenario();
  json oddValue();
  json displayValue();
  json flagValue(double yes);
  std::string commandLine();
  std::string garbageLine();
  json event();

  // --- The run ---
  void flag(std::string what);
  void step();
  void feed(const std::string& line);
  void schedule(const json& action);
  void advance();
  void afterBlock();
  void exitBlock();
  void note(const std::string& line) {
    if (!options_.keepLog) return;
    const auto ms = queue_ ? std::chrono::duration_cast<std::chrono::milliseconds>(queue_->now())
                           : std::chrono::milliseconds(0);
    outcome_.story += std::to_string(ms.count()) + " " + line + "\n";
  }

  const Options& options_;
  Random rng_;
  Outcome outcome_;

  std::vector<DisplayPlan> plans_;
  std::vector<Element> elements_;
  std::string externalUUID_;
  std::string sharedUUID_;
  std::string linkColor_ = "RGB 8-bit";
  std::int64_t revision_ = 0;
  std::vector<std::string> nativeKeys_;
  std::vector<std::string> offered_;  // "formats" of the last report that had any
  bool refuseCallback_ = false;
  // Worlds come in two kinds: a television set up as it should be, with oddities now and
  // then (0.25), and a wild one where every oddity is common (1).
  double odd_ = 1;
  std::size_t tv_ = 0;     // the display the commands favour as target
  DisplayID control_ = 0;  // and as control display

  sim::VirtualQueue* queue_ = nullptr;
  sim::SimMachine* machine_ = nullptr;
  Facts* facts_ = nullptr;
  WatchedQueue* watched_ = nullptr;
  Service* service_ = nullptr;

  std::vector<std::string> written_;  // lines written during the current block
  std::optional<json> lastLine_;
  Counters counted_;
  std::optional<Report> lastReport_;
  std::size_t machineViolations_ = 0;
  std::vector<int> exits_;
  std::function<void(int)> exit_;
  std::size_t dropped_ = 0;
};

// --- The world ---

std::string Simulation::freshUUID() {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) s += '-';
    s += kHex[rng_.below(16)];
  }
  return s;
}

// Rates at and around every tolerance edge of the broadcast rates, and the odd ones.
double Simulation::finiteRate() {
  const double base = rng_.pick(kRates);
  if (!odd(0.55)) return base;
  const double side = rng_.chance(0.5) ? 1.0 : -1.0;
  const double r = rng_.unit();
  if (r < 0.38) return base + side * kTolerance;  // on the edge: still that rate
  if (r < 0.65) return std::nextafter(base + side * kTolerance, base + side);  // just past it
  if (r < 0.76) return base + side * kTolerance / 2;
  if (r < 0.87) return base + side * 2 * kTolerance;
  if (r < 0.91) return 0.0;
  if (r < 0.94) return -base;
  return static_cast<double>(rng_.between(1, 240)) + rng_.unit();
}

json Simulation::rateValue() {
  if (!odd(0.05)) return finiteRate();
  const double r = rng_.unit() * 0.05;
  if (r < 0.02) return "NaN";
  if (r < 0.035) return "Infinity";
  if (r < 0.045) return "-Infinity";
  if (r < 0.05) return 1e308;
  return finiteRate();
}

json Simulation::makeMode(DisplayPlan& plan, std::int32_t modeId) {
  json m = json::object();
  Raster raster = rng_.pick(kRasters);
  json hz;
  std::optional<int> timing;
  if (!elements_.empty() && !odd(0.4)) {
    // A mode whose HDMI timing the registry describes.
    const Element& e = rng_.pick(elements_);
    raster = e.raster;
    hz = e.hz;
    timing = e.id;
  } else {
    hz = rateValue();
    if (!elements_.empty() && rng_.chance(0.3)) timing = rng_.pick(elements_).id;
  }
  std::uint32_t flags = 0x100003;  // valid, safe, television
  const double r = odd(0.38) ? 0.62 + rng_.unit() * 0.38 : 0;
  if (r < 0.62) {
  } else if (r < 0.72) {
    flags &= ~0x100000u;  // a plain computer mode
  } else if (r < 0.78) {
    flags |= 0x800;  // stretched
  } else if (r < 0.82) {
    flags |= 0x20;  // needs panning
  } else if (r < 0.86) {
    flags |= 0x80;  // never shown
  } else if (r < 0.90) {
    flags &= ~0x2u;  // not safe
  } else if (r < 0.95) {
    flags = static_cast<std::uint32_t>(rng_.bits());
  } else {
    flags = 0;
  }
  if (raster.interlaced) flags |= 0x40;
  std::uint64_t logicalWidth = raster.width;
  std::uint64_t logicalHeight = raster.height;
  const double s = odd(0.17) ? rng_.unit() * 0.17 : 1;
  if (s < 0.10) {
    logicalWidth /= 2;  // scaled, as a HiDPI mode is
    logicalHeight /= 2;
  } else if (s < 0.14) {
    logicalWidth *= 2;
  } else if (s < 0.17) {
    logicalHeight += 1;
  }
  m["modeId"] = modeId;
  m["width"] = raster.width;
  m["height"] = raster.height;
  m["logicalWidth"] = logicalWidth;
  m["logicalHeight"] = logicalHeight;
  m["hz"] = hz;
  m["flags"] = flags;
  if (timing) m["timing"] = *timing;
  if (rng_.chance(0.05)) m["lowResolutionDuplicate"] = true;
  plan.modeIds.push_back(modeId);
  return m;
}

json Simulation::makeModes(DisplayPlan& plan) {
  json modes = json::array();
  const std::uint64_t n = rng_.chance(0.05) ? 0 : 1 + rng_.below(11);
  std::int32_t next = rng_.chance(0.8) ? 1 : static_cast<std::int32_t>(rng_.between(-5, 5000));
  for (std::uint64_t i = 0; i < n; ++i) {
    // Two modes may share an ID, as on the real platform.
    const std::int32_t id =
        !plan.modeIds.empty() && rng_.chance(0.08) ? rng_.pick(plan.modeIds) : next++;
    modes.push_back(makeMode(plan, id));
  }
  return modes;
}

json Simulation::makeDisplay(DisplayPlan& plan, bool first) {
  json d = json::object();
  d["id"] = plan.id;
  d["uuid"] = plan.uuid ? json(*plan.uuid) : json(nullptr);
  const bool tv = plan.id == plans_[tv_].id;
  d["online"] = !odd(0.1);
  d["active"] = !odd(0.07);
  d["builtin"] = first && !tv ? rng_.chance(0.7) : odd(0.05);
  d["mirror"] = odd(0.04);
  d["hwMirror"] = odd(0.03);
  json modes = makeModes(plan);
  d["current"] = modes.empty() || rng_.chance(0.05) ? json(nullptr)
                                                    : modes[rng_.below(modes.size())]["modeId"];
  d["modes"] = std::move(modes);
  static const std::vector<double> kSettle = {0, 0, 0, 10, 50, 120, 400, 900, 2000};
  d["settleMs"] = rng_.pick(kSettle);
  const double r = odd(0.2) ? rng_.unit() * 0.2 : 1;
  if (r < 0.08) {
    d["settle"] = "never";
  } else if (r < 0.2) {
    d["settle"] = "flicker";
    static const std::vector<double> kFlicker = {20, 50, 100, 170};
    d["flickerMs"] = rng_.pick(kFlicker);
    d["flickers"] = rng_.below(5);
  }
  return d;
}

json Simulation::makeElement(const Element& e) {
  json h = {{"Active", e.raster.width}, {"Total", e.raster.hTotal}};
  json v = {{"Active", e.raster.height}, {"Total", e.raster.vTotal}};
  const double r = odd(0.15) ? 0.85 + rng_.unit() * 0.15 : 0;
  if (r < 0.85) {
    v["PreciseSyncRate"] = std::llround(e.hz * 65536.0);
  } else if (r < 0.9) {
    v["PreciseSyncRate"] = e.hz * 65536.0 + 0.25;
  } else if (r < 0.95) {
    v["PreciseSyncRate"] = "3932160";
  }
  json el = {{"ID", e.id},
             {"CEAShortID", e.cea},
             {"HorizontalAttributes", std::move(h)},
             {"VerticalAttributes", std::move(v)}};
  if (e.raster.interlaced || rng_.chance(0.05)) el["IsInterlaced"] = e.raster.interlaced;
  const double o = odd(0.11) ? rng_.unit() * 0.11 : 1;
  if (o < 0.04) {
    el["IsVirtual"] = true;
  } else if (o < 0.07) {
    el["ID"] = std::to_string(e.id);  // a wrong kind
  } else if (o < 0.09) {
    el["HorizontalAttributes"] = "1920";
  } else if (o < 0.11) {
    el["CEAShortID"] = -1;
  }
  return el;
}

json Simulation::makeRegistry() {
  json services = json::array();
  const double r = odd(0.35) ? rng_.unit() : 0.5;
  const int n = r < 0.1 ? 0 : r < 0.75 ? 1 : r < 0.92 ? 2 : 3;
  for (int i = 0; i < n; ++i) {
    json p = json::object();
    const double e = odd(0.15) ? 0.85 + rng_.unit() * 0.15 : 0;
    if (e < 0.85) {
      p["external"] = true;
    } else if (e < 0.9) {
      p["external"] = false;
    } else if (e < 0.95) {
      p["external"] = "true";
    } else {
      p["external"] = 1;
    }
    const double u = odd(0.18) ? 0.82 + rng_.unit() * 0.18 : 0;
    if (u < 0.82) {
      p["IOMFBUUID"] = externalUUID_;
    } else if (u < 0.95) {
      p["IOMFBUUID"] = freshUUID();
    } else {
      p["IOMFBUUID"] = 7;
    }
    const double t = odd(0.15) ? 0.85 + rng_.unit() * 0.15 : 0;
    if (t < 0.85) {
      p["Transport"] = {{"Downstream", "HDMI"}};
    } else if (t < 0.92) {
      p["Transport"] = {{"Downstream", "DP"}};
    } else if (t < 0.96) {
      p["Transport"] = "HDMI";
    }
    const double id = odd(0.25) ? 0.75 + rng_.unit() * 0.25 : 0;
    if (id < 0.75 && !elements_.empty()) {
      p["DPTimingModeId"] = rng_.pick(elements_).id;
    } else if (id < 0.85) {
      p["DPTimingModeId"] = "101";
    } else if (id < 0.92) {
      p["DPTimingModeId"] = 9999;
    }
    const double te = odd(0.12) ? 0.88 + rng_.unit() * 0.12 : 0;
    if (te < 0.88) {
      json list = json::array();
      for (const Element& el : elements_)
        if (rng_.chance(0.9)) list.push_back(makeElement(el));
      if (rng_.chance(0.05)) list.push_back("not an element");
      p["TimingElements"] = std::move(list);
    } else if (te < 0.94) {
      p["TimingElements"] = json::object();
    }
    services.push_back(
        {{"class", rng_.chance(0.9) ? "IOMobileFramebufferShim" : "IOMobileFramebuffer"},
         {"properties", std::move(p)}});
  }
  return services;
}

json Simulation::makeExternal() {
  json e = json::object();
  const double u = odd(0.15) ? 0.85 + rng_.unit() * 0.15 : 0;
  e["uuid"] = u < 0.85 ? json(externalUUID_) : u < 0.93 ? json(nullptr) : json(freshUUID());
  json modes = json::array();
  // The connection modes that carry the link's 1080p timings, as a television offers them.
  for (const Element& el : elements_) {
    if (el.cea != 16 || odd(0.2)) continue;
    modes.push_back({{"width", el.raster.width},
                     {"height", el.raster.height},
                     {"refreshRate", el.hz},
                     {"colorMode", linkColor_},
                     {"hdrMode", "SDR"},
                     {"isVRR", false},
                     {"timing", el.id}});
  }
  const std::uint64_t n = rng_.below(odd(0.5) ? 7 : 3);
  for (std::uint64_t i = 0; i < n; ++i) {
    if (!modes.empty() && odd(0.05)) {
      modes.push_back(modes[rng_.below(modes.size())]);  // two equal modes: ambiguous
      continue;
    }
    json m = json::object();
    const double r = rng_.unit();
    if (r < 0.6) {
      m["width"] = 1920;
      m["height"] = 1080;
    } else if (r < 0.8) {
      m["width"] = 3840;
      m["height"] = 2160;
    } else {
      m["width"] = 1280;
      m["height"] = 720;
    }
    m["refreshRate"] = rateValue();
    const double c = odd(0.2) ? 0.8 + rng_.unit() * 0.2 : 0;
    m["colorMode"] = c < 0.8 ? json(linkColor_) : c < 0.9 ? json("YCbCr 4:2:2 10-bit") : json();
    const double h = odd(0.2) ? 0.8 + rng_.unit() * 0.2 : 0;
    m["hdrMode"] = h < 0.8 ? json("SDR") : h < 0.9 ? json("HDR10") : json();
    const double v = odd(0.15) ? 0.85 + rng_.unit() * 0.15 : 0;
    if (v < 0.85) {
      m["isVRR"] = false;
    } else if (v < 0.93) {
      m["isVRR"] = true;
    }
    if (!elements_.empty() && rng_.chance(0.7)) m["timing"] = rng_.pick(elements_).id;
    modes.push_back(std::move(m));
  }
  const double c = odd(0.2) ? 0.8 + rng_.unit() * 0.2 : 0;
  if (c < 0.8 && !modes.empty()) {
    e["currentMode"] = rng_.below(modes.size());
  } else if (c < 0.9) {
    e["currentMode"] = static_cast<std::int64_t>(modes.size()) + rng_.between(0, 3);
  }
  e["availableModes"] = std::move(modes);
  // Both sides of what one verification can see (two equal readings within 16, 50 ms apart:
  // a link up to 700 ms), with and without a drop to no signal while the link retrains.
  static const std::vector<double> kLinkSettle = {0, 0, 30, 120, 250, 650, 700, 720, 760, 1200};
  e["linkSettleMs"] = rng_.pick(kLinkSettle);
  e["linkDrop"] = rng_.chance(0.4);
  // Usually the television; sometimes any display at all.
  e["display"] = odd(0.3) ? rng_.pick(plans_).id : plans_[tv_].id;
  return e;
}

// A failing platform call. Faults only ever lie toward "leave it alone": a display test that
// fails says inactive, built in or mirrored, and a UUID is withheld only from a display whose
// UUID nobody shares (withholding one of two equal UUIDs would make the other look unique).
json Simulation::makeFault() {
  static const std::vector<std::string> kCalls = [] {
    std::vector<std::string> calls;
    for (const std::string& c : sim::faultableCalls())
      if (c != "registerReconfigurationCallback") calls.push_back(c);
    return calls;
  }();
  static const std::vector<int> kErrors = {1000, 1001, 1004, -1, 1, 0, 2147483647};
  json f = json::object();
  std::string call = rng_.pick(kCalls);
  std::vector<DisplayID> unshared;
  for (const DisplayPlan& p : plans_)
    if (!p.shared) unshared.push_back(p.id);
  if (call == "createUUIDFromDisplayID" && unshared.empty()) call = "copyDisplayMode";
  f["call"] = call;
  if (call == "displayIsActive") {
    f["error"] = 0;
  } else if (call == "displayIsBuiltin" || call == "displayIsInMirrorSet" ||
             call == "displayIsInHWMirrorSet") {
    f["error"] = rng_.chance(0.5) ? 1 : 1004;
  } else {
    f["error"] = rng_.pick(kErrors);
  }
  if (call == "createUUIDFromDisplayID") {
    f["display"] = rng_.pick(unshared);
  } else if (rng_.chance(0.5)) {
    f["display"] = rng_.pick(plans_).id;
  }
  if (rng_.chance(0.5)) f["after"] = rng_.below(25);
  const double t = rng_.unit();
  if (t < 0.7) {
    f["times"] = 1 + rng_.below(3);
  } else if (t < 0.92) {
    f["times"] = 4 + rng_.below(40);
  }
  return f;
}

json Simulation::makeScenario() {
  odd_ = rng_.chance(0.5) ? 0.25 : 1.0;
  const std::uint64_t n = 1 + rng_.below(4);
  std::vector<DisplayID> pool = {1, 2, 3, 4, 5, 6, 9, 69732800, 2147483647, 4294967295u};
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::size_t k = rng_.below(pool.size());
    DisplayPlan p;
    p.id = pool[k];
    pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(k));
    p.uuid = rng_.chance(0.08) ? std::nullopt : std::optional<std::string>(freshUUID());
    plans_.push_back(std::move(p));
  }
  if (n >= 2 && rng_.chance(0.3)) {
    // Two displays that carry, or will come to carry, one UUID.
    const std::size_t a = rng_.below(n);
    const std::size_t b = (a + 1 + rng_.below(n - 1)) % n;
    sharedUUID_ = freshUUID();
    plans_[a].shared = plans_[b].shared = true;
    plans_[a].uuid = sharedUUID_;
    if (rng_.chance(0.6)) plans_[b].uuid = sharedUUID_;
  }
  // The commands favour one display as target, and another (or a display that does not
  // exist) as control display.
  tv_ = n == 1 ? 0 : 1 + rng_.below(n - 1);
  control_ = n == 1 ? 1000 : plans_[rng_.below(n)].id;
  if (control_ == plans_[tv_].id) control_ = plans_[0].id;
  externalUUID_ = freshUUID();
  linkColor_ = rng_.chance(0.8) ? "RGB 8-bit" : "YCbCr 4:4:4 10-bit";

  // The HDMI timings: a television's 1080p59.94 and 1080p60, then others.
  const std::uint64_t elements = rng_.below(9);
  for (std::uint64_t i = 0; i < elements; ++i) {
    Element e;
    e.id = 101 + static_cast<int>(i);
    if (i < 2 && !odd(0.3)) {
      e.raster = kRasters[0];
      e.hz = i == 0 ? 60000.0 / 1001.0 : 60.0;
    } else {
      e.raster = rng_.pick(kRasters);
      e.hz = finiteRate();
    }
    const bool hd = e.raster.width == 1920 && e.raster.height == 1080 && !e.raster.interlaced;
    static const std::vector<int> kOther = {0, 4, 5, 19, 31, 34, 97};
    e.cea = hd && !odd(0.15) ? 16 : rng_.pick(kOther);
    if (odd(0.1)) e.raster.hTotal += 1;
    elements_.push_back(e);
  }

  json displays = json::array();
  for (std::size_t i = 0; i < plans_.size(); ++i)
    displays.push_back(makeDisplay(plans_[i], i == 0));
  json scenario = {{"displays", std::move(displays)}, {"registry", makeRegistry()}};
  scenario["externalDisplay"] = !odd(0.25) ? makeExternal() : json(nullptr);
  json faults = json::array();
  const std::uint64_t nf = !odd(0.4) ? 0 : rng_.below(4);
  for (std::uint64_t i = 0; i < nf; ++i) faults.push_back(makeFault());
  refuseCallback_ = rng_.chance(0.02);
  if (refuseCallback_)
    faults.push_back({{"call", "registerReconfigurationCallback"}, {"error", 1000}});
  scenario["faults"] = std::move(faults);
  return scenario;
}

// --- Commands ---

json Simulation::oddValue() {
  static const std::vector<json> kOdd = {
      json(-1),          json(2.0),           json(2.5),        json(4294967296ull),
      json("2"),         json(nullptr),       json::array({2}), json::object(),
      json(true),        json(false),         json(1e300),      json(-0.0),
      json(4294967295u), json(-4294967295ll), json(""),         json(0)};
  return rng_.pick(kOdd);
}

json Simulation::displayValue() {
  const double r = rng_.unit();
  if (r < 0.5) return plans_[tv_].id;
  if (r < 0.8) return rng_.pick(plans_).id;
  if (r < 0.85) return static_cast<double>(rng_.pick(plans_).id);  // 2.0 counts as 2
  if (r < 0.9) return 0;
  if (r < 0.93) return 77;  // no such display
  return oddValue();
}

json Simulation::flagValue(double yes) {
  const double r = rng_.unit();
  if (r < 0.92) return rng_.chance(yes);
  if (r < 0.96) return rng_.chance(yes) ? 1 : 0;
  return oddValue();
}

std::string Simulation::commandLine() {
  json c = json::object();
  const double f = rng_.unit();
  if (f < 0.3 && !offered_.empty()) {
    c["format"] = rng_.pick(offered_);
  } else if (f < 0.4) {
    c["format"] = "auto";
  } else if (f < 0.47) {
    c["format"] = "current";
  } else if (f < 0.62) {
    c["format"] = rng_.pick(kFormatNames);
  } else if (f < 0.8 && !nativeKeys_.empty()) {
    c["format"] = rng_.pick(nativeKeys_);
  } else if (f < 0.85) {
    c["format"] = "native:" + (plans_[0].uuid ? *plans_[0].uuid : "") + ":1:1920x1080p:60000000";
  } else {
    static const std::vector<std::string> kOther = {
        "", "AUTO", "1080P59.94", "1080p59.940", "native:", "1080p59.94 ", "caf\u00e9", "1080i"};
    c["format"] = rng_.pick(kOther);
  }
  const double k = rng_.unit();
  if (k < 0.7) {
    c["control"] = control_;
  } else if (k < 0.85) {
    c["control"] = displayValue();
  } else if (k < 0.92) {
    c["control"] = oddValue();
  }
  if (rng_.chance(0.15)) {
    c["assign"] = flagValue(0.92);
    const double how = rng_.unit();
    if (how < 0.5) {
      c["id"] = plans_[tv_].id;
    } else if (how < 0.62 && plans_[tv_].uuid) {
      c["uuid"] = *plans_[tv_].uuid;
    } else if (how < 0.8) {
      c["id"] = displayValue();
    } else if (how < 0.97) {
      const double u = rng_.unit();
      const DisplayPlan& p = rng_.pick(plans_);
      if (u < 0.5 && p.uuid) {
        c["uuid"] = *p.uuid;
      } else if (u < 0.6 && !sharedUUID_.empty()) {
        c["uuid"] = sharedUUID_;
      } else if (u < 0.7 && p.uuid) {
        std::string lower = *p.uuid;
        for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        c["uuid"] = lower;  // case counts
      } else if (u < 0.8) {
        c["uuid"] = freshUUID();  // not online yet, or ever
      } else {
        c["uuid"] = oddValue();
      }
      if (rng_.chance(0.3)) c["id"] = displayValue();
    }
  }
  if (rng_.chance(0.97)) c["enabled"] = flagValue(0.92);
  if (rng_.chance(0.9)) c["apply"] = flagValue(0.6);
  const double r = rng_.unit();
  if (r < 0.7) {
    c["revision"] = ++revision_;
  } else if (r < 0.8) {
    c["revision"] = revision_;
  } else if (r < 0.85) {
    c["revision"] = 0;
  } else if (r < 0.9) {
    static const std::vector<json> kRevisions = {json(std::numeric_limits<std::int64_t>::max()),
                                                 json(std::numeric_limits<std::int64_t>::min()),
                                                 json(18446744073709551615ull),
                                                 json(1e30),
                                                 json(-1e30),
                                                 json(2.7),
                                                 json(-2.7)};
    c["revision"] = rng_.pick(kRevisions);
  } else if (r < 0.95) {
    c["revision"] = oddValue();
  }
  if (rng_.chance(0.04)) c["extra"] = {{"nested", json::array({1, "two", nullptr})}};
  std::string line = c.dump();
  if (rng_.chance(0.05)) line = " \t" + line + " ";  // white space around is still one object
  return line;
}

std::string Simulation::garbageLine() {
  static const std::vector<std::string> kFixed = {"",
                                                  "   ",
                                                  "hello",
                                                  "[1,2]",
                                                  "42",
                                                  "null",
                                                  "{}",
                                                  R"({"format":null})",
                                                  R"({"format":7})",
                                                  R"({"format":["auto"]})",
                                                  R"({"format":"auto"}{"format":"auto"})",
                                                  R"({"format":"auto"} x)",
                                                  "{\"format\":\"\xff\"}",
                                                  "{\"format\":\"\xc3\x28\"}",
                                                  R"({"format":"auto","revision":1e99999})",
                                                  R"({"format":"auto",)",
                                                  R"({format:"auto"})",
                                                  "{\"format\":\"auto\"\x00}"};
  const double r = rng_.unit();
  if (r < 0.6) return rng_.pick(kFixed);
  if (r < 0.75) {
    std::string s;
    const std::uint64_t n = rng_.below(48);
    for (std::uint64_t i = 0; i < n; ++i) {
      char ch = static_cast<char>(rng_.below(256));
      if (ch == '\n') ch = ' ';
      s += ch;
    }
    return s;
  }
  if (r < 0.85) {
    // A command cut short.
    std::string line = commandLine();
    return line.substr(0, rng_.below(line.size()));
  }
  // Deep nesting, closed or not; closed, it is still a command.
  const std::uint64_t depth = 1 + rng_.below(600);
  std::string s = R"({"format":"current","revision":)" + std::to_string(++revision_) +
                  R"(,"deep":)" + std::string(depth, '[');
  if (rng_.chance(0.5)) s += std::string(depth, ']') + "}";
  return s;
}

// --- Platform changes ---

json Simulation::event() {
  DisplayPlan& p = plans_[rng_.below(plans_.size())];
  const double r = rng_.unit();
  if (r < 0.1) return {{"unplug", p.id}};
  if (r < 0.28) return {{"plug", p.id}};
  if (r < 0.45) {
    const std::int32_t modeId = !p.modeIds.empty() && rng_.chance(0.9)
                                    ? rng_.pick(p.modeIds)
                                    : static_cast<std::int32_t>(rng_.between(-3, 9000));
    return {{"setMode", {{"display", p.id}, {"modeId", modeId}}}};
  }
  if (r < 0.78) {
    json u = {{"display", p.id}};
    const std::uint64_t keys = 1 + rng_.below(3);
    for (std::uint64_t i = 0; i < keys; ++i) {
      // What touches eligibility, or what changes the modes and their settling.
      switch (odd(0.6) ? rng_.below(6) : 6 + rng_.below(4)) {
        case 0:
          u["active"] = rng_.chance(0.75);
          break;
        case 1:
          u["mirror"] = rng_.chance(0.3);
          break;
        case 2:
          u["hwMirror"] = rng_.chance(0.3);
          break;
        case 3:
          u["builtin"] = rng_.chance(0.15);
          break;
        case 4:
          u["online"] = rng_.chance(0.75);
          break;
        case 5: {
          // A display shares the shared UUID only if it was planned to.
          const double w = rng_.unit();
          if (p.shared && w < 0.5) {
            u["uuid"] = sharedUUID_;
          } else if (w < 0.7 && p.uuid) {
            u["uuid"] = *p.uuid;
          } else if (w < 0.9) {
            u["uuid"] = freshUUID();
          } else {
            u["uuid"] = nullptr;
          }
          break;
        }
        case 6: {
          json modes = makeModes(p);
          u["current"] = !modes.empty() && rng_.chance(0.8)
                             ? modes[rng_.below(modes.size())]["modeId"]
                             : json(nullptr);
          u["modes"] = std::move(modes);
          break;
        }
        case 7:
          if (!u.contains("modes"))
            u["current"] =
                !p.modeIds.empty() && rng_.chance(0.8) ? json(rng_.pick(p.modeIds)) : json(nullptr);
          break;
        case 8: {
          static const std::vector<double> kSettle = {0, 30, 120, 700, 1500};
          u["settleMs"] = rng_.pick(kSettle);
          break;
        }
        default: {
          static const std::vector<std::string> kKinds = {"normal", "never", "flicker"};
          u["settle"] = rng_.pick(kKinds);
          break;
        }
      }
    }
    return {{"update", std::move(u)}};
  }
  if (r < 0.86) return {{"registry", makeRegistry()}};
  if (r < 0.94) return {{"externalDisplay", rng_.chance(0.8) ? makeExternal() : json(nullptr)}};
  return {{"fault", makeFault()}};
}

// --- The run ---

void Simulation::flag(std::string what) {
  if (outcome_.violations.size() >= kMaxViolationsKept) {
    ++dropped_;
    return;
  }
  char at[48];
  const double seconds = queue_ ? std::chrono::duration<double>(queue_->now()).count() : 0.0;
  std::snprintf(at, sizeof at, "at %.3f s: ", seconds);
  outcome_.violations.push_back(at + std::move(what));
}

void Simulation::feed(const std::string& line) {
  ++outcome_.lines;
  note("> " + json(line).dump(-1, ' ', false, json::error_handler_t::replace));
  std::optional<json> command = parseCommand(line + "\n");
  if (!command) return;
  ++outcome_.commands;
  auto shared = std::make_shared<const json>(std::move(*command));
  queue_->post([this, shared] { service_->handleCommand(*shared); });
  if (rng_.chance(0.5)) queue_->runUntilIdle();
}

void Simulation::schedule(const json& action) {
  const double r = rng_.unit();
  const Nanos delay = r < 0.3   ? Nanos(0)
                      : r < 0.7 ? std::chrono::milliseconds(rng_.between(0, 250))
                                : std::chrono::milliseconds(rng_.between(0, 3000));
  const Nanos at = queue_->now() + delay;
  std::string error;
  if (!machine_->schedule(at, action, &error)) {
    flag("the generator made a bad action (" + error + "): " + action.dump());
    return;
  }
  facts_->schedule(at, action);
  ++outcome_.events;
  note("@" + std::to_string(at.count() / 1000000) + "ms " + action.dump());
}

void Simulation::advance() {
  const double r = rng_.unit();
  if (r < 0.25) {
    queue_->runUntilIdle();
  } else if (r < 0.5) {
    queue_->runFor(std::chrono::milliseconds(rng_.between(1, 60)));
  } else if (r < 0.7) {
    queue_->runFor(std::chrono::milliseconds(rng_.between(50, 400)));
  } else if (r < 0.85) {
    queue_->runFor(std::chrono::milliseconds(rng_.between(500, 4000)));
  } else if (r < 0.95) {
    queue_->runFor(std::chrono::seconds(rng_.between(5, 90)));
  } else {
    queue_->runFor(std::chrono::minutes(rng_.between(5, 90)));
  }
}

void Simulation::step() {
  const double r = rng_.unit();
  if (r < 0.30) {
    feed(commandLine());
  } else if (r < 0.38) {
    feed(garbageLine());
  } else if (r < 0.62) {
    schedule(event());
  } else {
    advance();
  }
}

void Simulation::afterBlock() {
  ++outcome_.blocks;
  watched_->blockEnded();
  if (const auto live = machine_->liveHandles(); live != 0)
    flag(std::to_string(live) + " platform objects outlived the block that obtained them");

  const std::vector<std::string> unsafe = machine_->violations();
  for (; machineViolations_ < unsafe.size(); ++machineViolations_)
    flag("the machine recorded: " + unsafe[machineViolations_]);

  const Context& cx = service_->context();
  const Counters& c = cx.counters;
  const std::uint64_t inspections = c.inspections - counted_.inspections;
  const std::uint64_t reports = c.reports - counted_.reports;
  const std::uint64_t counted = c.linesWritten - counted_.linesWritten;
  const std::size_t lines = written_.size();
  const bool changed = !(lastReport_ == cx.state.lastReport);
  if (inspections != reports)
    flag(std::to_string(inspections) + " inspections made " + std::to_string(reports) +
         " reports in one block");
  if (counted != lines)
    flag(std::to_string(lines) + " lines written, " + std::to_string(counted) + " counted");
  if (lines > reports) {
    flag(std::to_string(lines) + " lines for " + std::to_string(reports) + " reports");
  } else if (reports == 0 && changed) {
    flag("a new last report without a report");
  } else if (reports == 1 && changed != (lines == 1)) {
    flag(changed ? "a report that differs from the last one was not written"
                 : "a report equal to the last one was written");
  }

  for (const std::string& line : written_) {
    note("< " + line);
    for (const std::string& p : reportLineProblems(line))
      flag("bad report line (" + p + "): " + line);
    const json report = json::parse(line, nullptr, false);
    if (report.is_discarded()) continue;
    if (lastLine_ && *lastLine_ == report) flag("a line repeats the previous line: " + line);
    if (reports == 1 && lines == 1 && cx.state.lastReport && toJson(*cx.state.lastReport) != report)
      flag("the line written is not the report kept as the last one: " + line);
    if (report.contains("formats") && report["formats"].is_array() && !report["formats"].empty())
      offered_ = report["formats"].get<std::vector<std::string>>();
    if (report.contains("nativeModes") && report["nativeModes"].is_object() &&
        !report["nativeModes"].empty()) {
      nativeKeys_.clear();
      for (const auto& [key, label] : report["nativeModes"].items()) nativeKeys_.push_back(key);
    }
    lastLine_ = report;
  }
  outcome_.reports += lines;
  written_.clear();
  counted_ = c;
  lastReport_ = cx.state.lastReport;
}

// The end of input: the termination handler, with the display judged just before and just
// after it, in the same block and so at the same moment.
void Simulation::exitBlock() {
  Context& cx = service_->context();
  const ControllerState& s = service_->state();
  const std::uint64_t faultsBefore = machine_->faultsInjected();
  const MaybeSnapshot original = s.originalMode;
  const MaybeSnapshot owned = s.ownedMode;
  const bool ownedConnection = s.ownedConnectionMode;
  DisplayID display = 0;
  MaybeSnapshot before;
  if (original) {
    display = findDisplay(cx.platform.displays, s.targetUUID);
    before = readSnapshot(cx, display);
  }
  const std::size_t linesBefore = written_.size();
  if (options_.terminate) {
    options_.terminate(*service_, exit_);
  } else {
    service_->terminate();
  }
  if (written_.size() != linesBefore) flag("the termination handler wrote a report");
  // Status 4 says the display could not be put back; 0 says it was, or there was nothing to do.
  const int status = s.restoreFailed ? kRestoreFailedStatus : 0;
  if (exits_.size() != 1 || exits_[0] != status)
    flag("the termination handler did not exit with " + std::to_string(status));
  if (!original) return;

  const MaybeSnapshot after = readSnapshot(cx, display);
  // A fault during the judgement or the restoration makes the service's readings differ from
  // the truth, and then the rule below cannot be judged.
  if (machine_->faultsInjected() != faultsBefore || !before) return;
  // The service's own state is the whole owned snapshot, or, after a connection switch, the
  // owned connection under a desktop that somebody else has moved since: then the connection
  // alone comes back.
  const bool ownState = same(before, owned);
  if (!ownState &&
      !(ownedConnection && sameConnection(before, owned) && !sameConnection(before, original)))
    return;
  outcome_.exitChecked = true;
  if (!s.restoreFailed && (ownState ? !same(after, original) : !sameConnection(after, original)))
    flag(
        "at exit the display held the service's own state, and ends neither restored nor "
        "with restoreFailed: " +
        (after ? toJson(*after).dump() : std::string("(unreadable)")) + " instead of " +
        toJson(*original).dump());
}

Outcome Simulation::run() {
  outcome_.seed = options_.seed;
  const json scenario = makeScenario();
  if (options_.keepLog) outcome_.story += "scenario " + scenario.dump() + "\n";

  sim::VirtualQueue queue;
  queue_ = &queue;
  sim::SimMachine machine(scenario, queue.clock());
  machine_ = &machine;
  queue.attach(&machine);
  Facts facts(scenario);
  facts_ = &facts;
  Flag flagger = [this](std::string what) { flag(std::move(what)); };
  Guard guard(machine.platform(), facts, queue.clock(), flagger);
  WatchedQueue watched(queue, flagger);
  watched_ = &watched;
  guard.onNewPoll([&watched] { watched.newPoll(); });

  std::unique_ptr<test::Pass> planted;
  if (options_.wrapPlatform) {
    planted = options_.wrapPlatform(guard.platform(), [this]() -> const ControllerState* {
      return service_ ? &service_->state() : nullptr;
    });
  }
  Writer write = [this](std::string_view line) { written_.emplace_back(line); };
  if (options_.wrapWriter) write = options_.wrapWriter(write);

  exit_ = [this](int status) {
    exits_.push_back(status);
    queue_->stop();
  };
  Service service(planted ? planted->platform() : guard.platform(), watched, write, exit_);
  service_ = &service;
  guard.follow(&service.state());
  watched.watch(&service.context());
  counted_ = service.context().counters;

  const bool started = service.start();
  if (refuseCallback_ || !started) {
    // The process would exit with 1 at once, having read and written nothing.
    if (!refuseCallback_) flag("start-up failed");
    if (refuseCallback_ && started) flag("start-up succeeded although the callback was refused");
  } else {
    queue.setAfterBlock([this] { afterBlock(); });
    // A controlling application starts by assigning its display.
    feed(json({{"format", rng_.pick(kFormatNames)},
               {"control", control_},
               {"assign", true},
               {"id", plans_[tv_].id},
               {"enabled", true},
               {"apply", true},
               {"revision", ++revision_}})
             .dump());
    const std::uint64_t steps = 40 + rng_.below(220);
    for (std::uint64_t i = 0; i < steps; ++i) step();
    if (rng_.chance(0.5)) {
      // Somebody puts the television back in order, and the application ends while showing
      // a format of its choice on it.
      const DisplayPlan& tv = plans_[tv_];
      const json order = {{"update",
                           {{"display", tv.id},
                            {"online", true},
                            {"active", true},
                            {"builtin", false},
                            {"mirror", false},
                            {"hwMirror", false},
                            {"uuid", tv.uuid && !tv.shared ? *tv.uuid : freshUUID()}}}};
      if (machine_->schedule(queue.now(), order)) facts_->schedule(queue.now(), order);
      queue.runFor(std::chrono::milliseconds(rng_.between(0, 400)));
      std::vector<std::string> elsewhere;
      for (const std::string& f : offered_)
        if (!lastLine_ || (*lastLine_)["actual"].value("format", "") != f) elsewhere.push_back(f);
      feed(json({{"format", elsewhere.empty() ? "auto" : rng_.pick(elsewhere)},
                 {"control", control_},
                 {"assign", true},
                 {"id", plans_[tv_].id},
                 {"enabled", true},
                 {"apply", true},
                 {"revision", ++revision_}})
               .dump());
      queue.runFor(std::chrono::milliseconds(rng_.between(0, 8000)));
    }
    note("end of input");
    queue.post([this] { exitBlock(); });
    queue.runUntilIdle();
    if (exits_.empty()) flag("the termination handler never ran");
    queue.setAfterBlock(nullptr);
  }
  if (machine.liveHandles() != 0) flag("platform objects alive at the end");

  outcome_.simulated = queue.now();
  outcome_.inspections = service.context().counters.inspections;
  outcome_.transactions = machine.callCount("completeConfiguration");
  outcome_.switches = machine.callCount("setCurrentMode");
  outcome_.faults = machine.faultsInjected();
  outcome_.longestVerification = watched.longestVerification();
  if (dropped_ != 0) outcome_.violations.push_back("... and " + std::to_string(dropped_) + " more");
  if (options_.keepLog) outcome_.story += "actions\n" + machine.actionLogText();
  service_ = nullptr;
  return outcome_;
}

}  // namespace

Outcome simulate(const Options& options) {
  return Simulation(options).run();
}

std::string describeFailure(const Outcome& outcome, std::string_view program) {
  std::string text = "seed " + std::to_string(outcome.seed) + ": " +
                     std::to_string(outcome.violations.size()) + " invariant violation(s)\n";
  for (const std::string& v : outcome.violations) text += "  " + v + "\n";
  text += "  reproduce: " + std::string(program) + " --seed " + std::to_string(outcome.seed) +
          " --story\n";
  return text;
}

}  // namespace df::trust
