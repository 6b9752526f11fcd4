// What the X11 backend takes from an output's EDID: its identity and its television timings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <xcb/randr.h>

#include "edid/television.h"

namespace df::platform::x11 {

struct EdidFacts {
  std::vector<std::uint8_t> bytes;
  bool present = false;
  std::string identity;  // vendor, product and serial, as the EDID's bytes
  edid::Television television;
};

EdidFacts readEdid(std::vector<std::uint8_t> bytes);

// The television timing of the EDID that the mode's timing is; nullopt for every other mode.
std::optional<edid::TelevisionTiming> televisionTiming(const EdidFacts& edid,
                                                       const xcb_randr_mode_info_t& mode);

}  // namespace df::platform::x11
