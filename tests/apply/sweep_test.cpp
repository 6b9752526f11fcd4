// Every platform call can fail. Each exchange of the table runs once with no fault to count its
// calls, then once for every N with the N-th call failing. After each run: no platform object
// outlived its block (the harness), nothing reached a display it may not touch (the harness),
// no report said "matched" while the display did not show the format, and at the end the
// display is back where it started unless the service said it could not put it back.
//
// Built twice: in df_tests, where every run must be unharmed, and against a core whose
// restoration forgets a failure (tests/apply/CMakeLists.txt), where the sweep must find harm.
#include <gtest/gtest.h>

#include "control/service.h"
#include "link/probe.h"
#include "modes/format.h"
#include "support/harness.h"
#include "support/pass.h"

namespace df {
namespace {

using test::json;
using namespace std::chrono_literals;

// Fails the N-th call (counting from 1; 0: none) as the platform would: no answer, no change.
// A failed query about a display answers what makes the display untouchable.
class Faulty final : public test::Pass {
 public:
  Faulty(platform::Platform inner, std::uint64_t failAt) : Pass(inner), failAt_(failAt) {}
  std::uint64_t calls() const { return calls_; }

  bool list(std::vector<platform::DisplayID>& out) override {
    if (fail()) return out.clear(), false;
    return Pass::list(out);
  }
  std::optional<std::string> uuid(platform::DisplayID d) override {
    return fail() ? std::nullopt : Pass::uuid(d);
  }
  bool isActive(platform::DisplayID d) override { return !fail() && Pass::isActive(d); }
  bool isBuiltin(platform::DisplayID d) override { return fail() || Pass::isBuiltin(d); }
  bool isMirrored(platform::DisplayID d) override { return fail() || Pass::isMirrored(d); }
  bool isHardwareMirrored(platform::DisplayID d) override {
    return fail() || Pass::isHardwareMirrored(d);
  }
  platform::ModeHandle currentMode(platform::DisplayID d) override {
    return fail() ? nullptr : Pass::currentMode(d);
  }
  std::optional<std::vector<platform::ModeHandle>> modes(platform::DisplayID d) override {
    return fail() ? std::nullopt : Pass::modes(d);
  }
  bool configure(platform::DisplayID d, const platform::Mode* mode) override {
    return !fail() && Pass::configure(d, mode);
  }
  std::optional<platform::LinkReading> read(platform::DisplayID d) override {
    return fail() ? std::nullopt : Pass::read(d);
  }
  std::optional<std::vector<platform::ConnectionMode>> connectionModes(
      platform::DisplayID d, const std::string& uuid) override {
    return fail() ? std::nullopt : Pass::connectionModes(d, uuid);
  }
  bool switchConnection(platform::DisplayID d, const std::string& uuid,
                        const platform::ConnectionMode& mode) override {
    return !fail() && Pass::switchConnection(d, uuid, mode);
  }

 private:
  bool fail() { return ++calls_ == failAt_; }

  std::uint64_t failAt_;
  std::uint64_t calls_ = 0;
};

// One step of an exchange: a command, an event on the machine, or time passing.
struct Step {
  json command;
  json event;
  std::chrono::milliseconds wait{0};
};

struct Exchange {
  const char* name;
  std::function<void(json&)> edit;  // of the studio scenario
  std::vector<Step> steps;          // then the end of input
};

std::vector<Exchange> exchanges() {
  auto command = [](json c) { return Step{std::move(c), nullptr}; };
  auto event = [](json e) { return Step{nullptr, std::move(e)}; };
  auto wait = [](std::chrono::milliseconds ms) { return Step{nullptr, nullptr, ms}; };
  return {
      {"a verified switch", nullptr, {command(test::assign("1080p50"))}},
      {"restoration at disable",
       nullptr,
       {command(test::assign("1080p50")), command(test::keep("1080p50", false, false, 2))}},
      {"restoration at re-assign",
       nullptr,
       {command(test::assign("1080p50")), command(test::assign("720p50", true, true, 2))}},
      {"a connection switch",
       [](json& s) { s["externalDisplay"]["linkSettleMs"] = 250; },
       {command(test::assign("1080p59.94"))}},
      {"a hot-plug with rechecks",
       nullptr,
       {command(test::assign("1080p50")), event({{"unplug", 2}}), wait(1s), event({{"plug", 2}}),
        wait(8s)}},
  };
}

// The format the display shows, read past the faults.
std::optional<std::string> shown(Context& truth, platform::DisplayID d) {
  if (std::optional<Link> link = hdmiLink(truth, d))
    return link->signal ? std::optional(link->signal->format) : std::nullopt;
  const platform::ModeHandle mode = truth.platform.displays.currentMode(d);
  return formatOf(mode.get());
}

struct Run {
  std::uint64_t calls = 0;
  bool saidRestoreFailed = false;
  std::vector<std::string> harm;
};

Run run(const Exchange& x, std::uint64_t failAt) {
  json scenario = test::studioScenario();
  if (x.edit) x.edit(scenario);
  Faulty* faulty = nullptr;
  std::unique_ptr<Faulty> owner;
  test::Harness h(scenario, [&](platform::Platform inner) {
    owner = std::make_unique<Faulty>(inner, failAt);
    faulty = owner.get();
    return faulty->platform();
  });
  Run r;
  Context truth{h.machine->platform(), h.queue, [](std::string_view) {}};
  h.cx().writeLine = [&](std::string_view line) {
    h.lines.emplace_back(line);
    const json report = json::parse(line);
    r.saidRestoreFailed |= report["restoreFailed"] == true;
    if (report["phase"] != "matched") return;
    const auto d = static_cast<platform::DisplayID>(std::stoul(report["id"].get<std::string>()));
    if (shown(truth, d) != report["chosen"])
      r.harm.push_back("\"matched\" while display " + std::to_string(d) + " shows " +
                       shown(truth, d).value_or("no format"));
  };
  const auto startMode = h.machine->currentModeId(2);
  const auto startConnection = h.machine->externalCurrentModeIndex();
  for (const Step& step : x.steps) {
    if (!step.command.is_null()) h.command(step.command);
    if (!step.event.is_null()) {
      EXPECT_TRUE(h.machine->perform(step.event));
    }
    h.run(step.wait);
  }
  h.queue.post([&h] { h.service->terminate(); });
  h.settle();
  // What the platform still carries out after the exit.
  h.machine->advanceTo(h.queue.now() + 5s);
  const bool back = h.machine->currentModeId(2) == startMode &&
                    h.machine->externalCurrentModeIndex() == startConnection;
  if (!back && !r.saidRestoreFailed && h.exitStatus != kRestoreFailedStatus)
    r.harm.push_back("left changed, and the exit status is " +
                     std::to_string(h.exitStatus.value_or(-1)));
  r.calls = faulty->calls();
  return r;
}

// Every harm found over the whole sweep of the exchange.
std::vector<std::string> sweep(const Exchange& x) {
  const Run clean = run(x, 0);
  std::vector<std::string> harm = clean.harm;
  EXPECT_GT(clean.calls, 10U);
  for (std::uint64_t n = 1; n <= clean.calls; ++n) {
    SCOPED_TRACE("call " + std::to_string(n) + " failing");
    for (const std::string& h : run(x, n).harm)
      harm.push_back("call " + std::to_string(n) + " failing: " + h);
  }
  return harm;
}

#ifndef DF_PLANTED_FAULT
TEST(FaultSweep, EveryCallFailingLeavesNoHarm) {
  for (const Exchange& x : exchanges()) {
    SCOPED_TRACE(x.name);
    EXPECT_EQ(sweep(x), std::vector<std::string>{});
  }
}
#else
// The core under this test forgets that a restoration failed.
TEST(FaultSweep, CatchesTheRestorationThatForgetsAFailure) {
  EXPECT_NE(sweep(exchanges()[1]), std::vector<std::string>{});
}
#endif

}  // namespace
}  // namespace df
