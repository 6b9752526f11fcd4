#include "platform/darwin/display_services.h"

#include <memory>
#include <utility>

#include <ColorSync/ColorSync.h>

#include "platform/darwin/display_uuid.h"

namespace df::platform::darwin {

CGMode::~CGMode() {
  if (mode_ != nullptr) CGDisplayModeRelease(mode_);
}

std::size_t CGMode::width() const {
  return CGDisplayModeGetWidth(mode_);
}
std::size_t CGMode::height() const {
  return CGDisplayModeGetHeight(mode_);
}
std::size_t CGMode::pixelWidth() const {
  return CGDisplayModeGetPixelWidth(mode_);
}
std::size_t CGMode::pixelHeight() const {
  return CGDisplayModeGetPixelHeight(mode_);
}
double CGMode::refreshRate() const {
  return CGDisplayModeGetRefreshRate(mode_);
}
std::uint32_t CGMode::ioFlags() const {
  return CGDisplayModeGetIOFlags(mode_);
}
std::int32_t CGMode::ioDisplayModeID() const {
  return CGDisplayModeGetIODisplayModeID(mode_);
}

CGConfig::~CGConfig() {
  if (config_ != nullptr) CGCancelDisplayConfiguration(config_);
}

CGDisplayConfigRef CGConfig::take() {
  return std::exchange(config_, nullptr);
}

namespace {

CFRef<CFDictionaryRef> showDuplicatesOption() {
  const void* keys[] = {kCGDisplayShowDuplicateLowResolutionModes};
  const void* values[] = {kCFBooleanTrue};
  return CFRef<CFDictionaryRef>::adopt(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                          &kCFTypeDictionaryKeyCallBacks,
                                                          &kCFTypeDictionaryValueCallBacks));
}

// A handle for a mode reference the caller owns; the reference is released should making the
// handle fail.
std::unique_ptr<CGMode> adoptMode(CGDisplayModeRef mode) {
  try {
    return std::make_unique<CGMode>(mode);
  } catch (...) {
    CGDisplayModeRelease(mode);
    throw;
  }
}

// The transaction of a handle this backend made and that is still open; null otherwise.
CGConfig* openConfig(DisplayConfig* config) {
  auto* own = dynamic_cast<CGConfig*>(config);
  return own != nullptr && own->ref() != nullptr ? own : nullptr;
}

}  // namespace

CGDisplayServices::CGDisplayServices() : showDuplicates_(showDuplicatesOption()) {}

Error CGDisplayServices::registerReconfigurationCallback(ReconfigurationCallback callback,
                                                         void* userInfo) {
  return CGDisplayRegisterReconfigurationCallback(callback, userInfo);
}

Error CGDisplayServices::getOnlineDisplayList(std::uint32_t capacity, DisplayID* displays,
                                              std::uint32_t* count) {
  return CGGetOnlineDisplayList(capacity, displays, count);
}

UUIDHandle CGDisplayServices::createUUIDFromDisplayID(DisplayID display) {
  const auto uuid = CFRef<CFUUIDRef>::adopt(CGDisplayCreateUUIDFromDisplayID(display));
  if (!uuid) return nullptr;
  auto text = uuidString(uuid.get());
  if (!text) return nullptr;  // no string: matches nothing, as a display without a UUID
  return std::make_unique<TextUUID>(std::move(*text));
}

bool CGDisplayServices::displayIsActive(DisplayID display) {
  return CGDisplayIsActive(display) != 0;
}
bool CGDisplayServices::displayIsBuiltin(DisplayID display) {
  return CGDisplayIsBuiltin(display) != 0;
}
bool CGDisplayServices::displayIsInMirrorSet(DisplayID display) {
  return CGDisplayIsInMirrorSet(display) != 0;
}
bool CGDisplayServices::displayIsInHWMirrorSet(DisplayID display) {
  return CGDisplayIsInHWMirrorSet(display) != 0;
}

ModeHandle CGDisplayServices::copyDisplayMode(DisplayID display) {
  CGDisplayModeRef mode = CGDisplayCopyDisplayMode(display);
  if (mode == nullptr) return nullptr;
  return adoptMode(mode);
}

std::optional<std::vector<ModeHandle>> CGDisplayServices::copyAllDisplayModes(
    DisplayID display, bool showDuplicateLowResolutionModes) {
  const auto array = CFRef<CFArrayRef>::adopt(CGDisplayCopyAllDisplayModes(
      display, showDuplicateLowResolutionModes ? showDuplicates_.get() : nullptr));
  if (!array) return std::nullopt;
  const CFIndex count = CFArrayGetCount(array.get());
  std::vector<ModeHandle> modes;
  modes.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
  for (CFIndex i = 0; i < count; ++i) {
    // The array lends its elements: each handle takes a reference of its own.
    auto mode =
        static_cast<CGDisplayModeRef>(const_cast<void*>(CFArrayGetValueAtIndex(array.get(), i)));
    if (mode == nullptr) continue;
    modes.push_back(adoptMode(CGDisplayModeRetain(mode)));
  }
  return modes;
}

Error CGDisplayServices::beginConfiguration(ConfigHandle& config) {
  config.reset();
  CGDisplayConfigRef ref = nullptr;
  const CGError error = CGBeginDisplayConfiguration(&ref);
  if (error != kCGErrorSuccess) return error;
  if (ref == nullptr) return kCGErrorFailure;  // success without a transaction: nothing to use
  try {
    config = std::make_unique<CGConfig>(ref);
  } catch (...) {
    CGCancelDisplayConfiguration(ref);
    throw;
  }
  return kCGErrorSuccess;
}

Error CGDisplayServices::configureDisplayWithMode(DisplayConfig& config, DisplayID display,
                                                  const DisplayMode* mode) {
  const auto* cgMode = dynamic_cast<const CGMode*>(mode);
  CGConfig* open = openConfig(&config);
  if (cgMode == nullptr || cgMode->ref() == nullptr || open == nullptr) {
    return kCGErrorIllegalArgument;
  }
  return CGConfigureDisplayWithDisplayMode(open->ref(), display, cgMode->ref(), nullptr);
}

Error CGDisplayServices::completeConfiguration(ConfigHandle config, std::uint32_t option) {
  CGConfig* open = openConfig(config.get());
  if (open == nullptr) return kCGErrorIllegalArgument;
  // Complete consumes the configuration whatever it returns: it is not cancelled afterwards.
  return CGCompleteDisplayConfiguration(open->take(), option);
}

Error CGDisplayServices::cancelConfiguration(ConfigHandle config) {
  CGConfig* open = openConfig(config.get());
  if (open == nullptr) return kCGErrorIllegalArgument;
  return CGCancelDisplayConfiguration(open->take());
}

}  // namespace df::platform::darwin
