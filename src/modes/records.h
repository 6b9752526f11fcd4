// Mode records: the desktop record, native keys and labels, and snapshots of the target.
#pragma once

#include <optional>
#include <string>

#include "common/context.h"

namespace df {

// The nine-key desktop record of a mode; the empty record for no mode.
Record reportedMode(const platform::DisplayMode* mode);

// The native key of an unscaled, valid and safe mode of the display with that UUID string.
std::optional<std::string> nativeKey(const platform::DisplayMode* mode,
                                     const std::optional<std::string>& uuid);

// The label shown for a native key, e.g. "1920×1080p · 60.000000 Hz · #2a".
std::string nativeLabel(const platform::DisplayMode& mode);

// {"desktop": desktop record, "link": link record or null}; nullopt for no mode.
Maybe snapshot(const platform::DisplayMode* mode, const Maybe& link);

// The eligible display's current mode and link; nullopt when the display is not eligible or
// has no current mode.
Maybe readSnapshot(Context& cx, DisplayID display);

}  // namespace df
