// The HDMI link of the external display: the signal, the strictly checked 1080p rates and the
// connection mode, read afresh from the device registry and the external display object.
#pragma once

#include "common/context.h"
#include "link/reading.h"

namespace df {

inline constexpr const char* kFramebufferClass = "IOMobileFramebufferShim";

// The link record of the display; the empty record when the HDMI service lacks its timing
// data; nullopt when there is no external display object for this display or no single
// external HDMI service for it.
std::optional<Link> hdmiLink(Context& cx, DisplayID display);

// The connection record of a mode object; nullopt for no mode, a mode that does not answer
// isVRR or is variable-rate, or a rate that is not finite and above 0.
std::optional<Connection> connectionDescription(const platform::ExternalMode* mode);

}  // namespace df
