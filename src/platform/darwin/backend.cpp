#include "platform/darwin/backend.h"

#include <algorithm>
#include <utility>

namespace df::platform::darwin {

const ModeInfo& DisplayMode::info() const {
  if (!info_) {
    const std::uint32_t flags = ioFlags();
    ModeInfo m;
    m.id = ioDisplayModeID();
    m.width = pixelWidth();
    m.height = pixelHeight();
    m.logicalWidth = width();
    m.logicalHeight = height();
    m.hz = refreshRate();
    m.interlaced = (flags & kModeInterlaced) != 0;
    m.television = (flags & kModeTelevision) != 0;
    m.valid = (flags & kModeValid) != 0;
    m.safe = (flags & kModeSafe) != 0;
    m.needsPanning = (flags & kModeRequiresPan) != 0;
    m.neverShow = (flags & kModeNeverShow) != 0;
    m.stretched = (flags & kModeStretched) != 0;
    m.flags = flags;  // the report shows the platform's own word
    info_ = m;
  }
  return *info_;
}

std::optional<Change> changeOf(std::uint32_t flags) {
  if ((flags & kBeginConfigurationFlag) != 0) return std::nullopt;
  if ((flags & kRemoveFlag) != 0) return Change::kRemoved;
  if ((flags & kAddFlag) != 0) return Change::kAdded;
  if ((flags & kSetModeFlag) != 0) return Change::kMode;
  return Change::kOther;
}

void Backend::reconfigured(DisplayID display, std::uint32_t flags, void* watcher) {
  const std::optional<Change> change = changeOf(flags);
  if (!change) return;
  const auto* w = static_cast<const Watcher*>(watcher);
  w->notice(display, *change, w->user);
}

bool Backend::watch(NoticeFn notice, void* user) {
  watchers_.push_back(std::make_unique<Watcher>(Watcher{notice, user}));
  if (calls_.displays.registerReconfigurationCallback(&reconfigured, watchers_.back().get()) ==
      kSuccess)
    return true;
  watchers_.pop_back();
  return false;
}

bool Backend::list(std::vector<DisplayID>& out) {
  out.clear();
  std::uint32_t count = 0;
  if (calls_.displays.getOnlineDisplayList(0, nullptr, &count) != kSuccess) return false;
  if (count == 0) return true;
  out.resize(count);
  std::uint32_t filled = 0;
  if (calls_.displays.getOnlineDisplayList(count, out.data(), &filled) != kSuccess) {
    out.clear();
    return false;
  }
  // A display that came online between the two calls is not in the list.
  out.resize(std::min(filled, count));
  return true;
}

std::optional<std::string> Backend::uuid(DisplayID display) {
  const UUIDHandle uuid = calls_.displays.createUUIDFromDisplayID(display);
  if (!uuid) return std::nullopt;
  return uuid->string();
}

bool Backend::isActive(DisplayID display) {
  return calls_.displays.displayIsActive(display);
}
bool Backend::isBuiltin(DisplayID display) {
  return calls_.displays.displayIsBuiltin(display);
}
bool Backend::isMirrored(DisplayID display) {
  return calls_.displays.displayIsInMirrorSet(display);
}
bool Backend::isHardwareMirrored(DisplayID display) {
  return calls_.displays.displayIsInHWMirrorSet(display);
}

platform::ModeHandle Backend::currentMode(DisplayID display) {
  return calls_.displays.copyDisplayMode(display);
}

std::optional<std::vector<platform::ModeHandle>> Backend::modes(DisplayID display) {
  auto own = calls_.displays.copyAllDisplayModes(display, true);
  if (!own) return std::nullopt;
  std::vector<platform::ModeHandle> modes;
  modes.reserve(own->size());
  for (ModeHandle& mode : *own) modes.push_back(std::move(mode));
  return modes;
}

bool Backend::configure(DisplayID display, const Mode* mode) {
  DisplayServices& displays = calls_.displays;
  ConfigHandle config;
  if (displays.beginConfiguration(config) != kSuccess || !config) return false;
  // A mode of another backend is no mode here: the platform refuses it.
  if (displays.configureDisplayWithMode(*config, display, dynamic_cast<const DisplayMode*>(mode)) !=
      kSuccess) {
    (void)displays.cancelConfiguration(std::move(config));
    return false;
  }
  return displays.completeConfiguration(std::move(config), kConfigureForAppOnly) == kSuccess;
}

}  // namespace df::platform::darwin
