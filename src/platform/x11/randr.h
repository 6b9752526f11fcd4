// The X11 RandR backend as a program starts it: the connection with its kept state, the
// displays and HDMI links over it, and what the backend can do.
#pragma once

#include <memory>

#include "platform/platform.h"
#include "platform/x11/connection.h"
#include "platform/x11/displays.h"
#include "platform/x11/hdmi_link.h"

namespace df::platform::x11 {

// Scaled modes: RandR modes are pixels, and scaling is a CRTC transform the service does not
// set. A CRTC change outlives the client that made it.
inline constexpr Capabilities kCapabilities{.hdmiLink = true,
                                            .connectionModes = true,
                                            .scaledModes = false,
                                            .mirrorSets = true,
                                            .changesEndWithProcess = false};

class Randr {
 public:
  // Null when there is no server, or no RandR 1.3 on it.
  static std::unique_ptr<Randr> connect(const char* display, MainQueue& queue) {
    std::unique_ptr<Connection> x = Connection::connect(display, queue);
    return x ? std::unique_ptr<Randr>(new Randr(std::move(x))) : nullptr;
  }
  Platform platform() { return {displays_, links_, kCapabilities}; }
  Connection& connection() { return *x_; }
  RandrDisplays& displays() { return displays_; }

 private:
  explicit Randr(std::unique_ptr<Connection> x) : x_(std::move(x)), displays_(*x_), links_(*x_) {}
  std::unique_ptr<Connection> x_;
  RandrDisplays displays_;
  RandrLinks links_;
};

}  // namespace df::platform::x11
