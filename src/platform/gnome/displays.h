// The displays on GNOME: Mutter's monitors through org.gnome.Mutter.DisplayConfig, on Wayland
// and on X11 alike. A monitor is a display, its ID a hash of its connector's name (the same on
// every run); ApplyMonitorsConfig is the configuration transaction; MonitorsChanged, after one
// GetCurrentState compared with the last, gives the notices.
//
// The definitions live by concern: displays.cpp (the kept state and the display queries),
// notices.cpp (signals, notices and a lost bus or Mutter), configure.cpp (the transaction),
// sink.cpp (EDIDs and modes), bus.cpp (the D-Bus calls), state.cpp (the state's questions).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/displays.h"
#include "platform/gnome/bus.h"
#include "platform/gnome/sink.h"
#include "platform/gnome/state.h"
#include "platform/main_queue.h"
#include "platform/platform.h"

namespace df::platform::gnome {

// What GNOME can do: no HDMI link (Mutter 43 exposes no colour or HDR mode, no timings), no
// scaled modes (the desktop scale belongs to the arrangement, not to a mode), mirroring as
// logical monitors with several monitors, and a temporary configuration that outlives us.
inline constexpr Capabilities kCapabilities{.hdmiLink = false,
                                            .connectionModes = false,
                                            .scaledModes = false,
                                            .mirrorSets = true,
                                            .changesEndWithProcess = false};

// The display ID of a connector: a hash of its name, non-zero and below 2^31.
DisplayID displayIdOf(std::string_view connector);

// A mode of one of Mutter's monitors, known by the connector and Mutter's name for the mode.
class MutterModeHandle final : public Mode {
 public:
  MutterModeHandle(std::string connector, std::string id, const ModeInfo& info)
      : connector_(std::move(connector)), id_(std::move(id)), info_(info) {}
  const ModeInfo& info() const override { return info_; }
  const std::string& connector() const { return connector_; }
  const std::string& id() const { return id_; }

 private:
  std::string connector_;
  std::string id_;
  ModeInfo info_;
};

class MutterDisplays final : public Displays {
 public:
  // Null when there is no session bus or no Mutter on it. The queue receives the deliveries
  // of notices and the work left after each call.
  static std::unique_ptr<MutterDisplays> connect(MainQueue& queue, EdidPlaces places);

  bool watch(NoticeFn notice, void* user) override;
  bool list(std::vector<DisplayID>& out) override;
  std::optional<std::string> uuid(DisplayID display) override;
  bool isActive(DisplayID display) override;
  bool isBuiltin(DisplayID display) override;
  bool isMirrored(DisplayID display) override;
  bool isHardwareMirrored(DisplayID display) override;
  ModeHandle currentMode(DisplayID display) override;
  std::optional<std::vector<ModeHandle>> modes(DisplayID display) override;
  bool configure(DisplayID display, const Mode* mode) override;

  // The connector's name, and whether its logical monitor is the primary one.
  std::string connector(DisplayID display);
  bool isPrimary(DisplayID display);

  // For the event loop: the bus to watch, and what to do when it is readable (or its timeout
  // passed): dispatch what arrived. Runs on the main queue.
  MutterBus& bus() { return *bus_; }
  void dispatch();
  // Set once; runs on the main queue when the bus or Mutter is gone for good.
  void onLost(std::function<void()> handler);
  bool lost() const { return lost_; }
  // Drops what was read, as MonitorsChanged would: the next question reads Mutter again.
  void forget() { fresh_ = false; }

 private:
  MutterDisplays(std::unique_ptr<MutterBus> bus, MainQueue& queue, EdidPlaces places)
      : bus_(std::move(bus)), queue_(queue), places_(std::move(places)) {}

  const State& state();
  bool read();
  bool predicting() const;
  void changed(std::uint64_t cookie);
  void markLost();
  void deliver();
  void afterCall();
  const Monitor* monitorOf(DisplayID display);
  const Sink& sinkOf(const Monitor& monitor);
  std::int32_t modeId(const std::string& connector, const std::string& mode);
  ModeHandle handle(const Monitor& monitor, const MutterMode& mode);

  std::unique_ptr<MutterBus> bus_;
  MainQueue& queue_;
  EdidPlaces places_;
  State state_;
  std::uint64_t stateCookie_ = 0;  // the cookie of the reply state_ came in
  bool fresh_ = false;
  // When state_ is what the last apply asked for rather than what Mutter said: it answers only
  // the questions asked within kPredicted of the apply, well before the service's second
  // reading of a verification (50 ms).
  std::optional<std::chrono::steady_clock::time_point> predicted_;
  static constexpr std::chrono::milliseconds kPredicted{10};
  std::optional<State> notified_;  // the state the last delivery described
  std::map<MonitorIdentity, std::shared_ptr<const Sink>> sinks_;
  // Mode numbers, per connector in the order first seen: small and stable for the process.
  std::map<std::string, std::vector<std::string>, std::less<>> modeIds_;
  bool deliveryPosted_ = false;
  bool settlePosted_ = false;  // a dispatch is queued after a call
  bool lost_ = false;
  std::function<void()> lostHandler_;
  NoticeFn notice_ = nullptr;
  void* user_ = nullptr;
};

}  // namespace df::platform::gnome
