// The simulated machine: a Mac's call surface (displays, modes, configuration transactions,
// reconfiguration notices, the device registry, the external display object), faults and a
// timeline of scripted and delayed changes, all driven by a clock that the owner supplies
// (virtual or real). The service reaches it as it reaches a real Mac, through darwin::Backend.
//
// Every platform call first applies the changes due at the clock's time, so a real-time run is
// exact even when the thread that drives the timeline lags.
//
// Thread safety: every platform call and every scripting call takes one internal mutex. Notices go
// to the registered callbacks after the mutex is released, on the thread whose call caused them
// (a platform call, advanceTo, perform). Notices caused on two threads at once may interleave.
//
// The definitions live by concern: machine.cpp (display services and transactions), model.cpp
// (the scenario model and scripted actions), timeline.cpp, link.cpp (registry, external display,
// link timing), audit.cpp (faults and violations) and action_log.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/darwin/backend.h"
#include "platform/platform.h"

namespace df::sim {

namespace darwin = platform::darwin;

using Nanos = std::chrono::nanoseconds;
// Time since the machine's start.
using ClockFn = std::function<Nanos()>;

// One entry of the action log: a configuration step or connection switch that the service made,
// or a safety violation (call "violation").
struct Action {
  Nanos at;
  std::string call;
  platform::DisplayID display;
  nlohmann::json detail;  // "result" and the call's own values
};

class SimMachine final : public darwin::DisplayServices,
                         public darwin::DeviceRegistry,
                         public darwin::ExternalDisplaySource {
 public:
  // scenario must have passed normalizeScenario. Its "events" are put on the timeline and its
  // "faults" armed. The clock is read on every platform call; it must never go back.
  SimMachine(const nlohmann::json& scenario, ClockFn clock);
  ~SimMachine() override;
  SimMachine(const SimMachine&) = delete;
  SimMachine& operator=(const SimMachine&) = delete;

  // The service's seam, answered by the macOS backend over this machine, for a service under
  // test.
  platform::Platform platform() { return {backend_, backend_, darwin::Backend::capabilities()}; }
  // The macOS call surface itself, for tests that drive it directly.
  darwin::Calls calls() { return {*this, *this, *this}; }

  // --- Display services ---
  darwin::Error registerReconfigurationCallback(darwin::ReconfigurationCallback callback,
                                                void* userInfo) override;
  darwin::Error getOnlineDisplayList(std::uint32_t capacity, platform::DisplayID* displays,
                                     std::uint32_t* count) override;
  darwin::UUIDHandle createUUIDFromDisplayID(platform::DisplayID display) override;
  bool displayIsActive(platform::DisplayID display) override;
  bool displayIsBuiltin(platform::DisplayID display) override;
  bool displayIsInMirrorSet(platform::DisplayID display) override;
  bool displayIsInHWMirrorSet(platform::DisplayID display) override;
  darwin::ModeHandle copyDisplayMode(platform::DisplayID display) override;
  std::optional<std::vector<darwin::ModeHandle>> copyAllDisplayModes(
      platform::DisplayID display, bool showDuplicateLowResolutionModes) override;
  darwin::Error beginConfiguration(darwin::ConfigHandle& config) override;
  darwin::Error configureDisplayWithMode(darwin::DisplayConfig& config, platform::DisplayID display,
                                         const darwin::DisplayMode* mode) override;
  darwin::Error completeConfiguration(darwin::ConfigHandle config, std::uint32_t option) override;
  darwin::Error cancelConfiguration(darwin::ConfigHandle config) override;

  // --- Device registry ---
  darwin::KernReturn servicesMatching(const std::string& className,
                                      darwin::RegistryHandle& iterator) override;
  darwin::RegistryHandle iteratorNext(darwin::RegistryObject& iterator) override;
  darwin::PropertyValue registryProperty(darwin::RegistryObject& service,
                                         const std::string& key) override;

  // --- External display object ---
  darwin::ExternalDisplayHandle externalDisplay() override;

  // --- Scripting ---
  // Puts an action (an event without "at") on the timeline at the given time; a time already
  // passed is applied by the next call that applies due changes. False, with *error set, when
  // the action is malformed or names an unknown display.
  bool schedule(Nanos at, nlohmann::json action, std::string* error = nullptr);
  // Applies an action now (at the clock's time), after whatever is due.
  bool perform(nlohmann::json action, std::string* error = nullptr);
  // Arms one more fault.
  bool addFault(nlohmann::json fault, std::string* error = nullptr);

  // The machine's clock.
  Nanos now() const { return clock_ ? clock_() : Nanos(0); }
  // The time of the earliest pending change (scripted or a follow-up), if any.
  std::optional<Nanos> nextEventTime() const;
  // Applies every pending change due at or before t, in time order and then in the order they
  // were scheduled, each at its own time.
  void advanceTo(Nanos t);
  // Called, without the mutex held, whenever a change is added to the timeline, so that a
  // real-time driver can wake up and re-plan. Null removes the hook.
  void setWakeHook(std::function<void()> hook);

  // --- Inspection for tests ---
  std::vector<Action> actions() const;
  // One compact JSON object per line: {"at": ms, "call": ..., "display": ..., detail...}.
  std::string actionLogText() const;
  std::vector<std::string> violations() const;
  // Handles (modes, UUIDs, transactions, registry objects, external display and mode objects)
  // alive now. Handles may outlive the machine; they then stop counting here.
  std::int64_t liveHandles() const;
  // Seam calls made, by operation name (faulted calls included).
  std::uint64_t callCount(std::string_view call) const;
  std::uint64_t faultsInjected() const;
  std::optional<std::int32_t> currentModeId(platform::DisplayID display) const;
  bool isOnline(platform::DisplayID display) const;
  // "DPTimingModeId" of the first service whose "IOMFBUUID" is the external display's UUID.
  std::optional<nlohmann::json> linkTimingModeId() const;
  // Index into the external display's available modes of its current mode.
  std::optional<std::size_t> externalCurrentModeIndex() const;

 private:
  class ModeObject;
  class UUIDObject;
  class ConfigObject;
  class IteratorObject;
  class ServiceObject;
  class ExternalObject;
  class ExternalModeObject;
  struct Session;

  enum class Settle { Normal, Never, Flicker };

  struct ModeData {
    std::int32_t modeId = 0;
    std::size_t width = 0, height = 0, logicalWidth = 0, logicalHeight = 0;
    double hz = 0;
    std::uint32_t flags = 0;
    std::optional<nlohmann::json> timing;
    bool lowResolutionDuplicate = false;
  };

  struct DisplayData {
    platform::DisplayID id = 0;
    std::optional<std::string> uuid;
    bool online = true, active = true, builtin = false, mirror = false, hwMirror = false;
    nlohmann::json modesSource = nlohmann::json::array();
    std::vector<ModeData> modes;
    std::optional<std::size_t> current;
    Nanos settle{0};
    Settle settleKind = Settle::Normal;
    Nanos flickerInterval{std::chrono::milliseconds(50)};
    std::uint64_t flickers = 1;
    std::uint64_t generation = 0;    // bumped by every change that supersedes a pending one
    std::uint64_t modesVersion = 0;  // bumped when the mode list is replaced
  };

  struct ExternalModeData {
    std::shared_ptr<const nlohmann::json> source;  // shared: every handle carries one
    std::optional<bool> isVRR;
    double refreshRate = 0;
    std::optional<std::string> colorMode, hdrMode;
    std::uint64_t width = 0, height = 0;
    std::optional<nlohmann::json> timing;
  };

  struct ExternalData {
    std::optional<std::string> uuid;
    std::vector<ExternalModeData> modes;
    std::optional<std::int64_t> current;
    Nanos linkSettle{0};
    bool linkDrop = false;  // no current timing while the link retrains
    std::optional<platform::DisplayID> display;
  };

  struct ServiceData {
    std::string className;
    // Replaced whole when a property changes: values handed out stay as they were read.
    std::shared_ptr<const nlohmann::json> properties;
  };

  struct FaultData {
    std::string call;
    darwin::Error error = 0;
    std::optional<platform::DisplayID> display;
    std::uint64_t after = 0;
    std::optional<std::uint64_t> times;
    std::uint64_t matched = 0;
    std::uint64_t injected = 0;
  };

  struct Notice {
    platform::DisplayID display;
    std::uint32_t flags;
  };
  using Notices = std::vector<Notice>;
  using Step = std::function<void(Nanos at, Notices& out)>;

  // Parsing of normalized scenario parts.
  static ModeData parseMode(const nlohmann::json& mode);
  static std::vector<ModeData> parseModes(const nlohmann::json& modes);
  static DisplayData parseDisplay(const nlohmann::json& display);
  static void applyDisplayKeys(DisplayData& d, const nlohmann::json& keys);
  static ExternalData parseExternal(const nlohmann::json& external);
  static std::vector<std::shared_ptr<ServiceData>> parseRegistry(const nlohmann::json& registry);
  static FaultData parseFault(const nlohmann::json& fault);

  // Everything below runs with mutex_ held.
  DisplayData* find(platform::DisplayID id);
  const DisplayData* find(platform::DisplayID id) const;
  std::vector<platform::DisplayID> knownIDs() const;
  const DisplayData* externalOwner() const;
  platform::DisplayID externalOwnerID() const;
  std::optional<darwin::Error> fault(std::string_view call,
                                     const std::vector<platform::DisplayID>& displays);
  void applyDue(Nanos t, Notices& out);
  void scheduleStep(Nanos at, Step step);
  void beginNotices(Notices& out) const;
  void startChange(DisplayData& d, std::size_t index, Nanos now, Notices& out);
  void show(platform::DisplayID id, std::optional<std::size_t> index, std::uint64_t generation,
            Nanos now, Notices& out);
  void followLink(const DisplayData& d, Nanos now);
  void setLinkTiming(const nlohmann::json& timing);
  // With "linkDrop": the link loses its timing while it retrains; returns the retrain's
  // generation, which a later retrain supersedes.
  std::uint64_t dropLinkTiming();
  void switchConnection(std::size_t index, std::uint64_t version,
                        std::optional<std::uint64_t> retrain, Notices& out);
  void runAction(const nlohmann::json& action, Nanos now, Notices& out);
  void update(const nlohmann::json& keys, Nanos now, Notices& out);
  bool checkEligible(std::string_view call, platform::DisplayID display, Nanos now);
  void log(Nanos at, std::string call, platform::DisplayID display, nlohmann::json detail);
  void internalError(std::string_view call, const char* what);

  // Called by the handle objects.
  std::optional<std::string> externalUUID();
  platform::DisplayID externalDisplayID();
  darwin::ExternalModeHandle externalCurrentMode();
  std::optional<std::vector<darwin::ExternalModeHandle>> externalAvailableModes();
  void externalSetCurrentMode(const darwin::ExternalMode& mode);
  void dropTransaction(std::uint64_t id, std::vector<platform::DisplayID> displays);

  // Runs a platform call's body; an exception becomes a violation and the fallback result, so
  // nothing escapes into the service.
  template <typename R, typename F>
  R guarded(std::string_view call, R fallback, F&& body) noexcept;

  // Without mutex_: releases it, delivers notices, wakes the driver.
  void finish(std::unique_lock<std::mutex>& lock, Notices& notices);

  mutable std::mutex mutex_;
  ClockFn clock_;
  std::shared_ptr<std::atomic<std::int64_t>> live_;
  std::shared_ptr<SimMachine*> self_;  // handles hold a weak_ptr to it

  std::vector<DisplayData> displays_;
  std::vector<std::shared_ptr<ServiceData>> registry_;
  std::optional<ExternalData> external_;
  std::uint64_t externalVersion_ = 0;
  std::uint64_t linkGeneration_ = 0;  // bumped by each dropping retrain
  std::vector<FaultData> faults_;
  std::uint64_t faultsInjected_ = 0;

  std::map<std::pair<Nanos::rep, std::uint64_t>, Step> timeline_;
  std::uint64_t nextStep_ = 0;
  Nanos appliedUntil_{0};
  bool wake_ = false;

  std::vector<std::pair<darwin::ReconfigurationCallback, void*>> callbacks_;
  std::vector<Action> actions_;
  std::vector<std::string> violations_;
  std::map<std::string, std::uint64_t, std::less<>> calls_;
  std::uint64_t nextTransaction_ = 1;

  std::mutex hookMutex_;  // held while the hook runs, so removing it waits for a running call
  std::function<void()> wakeHook_;

  darwin::Backend backend_{calls()};
};

}  // namespace df::sim
