#include "display/display.h"

namespace df {

namespace {

// The single online display whose UUID is uuid, listed into ids (whose storage is kept).
DisplayID find(platform::Displays& displays, std::vector<DisplayID>& ids,
               const std::optional<std::string>& uuid, bool* ambiguous) {
  if (ambiguous != nullptr) *ambiguous = false;
  if (!uuid || !displays.list(ids)) return 0;
  DisplayID found = 0;
  for (DisplayID d : ids) {
    std::optional<std::string> s = displays.uuid(d);
    if (!s || *s != *uuid) continue;
    if (found != 0) {
      if (ambiguous != nullptr) *ambiguous = true;
      return 0;
    }
    found = d;
  }
  return found;
}

}  // namespace

std::vector<DisplayID> onlineDisplays(platform::Displays& displays) {
  std::vector<DisplayID> ids;
  if (!displays.list(ids)) ids.clear();
  return ids;
}

DisplayID findDisplay(platform::Displays& displays, const std::optional<std::string>& uuid,
                      bool* ambiguous) {
  std::vector<DisplayID> ids;
  return find(displays, ids, uuid, ambiguous);
}

DisplayID findDisplay(Context& cx, const std::optional<std::string>& uuid, bool* ambiguous) {
  return find(cx.platform.displays, cx.online, uuid, ambiguous);
}

DisplayTest displayTests(Context& cx, DisplayID d) {
  auto& displays = cx.platform.displays;
  if (cx.state.controlID == 0) return DisplayTest::kNoControl;
  if (d == cx.state.controlID) return DisplayTest::kIsControl;
  if (!displays.isActive(d)) return DisplayTest::kInactive;
  if (displays.isBuiltin(d)) return DisplayTest::kBuiltin;
  if (displays.isMirrored(d)) return DisplayTest::kMirrored;
  if (displays.isHardwareMirrored(d)) return DisplayTest::kHWMirrored;
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
  return d != 0 && passesDisplayTests(cx, d) && findDisplay(cx, cx.state.targetUUID) == d;
}

}  // namespace df
