// What the backend knows of a monitor's sink beyond Mutter's strings: its EDID where the system
// gives it, and what follows from it, the television timings and the exact rates of the modes.
// Mutter's state carries no EDID bytes: they come from the kernel's connector
// (/sys/class/drm/card*-CONNECTOR/edid) or, on an X11 session, from the RandR output of the same
// name, and count only when they name the vendor Mutter names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "edid/modes.h"
#include "edid/television.h"
#include "platform/displays.h"
#include "platform/gnome/state.h"

namespace df::platform::gnome {

struct Sink {
  std::vector<std::uint8_t> edid;  // empty when none was found
  std::string identity;            // the EDID's vendor, product and serial bytes
  edid::Television television;     // with no EDID: every CTA-861 timing
  std::vector<edid::OfferedMode> offered;

  bool hasEdid() const { return !edid.empty(); }
};

// Where EDIDs are looked for.
struct EdidPlaces {
  std::string drm = "/sys/class/drm";  // the kernel's connectors; empty for none
  std::string x11Display;              // the X display to ask; empty for none
};

// The kernel's name of one of Mutter's connectors: "HDMI-1" is the kernel's "HDMI-A-1".
std::string kernelConnector(const std::string& connector);

// The sink on this monitor, with the EDID found for it in places.
std::shared_ptr<const Sink> findSink(const MonitorIdentity& identity, const EdidPlaces& places);

// The mode as the service reads it. A mode that is one of the EDID's timings (by size, scan and
// rate) takes that timing's television flag and exact rate, as the simulated machine offers
// it; any other mode is a television timing by the television rule on size, scan and rate
// alone (with no EDID, of every CTA-861 timing), and otherwise keeps Mutter's rate.
ModeInfo describe(const MutterMode& mode, const Sink& sink, std::int32_t id);

}  // namespace df::platform::gnome
