// The UUID of a display as its string. Needs CoreFoundation only.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include <CoreFoundation/CoreFoundation.h>

#include "platform/display_services.h"

namespace df::platform::darwin {

// The canonical string of a UUID object (CFUUIDCreateString); nullopt when the platform gives
// none or it cannot be encoded.
std::optional<std::string> uuidString(CFUUIDRef uuid);

// A display's UUID string, made while the platform's UUID object was held: the object is
// released as soon as the string is made, and a UUID without a string is no UUID.
class CFDisplayUUID final : public DisplayUUID {
 public:
  explicit CFDisplayUUID(std::string text) : text_(std::move(text)) {}
  std::string string() const override { return text_; }

 private:
  std::string text_;
};

}  // namespace df::platform::darwin
