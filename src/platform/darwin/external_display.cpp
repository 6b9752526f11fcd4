#include "platform/darwin/external_display.h"

namespace df::platform::darwin {

ExternalDisplayHandle ExternalDisplayProvider::externalDisplay() {
  return provider_ ? provider_() : nullptr;
}

}  // namespace df::platform::darwin
