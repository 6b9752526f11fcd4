#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sim/machine.h"
#include "platform/sim/virtual_queue.h"

namespace df::sim {
namespace {

using json = nlohmann::json;
using darwin::Error;
using platform::DisplayID;
using namespace std::chrono_literals;
using Notice = std::pair<DisplayID, std::uint32_t>;
using NoticeList = std::vector<Notice>;

// A built-in panel (1), a television (2) whose link follows its modes, an offline display (3)
// without a UUID, three registry services and an external display object with two modes.
json baseScenario() {
  return json::parse(R"({
    "displays": [
      {"id": 1, "uuid": "PANEL", "builtin": true, "current": 1, "modes": [
        {"modeId": 1, "width": 3024, "height": 1964, "logicalWidth": 1512,
         "logicalHeight": 982, "hz": 120, "flags": 3}]},
      {"id": 2, "uuid": "TV", "current": 1, "modes": [
        {"modeId": 1, "width": 1920, "height": 1080, "hz": 60, "flags": 1048579, "timing": 101},
        {"modeId": 2, "width": 1920, "height": 1080, "hz": 59.94, "flags": 1048579, "timing": 102},
        {"modeId": 3, "width": 1280, "height": 720, "hz": "NaN", "flags": 1048579},
        {"modeId": 4, "width": 960, "height": 540, "hz": 60, "flags": 3,
         "lowResolutionDuplicate": true}]},
      {"id": 3, "uuid": null, "online": false}
    ],
    "registry": [
      {"class": "IOMobileFramebufferShim", "properties": {"IOMFBUUID": "OTHER", "DPTimingModeId": 7}},
      {"class": "Other"},
      {"class": "IOMobileFramebufferShim",
       "properties": {"IOMFBUUID": "EXT", "DPTimingModeId": 101, "external": "yes"}}
    ],
    "externalDisplay": {"uuid": "EXT", "currentMode": 0, "linkSettleMs": 250, "availableModes": [
      {"width": 1920, "height": 1080, "refreshRate": 60, "colorMode": "RGB", "hdrMode": "SDR",
       "isVRR": false, "timing": 101},
      {"width": 1920, "height": 1080, "refreshRate": 59.94, "colorMode": "RGB", "hdrMode": null,
       "timing": 102}]}
  })");
}

class SimMachineTest : public ::testing::Test {
 protected:
  void build(json scenario = baseScenario()) {
    machine = std::make_unique<SimMachine>(scenario, queue.clock());
    queue.attach(machine.get());
    ASSERT_EQ(machine->registerReconfigurationCallback(&record, this), darwin::kSuccess);
  }
  void TearDown() override {
    if (!machine) return;
    EXPECT_EQ(machine->liveHandles(), 0);
    EXPECT_EQ(machine->violations(), std::vector<std::string>{}) << machine->actionLogText();
  }
  static void record(DisplayID display, std::uint32_t flags, void* self) {
    static_cast<SimMachineTest*>(self)->notices.emplace_back(display, flags);
  }
  NoticeList take() { return std::exchange(notices, {}); }

  // One transaction as the service makes it: begin, configure (cancel on failure), complete.
  Error apply(DisplayID display, std::int32_t modeId) {
    auto modes = machine->copyAllDisplayModes(display, true);
    const darwin::DisplayMode* chosen = nullptr;
    for (std::size_t i = 0; modes && i < modes->size(); ++i)
      if ((*modes)[i]->ioDisplayModeID() == modeId) chosen = (*modes)[i].get();
    darwin::ConfigHandle tx;
    if (Error e = machine->beginConfiguration(tx)) return e;
    if (Error e = machine->configureDisplayWithMode(*tx, display, chosen)) {
      (void)machine->cancelConfiguration(std::move(tx));
      return e;
    }
    return machine->completeConfiguration(std::move(tx), darwin::kConfigureForAppOnly);
  }

  VirtualQueue queue;
  std::unique_ptr<SimMachine> machine;
  NoticeList notices;
};

TEST_F(SimMachineTest, OnlineListUsesTheTwoCallProtocol) {
  build();
  std::uint32_t count = 99;
  EXPECT_EQ(machine->getOnlineDisplayList(0, nullptr, &count), darwin::kSuccess);
  EXPECT_EQ(count, 2U);
  struct Case {
    std::uint32_t capacity;
    std::vector<DisplayID> ids;
  };
  for (const Case& c : {Case{1, {1}}, Case{2, {1, 2}}, Case{8, {1, 2}}}) {
    SCOPED_TRACE(c.capacity);
    std::vector<DisplayID> buffer(c.capacity, 0);
    ASSERT_EQ(machine->getOnlineDisplayList(c.capacity, buffer.data(), &count), 0);
    buffer.resize(count);
    EXPECT_EQ(buffer, c.ids);
  }
  ASSERT_TRUE(machine->perform({{"plug", 3}}));
  DisplayID ids[3] = {};
  ASSERT_EQ(machine->getOnlineDisplayList(3, ids, &count), 0);
  EXPECT_EQ(std::vector<DisplayID>(ids, ids + count), (std::vector<DisplayID>{1, 2, 3}));
}

TEST_F(SimMachineTest, AnswersQueriesOnlyAboutKnownOnlineDisplays) {
  build();
  auto uuid = machine->createUUIDFromDisplayID(2);
  ASSERT_TRUE(uuid);
  EXPECT_EQ(uuid->string(), "TV");
  uuid.reset();
  EXPECT_FALSE(machine->createUUIDFromDisplayID(3));  // no UUID
  EXPECT_FALSE(machine->createUUIDFromDisplayID(9));
  EXPECT_TRUE(machine->displayIsActive(2));
  EXPECT_TRUE(machine->displayIsBuiltin(1));
  for (DisplayID d : {3U, 9U}) {
    SCOPED_TRACE(d);
    EXPECT_FALSE(machine->displayIsActive(d));
    EXPECT_FALSE(machine->copyDisplayMode(d));
    EXPECT_FALSE(machine->copyAllDisplayModes(d, true));
  }
  auto panel = machine->copyDisplayMode(1);
  ASSERT_TRUE(panel);
  EXPECT_EQ(std::vector<std::size_t>(
                {panel->width(), panel->height(), panel->pixelWidth(), panel->pixelHeight()}),
            std::vector<std::size_t>({1512, 982, 3024, 1964}));
  EXPECT_EQ(panel->refreshRate(), 120);
  EXPECT_EQ(panel->ioFlags(), 3U);
  panel.reset();
  EXPECT_EQ(machine->copyAllDisplayModes(2, true)->size(), 4U);
  auto listed = machine->copyAllDisplayModes(2, false);
  ASSERT_EQ(listed->size(), 3U);  // without the low-resolution duplicate
  EXPECT_TRUE(std::isnan((*listed)[2]->refreshRate()));
}

TEST_F(SimMachineTest, CompleteSendsNoticesInsideTheCallAndTheLinkFollows) {
  build();
  ASSERT_EQ(apply(2, 2), darwin::kSuccess);
  // Delivered before complete returned: nothing has run on the queue.
  EXPECT_EQ(take(), (NoticeList{{1, 0x1}, {2, 0x1}, {2, 0x8}}));
  EXPECT_EQ(machine->currentModeId(2), 2);
  queue.runFor(249ms);
  EXPECT_EQ(machine->linkTimingModeId(), 101);
  queue.runFor(1ms);
  EXPECT_EQ(machine->linkTimingModeId(), 102);
  EXPECT_EQ(take(), NoticeList{});  // the link changes silently

  ASSERT_EQ(apply(2, 3), darwin::kSuccess);  // no timing: the link stays
  queue.runFor(1s);
  EXPECT_EQ(machine->linkTimingModeId(), 102);

  // With "linkDrop" the link has no timing while it retrains; a later retrain supersedes one
  // that has not settled, and a connection switch drops the link at once.
  json dropping = baseScenario();
  dropping["externalDisplay"]["linkDrop"] = true;
  build(dropping);
  ASSERT_EQ(apply(2, 2), darwin::kSuccess);
  EXPECT_EQ(machine->linkTimingModeId(), std::nullopt);
  queue.runFor(100ms);
  ASSERT_EQ(apply(2, 1), darwin::kSuccess);
  queue.runFor(249ms);
  EXPECT_EQ(machine->linkTimingModeId(), std::nullopt);
  queue.runFor(1ms);
  EXPECT_EQ(machine->linkTimingModeId(), 101);
  auto ext = machine->externalDisplay();
  auto modes = ext->availableModes();
  ext->setCurrentMode(*(*modes)[1]);
  EXPECT_EQ(machine->linkTimingModeId(), std::nullopt);
  EXPECT_EQ(machine->externalCurrentModeIndex(), 0U);
  queue.runFor(250ms);
  EXPECT_EQ(machine->linkTimingModeId(), 102);
  EXPECT_EQ(machine->externalCurrentModeIndex(), 1U);
}

TEST_F(SimMachineTest, SettleTimingFollowsTheVirtualClock) {
  json s = baseScenario();
  s["displays"][1]["settleMs"] = 120;
  s["externalDisplay"]["linkSettleMs"] = 0;
  build(s);
  ASSERT_EQ(apply(2, 2), 0);
  EXPECT_EQ(take(), (NoticeList{{1, 0x1}, {2, 0x1}}));
  queue.runFor(119ms);
  EXPECT_EQ(machine->currentModeId(2), 1);
  queue.runFor(1ms);
  EXPECT_EQ(machine->currentModeId(2), 2);
  EXPECT_EQ(take(), (NoticeList{{2, 0x8}}));
  EXPECT_EQ(machine->linkTimingModeId(), 102);

  // A later change supersedes a pending one.
  ASSERT_EQ(apply(2, 3), 0);
  queue.runFor(60ms);
  ASSERT_EQ(apply(2, 1), 0);
  queue.runFor(1s);
  EXPECT_EQ(machine->currentModeId(2), 1);
  EXPECT_EQ(take(), (NoticeList{{1, 0x1}, {2, 0x1}, {1, 0x1}, {2, 0x1}, {2, 0x8}}));
}

TEST_F(SimMachineTest, SettleNeverAndFlicker) {
  json s = baseScenario();
  s["displays"][1]["settle"] = "never";
  build(s);
  ASSERT_EQ(apply(2, 2), 0);
  queue.runFor(10s);
  EXPECT_EQ(machine->currentModeId(2), 1);
  EXPECT_EQ(take(), (NoticeList{{1, 0x1}, {2, 0x1}}));

  ASSERT_TRUE(machine->perform(
      {{"update", {{"display", 2}, {"settle", "flicker"}, {"flickerMs", 50}, {"flickers", 1}}}}));
  take();
  ASSERT_EQ(apply(2, 2), 0);
  std::vector<std::optional<std::int32_t>> seen = {machine->currentModeId(2)};
  for (int i = 0; i < 3; ++i) {
    queue.runFor(50ms);
    seen.push_back(machine->currentModeId(2));
  }
  EXPECT_EQ(seen, (std::vector<std::optional<std::int32_t>>{2, 1, 2, 2}));
}

TEST_F(SimMachineTest, ConfigureRefusesWhatIsNotTheDisplaysMode) {
  json s = baseScenario();
  s["displays"].push_back(
      {{"id", 4},
       {"uuid", "X"},
       {"modes", {{{"modeId", 9}, {"width", 1}, {"height", 1}, {"hz", 1}, {"flags", 0}}}}});
  build(s);
  auto foreign = machine->copyAllDisplayModes(4, true);
  auto own = machine->copyDisplayMode(2);
  struct Case {
    const char* name;
    const darwin::DisplayMode* mode;
  };
  for (const Case& c :
       {Case{"null mode", nullptr}, Case{"another display's mode", (*foreign)[0].get()}}) {
    SCOPED_TRACE(c.name);
    darwin::ConfigHandle tx;
    ASSERT_EQ(machine->beginConfiguration(tx), 0);
    EXPECT_EQ(machine->configureDisplayWithMode(*tx, 2, c.mode), darwin::kErrorIllegalArgument);
    EXPECT_EQ(machine->completeConfiguration(std::move(tx), 0), 0);
  }
  EXPECT_EQ(take(), NoticeList{});  // empty transactions change nothing
  EXPECT_EQ(machine->currentModeId(2), 1);

  // Dropped without complete or cancel: cancelled, and logged as such.
  darwin::ConfigHandle tx;
  ASSERT_EQ(machine->beginConfiguration(tx), 0);
  ASSERT_EQ(machine->configureDisplayWithMode(*tx, 2, own.get()), 0);
  tx.reset();
  EXPECT_EQ(machine->actions().back().call, "cancelConfiguration");
  EXPECT_EQ(machine->actions().back().detail["implicit"], true);
  EXPECT_EQ(take(), NoticeList{});
}

TEST_F(SimMachineTest, ScriptedChangesSendTheirFlagWords) {
  struct Case {
    json action;
    NoticeList notices;
  };
  const NoticeList begin = {{1, 0x1}, {2, 0x1}};
  auto with = [&](Notice n) {
    NoticeList l = begin;
    l.push_back(n);
    return l;
  };
  auto update = [](json keys) {
    keys["display"] = 2;
    return json{{"update", keys}};
  };
  const Case cases[] = {
      {{{"unplug", 2}}, with({2, 0x20})},
      {{{"unplug", 3}}, {}},  // already offline
      {{{"plug", 3}}, with({3, 0x10})},
      {{{"setMode", {{"display", 2}, {"modeId", 3}}}}, with({2, 0x8})},
      {update({{"active", false}}), with({2, 0x200})},
      {update({{"mirror", true}}), with({2, 0x400})},
      {update({{"hwMirror", true}, {"active", false}}), with({2, 0x600})},
      {update({{"current", 2}}), with({2, 0x8})},
      {update({{"online", false}}), with({2, 0x20})},
      {update({{"uuid", "NEW"}}), with({2, 0x1000})},
      {{{"update", {{"display", 3}, {"uuid", "Z"}}}}, {}},  // offline stays offline
      {{{"registry", json::array()}}, {}},
      {{{"externalDisplay", nullptr}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action.dump());
    build();
    std::string error;
    ASSERT_TRUE(machine->schedule(queue.now() + 100ms, c.action, &error)) << error;
    queue.runFor(99ms);
    EXPECT_EQ(take(), NoticeList{});
    queue.runFor(1ms);
    EXPECT_EQ(take(), c.notices);
  }
  build();
  EXPECT_TRUE(machine->perform({{"update", {{"display", 2}, {"mirror", true}}}}));
  take();
  EXPECT_TRUE(machine->perform({{"update", {{"display", 2}, {"mirror", false}}}}));
  EXPECT_EQ(take(), with({2, 0x800}));
  std::string error;
  EXPECT_FALSE(machine->perform({{"plug", 8}}, &error));
  EXPECT_EQ(error, "action.plug: unknown display 8");
}

TEST_F(SimMachineTest, TimelineRunsInOrderAndFollowUpsCountFromTheirEvent) {
  build();
  // Same time: scheduling order. The link follow-up of the setMode at 100 ms falls at 350 ms,
  // before the registry replacement at 400 ms, even though time jumps to 1 s in one step.
  ASSERT_TRUE(machine->schedule(
      400ms, {{"registry",
               {{{"class", "IOMobileFramebufferShim"},
                 {"properties", {{"IOMFBUUID", "EXT"}, {"DPTimingModeId", 555}}}}}}}));
  ASSERT_TRUE(machine->schedule(100ms, {{"setMode", {{"display", 2}, {"modeId", 2}}}}));
  ASSERT_TRUE(machine->schedule(100ms, {{"unplug", 2}}));
  EXPECT_EQ(machine->nextEventTime(), 100ms);
  machine->advanceTo(1s);
  EXPECT_EQ(machine->linkTimingModeId(), 555);
  EXPECT_EQ(machine->nextEventTime(), std::nullopt);
  EXPECT_EQ(take(), (NoticeList{{1, 0x1}, {2, 0x1}, {2, 0x8}, {1, 0x1}, {2, 0x1}, {2, 0x20}}));
}

TEST_F(SimMachineTest, RegistryListsMatchingServicesVerbatim) {
  build();
  darwin::RegistryHandle it;
  ASSERT_EQ(machine->servicesMatching("IOMobileFramebufferShim", it), 0);
  std::vector<std::optional<json>> uuids;
  while (auto service = machine->iteratorNext(*it)) {
    uuids.push_back(darwin::copyOf(machine->registryProperty(*service, "IOMFBUUID")));
    if (uuids.size() == 2) {
      EXPECT_EQ(darwin::copyOf(machine->registryProperty(*service, "external")), json("yes"));
      EXPECT_EQ(machine->registryProperty(*service, "Transport"), nullptr);
    }
  }
  EXPECT_EQ(uuids, (std::vector<std::optional<json>>{json("OTHER"), json("EXT")}));
  EXPECT_FALSE(machine->iteratorNext(*it));
  EXPECT_EQ(machine->registryProperty(*it, "IOMFBUUID"), nullptr);  // not a service
  ASSERT_EQ(machine->servicesMatching("Missing", it), 0);
  EXPECT_FALSE(machine->iteratorNext(*it));
}

TEST_F(SimMachineTest, ConnectionSwitchSettlesThenAnnounces) {
  build();
  auto ext = machine->externalDisplay();
  ASSERT_TRUE(ext);
  EXPECT_EQ(ext->uuid(), "EXT");
  auto modes = ext->availableModes();
  ASSERT_EQ(modes->size(), 2U);
  EXPECT_EQ((*modes)[1]->isVRR(), std::nullopt);
  EXPECT_EQ((*modes)[1]->hdrMode(), std::nullopt);
  EXPECT_EQ((*modes)[0]->colorMode(), "RGB");
  ext->setCurrentMode(*(*modes)[1]);
  EXPECT_EQ(machine->actions().back().detail["index"], 1);
  queue.runFor(249ms);
  EXPECT_EQ(machine->externalCurrentModeIndex(), 0U);
  EXPECT_EQ(take(), NoticeList{});
  queue.runFor(1ms);
  EXPECT_EQ(machine->externalCurrentModeIndex(), 1U);
  EXPECT_EQ(machine->linkTimingModeId(), 102);
  EXPECT_EQ(take(), (NoticeList{{1, 0x1}, {2, 0x1}, {2, 0x8}}));
  EXPECT_EQ(ext->currentMode()->refreshRate(), 59.94);

  // Replaced modes: an old handle stands for an equal mode, or for nothing.
  json replaced = baseScenario()["externalDisplay"];
  std::swap(replaced["availableModes"][0], replaced["availableModes"][1]);
  replaced["linkSettleMs"] = 0;
  replaced["availableModes"][1]["width"] = 3840;
  ASSERT_TRUE(machine->perform({{"externalDisplay", replaced}}));
  ext->setCurrentMode(*(*modes)[1]);
  EXPECT_EQ(machine->externalCurrentModeIndex(), 0U);
  ext->setCurrentMode(*(*modes)[0]);
  EXPECT_EQ(machine->actions().back().detail["result"], darwin::kErrorIllegalArgument);
  EXPECT_EQ(machine->externalCurrentModeIndex(), 0U);
  ASSERT_TRUE(machine->perform({{"externalDisplay", nullptr}}));
  EXPECT_EQ(ext->uuid(), std::nullopt);
  EXPECT_FALSE(machine->externalDisplay());
}

TEST_F(SimMachineTest, FaultsHitEveryKindOfCall) {
  struct Case {
    std::string call;
    Error error;
    std::function<void(SimMachine&)> check;
  };
  using M = SimMachine&;
  const Case cases[] = {
      {"registerReconfigurationCallback", 1000,
       [](M m) { EXPECT_EQ(m.registerReconfigurationCallback(&record, nullptr), 1000); }},
      {"getOnlineDisplayList", 1000,
       [](M m) {
         std::uint32_t n = 5;
         EXPECT_EQ(m.getOnlineDisplayList(0, nullptr, &n), 1000);
         EXPECT_EQ(n, 0U);
       }},
      {"createUUIDFromDisplayID", 1, [](M m) { EXPECT_FALSE(m.createUUIDFromDisplayID(2)); }},
      {"displayIsActive", 0, [](M m) { EXPECT_FALSE(m.displayIsActive(2)); }},
      {"displayIsBuiltin", 1, [](M m) { EXPECT_TRUE(m.displayIsBuiltin(2)); }},
      {"displayIsInMirrorSet", 1, [](M m) { EXPECT_TRUE(m.displayIsInMirrorSet(2)); }},
      {"displayIsInHWMirrorSet", 1, [](M m) { EXPECT_TRUE(m.displayIsInHWMirrorSet(2)); }},
      {"copyDisplayMode", 1, [](M m) { EXPECT_FALSE(m.copyDisplayMode(2)); }},
      {"copyAllDisplayModes", 1, [](M m) { EXPECT_FALSE(m.copyAllDisplayModes(2, true)); }},
      {"beginConfiguration", 1004,
       [](M m) {
         darwin::ConfigHandle tx;
         EXPECT_EQ(m.beginConfiguration(tx), 1004);
         EXPECT_FALSE(tx);
       }},
      {"configureDisplayWithMode", 1000,
       [](M m) {
         darwin::ConfigHandle tx;
         ASSERT_EQ(m.beginConfiguration(tx), 0);
         auto mode = m.copyDisplayMode(2);
         EXPECT_EQ(m.configureDisplayWithMode(*tx, 2, mode.get()), 1000);
         EXPECT_EQ(m.cancelConfiguration(std::move(tx)), 0);
       }},
      {"completeConfiguration", 1004,
       [](M m) {
         darwin::ConfigHandle tx;
         ASSERT_EQ(m.beginConfiguration(tx), 0);
         auto modes = m.copyAllDisplayModes(2, true);
         ASSERT_EQ(m.configureDisplayWithMode(*tx, 2, (*modes)[1].get()), 0);
         EXPECT_EQ(m.completeConfiguration(std::move(tx), 0), 1004);
         EXPECT_EQ(m.currentModeId(2), 1);  // consumed, not applied
       }},
      {"cancelConfiguration", 1000,
       [](M m) {
         darwin::ConfigHandle tx;
         ASSERT_EQ(m.beginConfiguration(tx), 0);
         EXPECT_EQ(m.cancelConfiguration(std::move(tx)), 1000);
       }},
      {"servicesMatching", 5,
       [](M m) {
         darwin::RegistryHandle it;
         EXPECT_EQ(m.servicesMatching("IOMobileFramebufferShim", it), 5);
         EXPECT_FALSE(it);
       }},
      {"iteratorNext", 1,
       [](M m) {
         darwin::RegistryHandle it;
         ASSERT_EQ(m.servicesMatching("IOMobileFramebufferShim", it), 0);
         EXPECT_FALSE(m.iteratorNext(*it));
       }},
      {"registryProperty", 1,
       [](M m) {
         darwin::RegistryHandle it;
         ASSERT_EQ(m.servicesMatching("IOMobileFramebufferShim", it), 0);
         auto service = m.iteratorNext(*it);
         EXPECT_EQ(m.registryProperty(*service, "IOMFBUUID"), nullptr);
       }},
      {"externalDisplay", 1, [](M m) { EXPECT_FALSE(m.externalDisplay()); }},
      {"uuid", 1, [](M m) { EXPECT_EQ(m.externalDisplay()->uuid(), std::nullopt); }},
      {"currentMode", 1, [](M m) { EXPECT_FALSE(m.externalDisplay()->currentMode()); }},
      {"availableModes", 1, [](M m) { EXPECT_FALSE(m.externalDisplay()->availableModes()); }},
      {"setCurrentMode", 1000,
       [](M m) {
         auto ext = m.externalDisplay();
         ext->setCurrentMode(*(*ext->availableModes())[1]);
         m.advanceTo(1s);
         EXPECT_EQ(m.externalCurrentModeIndex(), 0U);
         EXPECT_EQ(m.actions().back().detail["faulted"], true);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    build();
    ASSERT_TRUE(machine->addFault({{"call", c.call}, {"error", c.error}}));
    c.check(*machine);
    EXPECT_EQ(machine->faultsInjected(), 1U);
    EXPECT_GE(machine->callCount(c.call), 1U);
    EXPECT_EQ(take(), NoticeList{});
    EXPECT_EQ(machine->liveHandles(), 0);
  }
}

TEST_F(SimMachineTest, FaultsCountOnlyMatchingCalls) {
  json s = baseScenario();
  s["faults"] = {
      {{"call", "copyDisplayMode"}, {"error", 1}, {"display", 2}, {"after", 1}, {"times", 2}}};
  build(s);
  std::vector<bool> answered;
  for (DisplayID d : {2, 1, 2, 1, 2, 2, 1})
    answered.push_back(machine->copyDisplayMode(d) != nullptr);
  EXPECT_EQ(answered, (std::vector<bool>{true, true, false, true, false, true, true}));
  EXPECT_EQ(machine->faultsInjected(), 2U);
  EXPECT_EQ(machine->callCount("copyDisplayMode"), 7U);
  ASSERT_TRUE(machine->addFault({{"call", "displayIsActive"}, {"error", 0}}));
  EXPECT_FALSE(machine->displayIsActive(2));
  EXPECT_FALSE(machine->displayIsActive(2));  // every one, without "times"
}

TEST_F(SimMachineTest, CountsEveryKindOfHandle) {
  build();
  auto mode = machine->copyDisplayMode(2);
  auto uuid = machine->createUUIDFromDisplayID(2);
  darwin::ConfigHandle tx;
  ASSERT_EQ(machine->beginConfiguration(tx), 0);
  darwin::RegistryHandle it;
  ASSERT_EQ(machine->servicesMatching("IOMobileFramebufferShim", it), 0);
  auto service = machine->iteratorNext(*it);
  auto ext = machine->externalDisplay();
  auto current = ext->currentMode();
  EXPECT_EQ(machine->liveHandles(), 7);
  (void)machine->cancelConfiguration(std::move(tx));
  EXPECT_EQ(machine->liveHandles(), 6);
  auto list = machine->copyAllDisplayModes(2, true);
  EXPECT_EQ(machine->liveHandles(), 10);
  list.reset();
  mode.reset();
  uuid.reset();
  it.reset();
  service.reset();
  current.reset();
  EXPECT_EQ(machine->liveHandles(), 1);  // a leak shows
  // Handles may outlive the machine: the object stops answering, and release is safe.
  ASSERT_EQ(machine->beginConfiguration(tx), 0);
  machine.reset();
  EXPECT_EQ(ext->uuid(), std::nullopt);
  ext.reset();
  tx.reset();
}

TEST_F(SimMachineTest, TouchingAnIneligibleDisplayIsAViolation) {
  struct Case {
    json update;
    std::string reason;
    bool configured;  // an offline display refuses the configure, so complete reaches nothing
  };
  const Case cases[] = {
      {{{"active", false}}, "inactive", true},
      {{{"builtin", true}}, "built in", true},
      {{{"mirror", true}}, "in a mirror set", true},
      {{{"hwMirror", true}}, "in a hardware mirror set", true},
      {{{"online", false}}, "offline", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    json s = baseScenario();
    s["externalDisplay"]["display"] = 2;
    build(s);
    json update = c.update;
    update["display"] = 2;
    auto mode = machine->copyDisplayMode(2);
    auto ext = machine->externalDisplay();
    auto modes = ext->availableModes();
    ASSERT_TRUE(machine->perform({{"update", update}}));
    darwin::ConfigHandle tx;
    ASSERT_EQ(machine->beginConfiguration(tx), 0);
    (void)machine->configureDisplayWithMode(*tx, 2, mode.get());
    (void)machine->completeConfiguration(std::move(tx), 0);
    ext->setCurrentMode(*(*modes)[1]);
    const std::string suffix = " on display 2: " + c.reason;
    std::vector<std::string> expected = {"configureDisplayWithMode" + suffix};
    if (c.configured) expected.push_back("completeConfiguration" + suffix);
    expected.push_back("setCurrentMode" + suffix);
    EXPECT_EQ(machine->violations(), expected);
    EXPECT_NE(machine->actionLogText().find(R"("call":"violation")"), std::string::npos);
    machine.reset();  // its violations are this test's expectation
  }
}

TEST_F(SimMachineTest, ActionLogNamesEachStepWithItsResult) {
  build();
  queue.runFor(5ms);
  ASSERT_EQ(apply(2, 2), 0);
  queue.runFor(1500us);
  EXPECT_EQ(apply(2, 99), darwin::kErrorIllegalArgument);
  EXPECT_EQ(machine->actionLogText(),
            R"({"at":5,"call":"beginConfiguration","display":0,"result":0,"transaction":1}
{"at":5,"call":"configureDisplayWithMode","display":2,"modeId":2,"result":0,"transaction":1}
{"at":5,"call":"completeConfiguration","display":2,"displays":[2],"option":0,"result":0,"transaction":1}
{"at":6.5,"call":"beginConfiguration","display":0,"result":0,"transaction":2}
{"at":6.5,"call":"configureDisplayWithMode","display":2,"modeId":null,"result":1001,"transaction":2}
{"at":6.5,"call":"cancelConfiguration","display":0,"result":0,"transaction":2}
)");
}

}  // namespace
}  // namespace df::sim
