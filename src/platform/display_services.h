// The display services of the platform, one operation per platform call, with the platform's
// meaning, error codes and results. Backends are thin adaptors; the algorithms live above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace df::platform {

using DisplayID = std::uint32_t;  // 0 is no display
using Error = std::int32_t;       // 0 is success

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
// ModeHandle is released on every path. Handle identity is object identity.
class DisplayMode {
 public:
  virtual ~DisplayMode() = default;
  virtual std::size_t width() const = 0;   // logical
  virtual std::size_t height() const = 0;  // logical
  virtual std::size_t pixelWidth() const = 0;
  virtual std::size_t pixelHeight() const = 0;
  virtual double refreshRate() const = 0;
  virtual std::uint32_t ioFlags() const = 0;
  virtual std::int32_t ioDisplayModeID() const = 0;
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

}  // namespace df::platform
