// Everything the service reaches of the platform.
#pragma once

#include "platform/display_services.h"
#include "platform/external_display.h"
#include "platform/main_queue.h"
#include "platform/registry.h"

namespace df::platform {

struct Platform {
  DisplayServices& displays;
  DeviceRegistry& registry;
  ExternalDisplaySource& external;
};

}  // namespace df::platform
