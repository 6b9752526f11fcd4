// The macOS call surface: one operation per platform call, with the platform's meaning, error
// codes and results. The real backend implements it over the frameworks, the simulated machine
// simulates it, and darwin::Backend (backend.h) answers the service's seam on top of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/displays.h"

namespace df::platform::darwin {

// --- Display services (CoreGraphics) ---

using Error = std::int32_t;  // 0 is success

inline constexpr Error kSuccess = 0;
inline constexpr Error kErrorFailure = 1000;
inline constexpr Error kErrorIllegalArgument = 1001;
inline constexpr Error kErrorCannotComplete = 1004;

// Flag words of reconfiguration notices.
inline constexpr std::uint32_t kBeginConfigurationFlag = 0x1;
inline constexpr std::uint32_t kMovedFlag = 0x2;
inline constexpr std::uint32_t kSetMainFlag = 0x4;
inline constexpr std::uint32_t kSetModeFlag = 0x8;
inline constexpr std::uint32_t kAddFlag = 0x10;
inline constexpr std::uint32_t kRemoveFlag = 0x20;
inline constexpr std::uint32_t kEnabledFlag = 0x100;
inline constexpr std::uint32_t kDisabledFlag = 0x200;
inline constexpr std::uint32_t kMirrorFlag = 0x400;
inline constexpr std::uint32_t kUnMirrorFlag = 0x800;
inline constexpr std::uint32_t kDesktopShapeChangedFlag = 0x1000;

// I/O mode flags.
inline constexpr std::uint32_t kModeValid = 0x1;
inline constexpr std::uint32_t kModeSafe = 0x2;
inline constexpr std::uint32_t kModeRequiresPan = 0x20;
inline constexpr std::uint32_t kModeInterlaced = 0x40;
inline constexpr std::uint32_t kModeNeverShow = 0x80;
inline constexpr std::uint32_t kModeStretched = 0x800;
inline constexpr std::uint32_t kModeTelevision = 0x100000;

// Completion option under which a change lasts only while this process runs.
inline constexpr std::uint32_t kConfigureForAppOnly = 0;

// A display mode obtained from the platform. Destroying the object releases it, so a
// ModeHandle is released on every path. Handle identity is object identity. It is the service's
// mode too: info() reads the getters once per handle.
class DisplayMode : public Mode {
 public:
  virtual std::size_t width() const = 0;   // logical
  virtual std::size_t height() const = 0;  // logical
  virtual std::size_t pixelWidth() const = 0;
  virtual std::size_t pixelHeight() const = 0;
  virtual double refreshRate() const = 0;
  virtual std::uint32_t ioFlags() const = 0;
  virtual std::int32_t ioDisplayModeID() const = 0;

  const ModeInfo& info() const final;

 private:
  mutable std::optional<ModeInfo> info_;  // handles are used on one thread at a time
};
using ModeHandle = std::unique_ptr<DisplayMode>;  // null: no mode

// The UUID object of a display; its canonical string form has 36 characters.
class DisplayUUID {
 public:
  virtual ~DisplayUUID() = default;
  virtual std::string string() const = 0;
};
using UUIDHandle = std::unique_ptr<DisplayUUID>;

// A UUID whose text was made while the platform's own object was held, for backends that
// release that object at once.
class TextUUID final : public DisplayUUID {
 public:
  explicit TextUUID(std::string text) : text_(std::move(text)) {}
  std::string string() const override { return text_; }

 private:
  std::string text_;
};

// A configuration transaction. Complete or cancel consumes it; a transaction destroyed
// unconsumed is cancelled by its destructor.
class DisplayConfig {
 public:
  virtual ~DisplayConfig() = default;
};
using ConfigHandle = std::unique_ptr<DisplayConfig>;

// May be called on any thread.
using ReconfigurationCallback = void (*)(DisplayID display, std::uint32_t flags, void* userInfo);

class DisplayServices {
 public:
  virtual ~DisplayServices() = default;

  virtual Error registerReconfigurationCallback(ReconfigurationCallback callback,
                                                void* userInfo) = 0;
  // With capacity 0 and no buffer: the count only. Otherwise fills up to capacity IDs.
  virtual Error getOnlineDisplayList(std::uint32_t capacity, DisplayID* displays,
                                     std::uint32_t* count) = 0;
  // Null when the platform gives the display no UUID.
  virtual UUIDHandle createUUIDFromDisplayID(DisplayID display) = 0;

  virtual bool displayIsActive(DisplayID display) = 0;
  virtual bool displayIsBuiltin(DisplayID display) = 0;
  virtual bool displayIsInMirrorSet(DisplayID display) = 0;
  virtual bool displayIsInHWMirrorSet(DisplayID display) = 0;

  virtual ModeHandle copyDisplayMode(DisplayID display) = 0;
  // The option "show duplicate low-resolution modes"; nullopt is the platform's missing list.
  virtual std::optional<std::vector<ModeHandle>> copyAllDisplayModes(
      DisplayID display, bool showDuplicateLowResolutionModes) = 0;

  virtual Error beginConfiguration(ConfigHandle& config) = 0;
  // No options. A null mode is an illegal argument.
  virtual Error configureDisplayWithMode(DisplayConfig& config, DisplayID display,
                                         const DisplayMode* mode) = 0;
  virtual Error completeConfiguration(ConfigHandle config, std::uint32_t option) = 0;
  virtual Error cancelConfiguration(ConfigHandle config) = 0;
};

// --- Device registry (IOKit) ---

using KernReturn = std::int32_t;  // 0 is success

// A property value: read-only and shared, so that a backend that keeps its values (the simulated
// machine) hands them out without copying. Null is an absent property.
using PropertyValue = std::shared_ptr<const nlohmann::json>;

// A copy of the value, nullopt for an absent property.
inline std::optional<nlohmann::json> copyOf(const PropertyValue& value) {
  return value ? std::optional<nlohmann::json>(*value) : std::nullopt;
}

// A registry object (service or iterator). Destroying it releases it.
class RegistryObject {
 public:
  virtual ~RegistryObject() = default;
};
using RegistryHandle = std::unique_ptr<RegistryObject>;

class DeviceRegistry {
 public:
  virtual ~DeviceRegistry() = default;
  // An iterator over the services that match the class name, in matching order.
  virtual KernReturn servicesMatching(const std::string& className, RegistryHandle& iterator) = 0;
  // The next service, or null at the end.
  virtual RegistryHandle iteratorNext(RegistryObject& iterator) = 0;
  // The property's value converted to JSON, or null when it is absent. The platform's own
  // value object is released before this returns. Values the platform cannot express in JSON
  // come back as a value that equals nothing the link reading looks for.
  virtual PropertyValue registryProperty(RegistryObject& service, const std::string& key) = 0;
};

// --- The external display object ---

// A connection mode. Destroying the object releases it.
class ExternalMode {
 public:
  virtual ~ExternalMode() = default;
  // nullopt: the mode object does not answer to isVRR.
  virtual std::optional<bool> isVRR() const = 0;
  virtual double refreshRate() const = 0;
  virtual std::optional<std::string> colorMode() const = 0;  // description text
  virtual std::optional<std::string> hdrMode() const = 0;    // description text
  virtual std::uint64_t width() const = 0;
  virtual std::uint64_t height() const = 0;
};
using ExternalModeHandle = std::unique_ptr<ExternalMode>;

class ExternalDisplay {
 public:
  virtual ~ExternalDisplay() = default;
  virtual std::optional<std::string> uuid() = 0;  // UUID, then its description
  // The display ID of the display this object drives; 0 when it cannot tell. The link is read
  // and switched only for the display it drives.
  virtual std::uint32_t display() = 0;
  virtual ExternalModeHandle currentMode() = 0;
  // nullopt: the platform gave no list.
  virtual std::optional<std::vector<ExternalModeHandle>> availableModes() = 0;
  // Takes a mode object obtained from this object's availableModes.
  virtual void setCurrentMode(const ExternalMode& mode) = 0;
};
using ExternalDisplayHandle = std::unique_ptr<ExternalDisplay>;

class ExternalDisplaySource {
 public:
  virtual ~ExternalDisplaySource() = default;
  // Null when the platform offers no external display object.
  virtual ExternalDisplayHandle externalDisplay() = 0;
};

// Everything of the macOS call surface that the backend reaches.
struct Calls {
  DisplayServices& displays;
  DeviceRegistry& registry;
  ExternalDisplaySource& external;
};

}  // namespace df::platform::darwin
