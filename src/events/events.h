// Following the display: reconfiguration notices, the debounce, and timing rechecks.
#pragma once

#include <chrono>
#include <cstdint>

#include "state/context.h"

namespace df {

inline constexpr std::chrono::milliseconds kDebounce{180};
inline constexpr std::chrono::milliseconds kRecheckInterval{500};
inline constexpr int kRechecks = 12;

// The change notice; user is the Context. Runs on any thread: it only forwards the notice to
// the main queue.
void changed(DisplayID display, platform::Change change, void* user);

// The event step, on the main queue.
void displayEvent(Context& cx, DisplayID display, platform::Change change);

// Starts the next timer of a recheck chain while the recheck condition holds.
void recheckTiming(Context& cx, std::uint32_t chain, int left);

// Control is on, the format is not "current", and the last phase says the display is not
// there yet.
bool recheckCondition(const Context& cx);

}  // namespace df
