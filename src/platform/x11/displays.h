// The displays on X11 RandR: outputs are the displays and an output's XID is its ID; its modes
// are one per timing; a configuration is CRTC changes under a server grab.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/displays.h"
#include "platform/x11/connection.h"

namespace df::platform::x11 {

class RandrDisplays final : public Displays {
 public:
  explicit RandrDisplays(Connection& x) : x_(x) {}

  bool watch(NoticeFn notice, void* user) override { return x_.watch(notice, user); }
  bool list(std::vector<DisplayID>& out) override;
  std::optional<std::string> uuid(DisplayID display) override;
  bool isActive(DisplayID display) override;
  bool isBuiltin(DisplayID display) override;
  bool isMirrored(DisplayID display) override;
  bool isHardwareMirrored(DisplayID display) override;
  ModeHandle currentMode(DisplayID display) override;
  std::optional<std::vector<ModeHandle>> modes(DisplayID display) override;
  // Under a server grab: when the kept state is current (no event came in before the grab took
  // hold), the change is made from it at once; otherwise it is read again first.
  bool configure(DisplayID display, const Mode* mode) override;

  // The output's name ("HDMI-1"), and whether it is the primary output.
  std::string name(DisplayID display);
  bool isPrimary(DisplayID display);

 private:
  Connection& x_;
};

// The UUID text of a connected output: from its EDID's vendor, product and serial, with its name
// where there is no EDID or another connected output has one of the same identity.
std::string uuidOf(const State& s, const State::Output& o);

}  // namespace df::platform::x11
