// A platform that passes every call on to another: the base of the wrappers that watch the
// service (the guard) or plant faults in its platform.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace df::test {

class Pass : public platform::Displays, public platform::HdmiLinks {
 public:
  explicit Pass(platform::Platform inner) : inner_(inner) {}
  // The same platform, with this wrapper in front.
  platform::Platform platform() { return {*this, *this, inner_.capabilities}; }

  bool watch(platform::NoticeFn notice, void* user) override {
    return inner_.displays.watch(notice, user);
  }
  bool list(std::vector<platform::DisplayID>& out) override { return inner_.displays.list(out); }
  std::optional<std::string> uuid(platform::DisplayID d) override {
    return inner_.displays.uuid(d);
  }
  bool isActive(platform::DisplayID d) override { return inner_.displays.isActive(d); }
  bool isBuiltin(platform::DisplayID d) override { return inner_.displays.isBuiltin(d); }
  bool isMirrored(platform::DisplayID d) override { return inner_.displays.isMirrored(d); }
  bool isHardwareMirrored(platform::DisplayID d) override {
    return inner_.displays.isHardwareMirrored(d);
  }
  platform::ModeHandle currentMode(platform::DisplayID d) override {
    return inner_.displays.currentMode(d);
  }
  std::optional<std::vector<platform::ModeHandle>> modes(platform::DisplayID d) override {
    return inner_.displays.modes(d);
  }
  bool configure(platform::DisplayID d, const platform::Mode* mode) override {
    return inner_.displays.configure(d, mode);
  }

  std::optional<platform::LinkReading> read(platform::DisplayID d) override {
    return inner_.links.read(d);
  }
  std::optional<std::vector<platform::ConnectionMode>> connectionModes(
      platform::DisplayID d, const std::string& uuid) override {
    return inner_.links.connectionModes(d, uuid);
  }
  bool switchConnection(platform::DisplayID d, const std::string& uuid,
                        const platform::ConnectionMode& mode) override {
    return inner_.links.switchConnection(d, uuid, mode);
  }

 protected:
  platform::Platform inner_;
};

}  // namespace df::test
