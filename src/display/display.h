// Which online display is the target, and whether the system may touch it. Nothing is cached:
// every call asks the platform afresh.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "state/context.h"

namespace df {

// The online display IDs in the platform's order; empty on any error.
std::vector<DisplayID> onlineDisplays(platform::Displays& displays);

// The single online display whose UUID string is exactly uuid; 0 when uuid is absent, when
// none carries it, and when two or more do (then *ambiguous is set, when given).
DisplayID findDisplay(platform::Displays& displays, const std::optional<std::string>& uuid,
                      bool* ambiguous = nullptr);
// The same, listing into the context's kept storage.
DisplayID findDisplay(Context& cx, const std::optional<std::string>& uuid,
                      bool* ambiguous = nullptr);

// The display tests in the order they are made, and the first one that fails.
enum class DisplayTest {
  kPassed,
  kNoControl,
  kIsControl,
  kInactive,
  kBuiltin,
  kMirrored,
  kHWMirrored
};

// The eligibility tests other than the target lookup: a control display is known and differs
// from d, and d is active, not built in and in no mirror set. Stops at the first failure and
// names it.
DisplayTest displayTests(Context& cx, DisplayID d);
inline bool passesDisplayTests(Context& cx, DisplayID d) {
  return displayTests(cx, d) == DisplayTest::kPassed;
}

// Why a display failed a test, for diagnostics: "display 1 is the control display".
std::string displayTestText(DisplayTest test, DisplayID d);

// Whether d is eligible: non-zero, passes the display tests, and is the display that the
// target UUID resolves to.
bool stillAssigned(Context& cx, DisplayID d);

}  // namespace df
