#include "platform/darwin/display_uuid.h"

namespace df::platform::darwin {

std::string CFDisplayUUID::string() const {
  const auto text = CFRef<CFStringRef>::adopt(CFUUIDCreateString(kCFAllocatorDefault, uuid_.get()));
  return utf8String(text.get()).value_or(std::string());
}

}  // namespace df::platform::darwin
