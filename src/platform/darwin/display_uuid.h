// The UUID of a display as its string. Needs CoreFoundation only.
#pragma once

#include <optional>
#include <string>

#include <CoreFoundation/CoreFoundation.h>

namespace df::platform::darwin {

// The canonical string of a UUID object (CFUUIDCreateString); nullopt when the platform gives
// none or it cannot be encoded. A display's UUID is a TextUUID made from it while the UUID object
// is held; a UUID without a string is no UUID.
std::optional<std::string> uuidString(CFUUIDRef uuid);

}  // namespace df::platform::darwin
