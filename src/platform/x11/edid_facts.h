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

struct CtaTiming {
  int vic;
  double fieldRateHz;  // exact: N or N * 1000/1001
};

// The CTA-861 timing, declared by the EDID, that the mode's timing is; nullopt for every other
// mode.
std::optional<CtaTiming> televisionTiming(const EdidFacts& edid, const xcb_randr_mode_info_t& mode);

}  // namespace df::platform::x11
