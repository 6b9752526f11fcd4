#include "display/display.h"

namespace df {

std::vector<DisplayID> onlineDisplays(platform::DisplayServices& displays) {
  std::uint32_t count = 0;
  if (displays.getOnlineDisplayList(0, nullptr, &count) != platform::kSuccess || count == 0)
    return {};
  std::vector<DisplayID> ids(count);
  std::uint32_t filled = 0;
  if (displays.getOnlineDisplayList(count, ids.data(), &filled) != platform::kSuccess) return {};
  // A display that came online between the two calls is not in the list.
  ids.resize(std::min(filled, count));
  return ids;
}

std::optional<std::string> displayUUIDString(platform::DisplayServices& displays,
                                             DisplayID display) {
  platform::UUIDHandle uuid = displays.createUUIDFromDisplayID(display);
  if (!uuid) return std::nullopt;
  return uuid->string();
}

DisplayID findDisplay(platform::DisplayServices& displays, const std::optional<std::string>& uuid) {
  if (!uuid) return 0;
  DisplayID found = 0;
  for (DisplayID d : onlineDisplays(displays)) {
    std::optional<std::string> s = displayUUIDString(displays, d);
    if (s && *s == *uuid) {
      if (found != 0) return 0;  // ambiguous
      found = d;
    }
  }
  return found;
}

bool passesDisplayTests(Context& cx, DisplayID d) {
  auto& displays = cx.platform.displays;
  return cx.state.controlID != 0 && d != cx.state.controlID && displays.displayIsActive(d) &&
         !displays.displayIsBuiltin(d) && !displays.displayIsInMirrorSet(d) &&
         !displays.displayIsInHWMirrorSet(d);
}

bool stillAssigned(Context& cx, DisplayID d) {
  return d != 0 && passesDisplayTests(cx, d) &&
         findDisplay(cx.platform.displays, cx.state.targetUUID) == d;
}

}  // namespace df
