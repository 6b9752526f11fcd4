// The UUID object of a display. Needs CoreFoundation only.
#pragma once

#include <string>

#include <CoreFoundation/CoreFoundation.h>

#include "platform/darwin/cf.h"
#include "platform/display_services.h"

namespace df::platform::darwin {

class CFDisplayUUID final : public DisplayUUID {
 public:
  // Takes over the caller's reference (the Create rule); uuid is not null.
  explicit CFDisplayUUID(CFUUIDRef uuid) : uuid_(CFRef<CFUUIDRef>::adopt(uuid)) {}

  // The canonical form; empty when the platform cannot give it, which matches no target.
  std::string string() const override;

 private:
  CFRef<CFUUIDRef> uuid_;
};

}  // namespace df::platform::darwin
