// Changing the target's desktop mode, verifying by polling, restoring and ownership.
#pragma once

#include <functional>

#include "state/context.h"
#include "state/reading.h"

namespace df {

using SettlePredicate = std::function<bool(const Snapshot& reading)>;

inline constexpr int kMaxReadings = 16;
inline constexpr std::chrono::microseconds kReadingInterval{50000};

// Polls readings 50 ms apart, at most 16, until two consecutive readings satisfy the predicate
// and are equal; returns the second. nullopt at once when a reading is absent, or when 16
// readings pass without such a pair.
MaybeSnapshot settled(Context& cx, DisplayID display, const SettlePredicate& predicate);

// Drives the display back to the stored snapshot, desktop first and connection second; true
// only when verified there, signal included (the poll waits for the link to follow).
bool restoreState(Context& cx, DisplayID display, const Snapshot& target);

// Puts the target back to originalMode while it is still in a state this system brought
// about, then forgets the ownership state.
void restoreOriginal(Context& cx);

// Whether the reading is a state this system brought about.
bool ownsReading(const Context& cx, const MaybeSnapshot& reading);

}  // namespace df
