// The service's seam on the macOS call surface: the displays, their modes and transaction, the
// notices and the HDMI link, each answered with the calls the platform offers for it. Portable
// C++: the real frameworks and the simulated machine sit under it alike.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/darwin/calls.h"
#include "platform/platform.h"

namespace df::platform::darwin {

// The kind of change a reconfiguration notice's flag word says; nullopt for the notice that
// announces a configuration, which a second notice always follows.
std::optional<Change> changeOf(std::uint32_t flags);

// The connection mode of a mode object; nullopt for no mode, a mode that does not answer isVRR
// or is variable-rate, and a rate that is not finite and above 0.
std::optional<ConnectionMode> connectionOf(const ExternalMode* mode);

class Backend final : public Displays, public HdmiLinks {
 public:
  explicit Backend(Calls calls) : calls_(calls) {}
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  static constexpr Capabilities capabilities() { return {true, true, true, true, true}; }

  // --- Displays ---
  bool watch(NoticeFn notice, void* user) override;
  bool list(std::vector<DisplayID>& out) override;
  std::optional<std::string> uuid(DisplayID display) override;
  bool isActive(DisplayID display) override;
  bool isBuiltin(DisplayID display) override;
  bool isMirrored(DisplayID display) override;
  bool isHardwareMirrored(DisplayID display) override;
  platform::ModeHandle currentMode(DisplayID display) override;
  std::optional<std::vector<platform::ModeHandle>> modes(DisplayID display) override;
  bool configure(DisplayID display, const Mode* mode) override;

  // --- HDMI links (link_probe.cpp) ---
  std::optional<LinkReading> read(DisplayID display) override;
  std::optional<std::vector<ConnectionMode>> connectionModes(DisplayID display,
                                                             const std::string& uuid) override;
  bool switchConnection(DisplayID display, const std::string& uuid,
                        const ConnectionMode& mode) override;

 private:
  struct Watcher {
    NoticeFn notice;
    void* user;
  };
  static void reconfigured(DisplayID display, std::uint32_t flags, void* watcher);

  // The usable timing elements of one registry value, read once for as long as the registry
  // hands out that very value. Holding the value keeps its identity from being reused.
  struct TimingMemo {
    PropertyValue elements;
    SignalTimings timings;
    std::vector<nlohmann::json> ids;  // each timing's "ID"; null where the element has none
  };
  const TimingMemo& timingsOf(const PropertyValue& elements);

  Calls calls_;
  std::vector<std::unique_ptr<Watcher>> watchers_;  // the callbacks' user data, never moved
  TimingMemo memo_;
};

}  // namespace df::platform::darwin
