#include "display/display.h"

#include <algorithm>
#include <array>

namespace df {

namespace {

// Calls visit for each online display in the platform's order; nothing on any error. A few
// displays are listed on the stack: the target is looked up several times per inspection.
template <typename Visit>
void forEachOnline(platform::DisplayServices& displays, Visit&& visit) {
  std::uint32_t count = 0;
  if (displays.getOnlineDisplayList(0, nullptr, &count) != platform::kSuccess || count == 0) return;
  std::array<DisplayID, 16> few{};
  std::vector<DisplayID> many;
  if (count > few.size()) many.resize(count);
  DisplayID* ids = many.empty() ? few.data() : many.data();
  std::uint32_t filled = 0;
  if (displays.getOnlineDisplayList(count, ids, &filled) != platform::kSuccess) return;
  // A display that came online between the two calls is not in the list.
  for (std::uint32_t i = 0; i < std::min(filled, count); ++i)
    if (!visit(ids[i])) return;
}

}  // namespace

std::vector<DisplayID> onlineDisplays(platform::DisplayServices& displays) {
  std::vector<DisplayID> ids;
  forEachOnline(displays, [&ids](DisplayID d) {
    ids.push_back(d);
    return true;
  });
  return ids;
}

std::optional<std::string> displayUUIDString(platform::DisplayServices& displays,
                                             DisplayID display) {
  platform::UUIDHandle uuid = displays.createUUIDFromDisplayID(display);
  if (!uuid) return std::nullopt;
  return uuid->string();
}

DisplayID findDisplay(platform::DisplayServices& displays, const std::optional<std::string>& uuid,
                      bool* ambiguous) {
  if (ambiguous != nullptr) *ambiguous = false;
  if (!uuid) return 0;
  DisplayID found = 0;
  bool twice = false;
  forEachOnline(displays, [&](DisplayID d) {
    std::optional<std::string> s = displayUUIDString(displays, d);
    if (s && *s == *uuid) {
      if (found != 0) {
        twice = true;
        return false;
      }
      found = d;
    }
    return true;
  });
  if (!twice) return found;
  if (ambiguous != nullptr) *ambiguous = true;
  return 0;
}

DisplayTest displayTests(Context& cx, DisplayID d) {
  auto& displays = cx.platform.displays;
  if (cx.state.controlID == 0) return DisplayTest::kNoControl;
  if (d == cx.state.controlID) return DisplayTest::kIsControl;
  if (!displays.displayIsActive(d)) return DisplayTest::kInactive;
  if (displays.displayIsBuiltin(d)) return DisplayTest::kBuiltin;
  if (displays.displayIsInMirrorSet(d)) return DisplayTest::kMirrored;
  if (displays.displayIsInHWMirrorSet(d)) return DisplayTest::kHWMirrored;
  return DisplayTest::kPassed;
}

std::string displayTestText(DisplayTest test, DisplayID d) {
  const std::string display = "display " + std::to_string(d);
  switch (test) {
    case DisplayTest::kPassed:
      return display + " is eligible";
    case DisplayTest::kNoControl:
      return "no control display (\"control\" absent or 0)";
    case DisplayTest::kIsControl:
      return display + " is the control display";
    case DisplayTest::kInactive:
      return display + " is not active";
    case DisplayTest::kBuiltin:
      return display + " is built in";
    case DisplayTest::kMirrored:
      return display + " is in a mirror set";
    case DisplayTest::kHWMirrored:
      return display + " is in a hardware mirror set";
  }
  return display;
}

bool stillAssigned(Context& cx, DisplayID d) {
  return d != 0 && passesDisplayTests(cx, d) &&
         findDisplay(cx.platform.displays, cx.state.targetUUID) == d;
}

}  // namespace df
