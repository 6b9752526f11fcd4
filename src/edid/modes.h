// The modes a display offers, built from its EDID by one rule (docs/scenarios.md, "A display
// from an EDID"), for the simulated machine and the platform backends alike.
#pragma once

#include <vector>

#include "edid/edid.h"
#include "edid/television.h"

namespace df::edid {

struct OfferedMode {
  Timing timing;            // as declared; a VIC's own timing for VICs and HDMI VICs
  double rateHz = 0;        // field rate: the VIC's exact rate for television timings
  bool television = false;  // one of the EDID's television timings (Television::of)
  int vic = 0;              // its CTA-861 code as the EDID declares it; 0 for none
  bool preferred = false;   // the EDID's preferred timing, at its own rate
};

// Every timing the EDID declares, in the order: detailed, established, standard timings, Video
// Data Block VICs, 4:2:0 VICs, HDMI VICs. Television timings come at each of vicRates; the
// others at their own rate. Duplicates (same size, scan and exact rate) appear once; undefined
// codes are left out.
std::vector<OfferedMode> offeredModes(const Decoded& d);

}  // namespace df::edid
