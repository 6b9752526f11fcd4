// The display services over CoreGraphics, with ColorSync's UUID call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>

#include "platform/darwin/calls.h"
#include "platform/darwin/cf.h"

namespace df::platform::darwin {

// Holds one reference to a display mode; destroying it releases the mode.
class CGMode final : public DisplayMode {
 public:
  explicit CGMode(CGDisplayModeRef mode) : mode_(mode) {}  // takes over the reference
  CGMode(const CGMode&) = delete;
  CGMode& operator=(const CGMode&) = delete;
  ~CGMode() override;

  std::size_t width() const override;
  std::size_t height() const override;
  std::size_t pixelWidth() const override;
  std::size_t pixelHeight() const override;
  double refreshRate() const override;
  std::uint32_t ioFlags() const override;
  std::int32_t ioDisplayModeID() const override;

  CGDisplayModeRef ref() const { return mode_; }

 private:
  CGDisplayModeRef mode_;
};

// A configuration transaction not yet completed or cancelled; destroying it cancels it.
class CGConfig final : public DisplayConfig {
 public:
  explicit CGConfig(CGDisplayConfigRef config) : config_(config) {}
  CGConfig(const CGConfig&) = delete;
  CGConfig& operator=(const CGConfig&) = delete;
  ~CGConfig() override;

  CGDisplayConfigRef ref() const { return config_; }
  // Hands the configuration to the call that completes or cancels it.
  CGDisplayConfigRef take();

 private:
  CGDisplayConfigRef config_;
};

class CGDisplayServices final : public DisplayServices {
 public:
  CGDisplayServices();

  Error registerReconfigurationCallback(ReconfigurationCallback callback, void* userInfo) override;
  Error getOnlineDisplayList(std::uint32_t capacity, DisplayID* displays,
                             std::uint32_t* count) override;
  UUIDHandle createUUIDFromDisplayID(DisplayID display) override;

  bool displayIsActive(DisplayID display) override;
  bool displayIsBuiltin(DisplayID display) override;
  bool displayIsInMirrorSet(DisplayID display) override;
  bool displayIsInHWMirrorSet(DisplayID display) override;

  ModeHandle copyDisplayMode(DisplayID display) override;
  std::optional<std::vector<ModeHandle>> copyAllDisplayModes(
      DisplayID display, bool showDuplicateLowResolutionModes) override;

  Error beginConfiguration(ConfigHandle& config) override;
  Error configureDisplayWithMode(DisplayConfig& config, DisplayID display,
                                 const DisplayMode* mode) override;
  Error completeConfiguration(ConfigHandle config, std::uint32_t option) override;
  Error cancelConfiguration(ConfigHandle config) override;

 private:
  // {kCGDisplayShowDuplicateLowResolutionModes: true}, made once: the inspection lists the
  // modes of the target many times a second while a change settles.
  CFRef<CFDictionaryRef> showDuplicates_;
};

}  // namespace df::platform::darwin
