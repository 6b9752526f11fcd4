#include "platform/darwin/display_uuid.h"

#include "platform/darwin/cf.h"

namespace df::platform::darwin {

std::optional<std::string> uuidString(CFUUIDRef uuid) {
  const auto text = CFRef<CFStringRef>::adopt(CFUUIDCreateString(kCFAllocatorDefault, uuid));
  return utf8String(text.get());
}

}  // namespace df::platform::darwin
