// What the X11 backend takes from an output's EDID: its identity and the CTA-861 timings it
// declares.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <xcb/randr.h>

namespace df::platform::x11 {

struct EdidFacts {
  std::vector<std::uint8_t> bytes;
  bool present = false;
  std::string identity;   // vendor, product and serial, as the EDID's bytes
  std::vector<int> vics;  // CTA VICs the EDID declares, HDMI VICs as their CTA VICs
};

EdidFacts readEdid(std::vector<std::uint8_t> bytes);

// The exact field rate of a mode whose timing is a CTA-861 timing that the EDID declares;
// nullopt for every other mode.
std::optional<double> televisionTiming(const EdidFacts& edid, const xcb_randr_mode_info_t& mode);

}  // namespace df::platform::x11
