// The modes a display offers, built from its EDID by one rule (docs/scenarios.md, "A display
// from an EDID"), for the simulated machine and the platform backends alike.
#pragma once

#include <vector>

#include "edid/edid.h"

namespace df::edid {

struct OfferedMode {
  Timing timing;            // as declared; a VIC's own timing for VICs and HDMI VICs
  double rateHz = 0;        // field rate: the VIC's exact rate for CTA-861 timings
  bool television = false;  // a CTA-861 timing
  int vic = 0;              // its CTA-861 code (HDMI VICs: the equal VIC); 0 for none
  bool preferred = false;   // the EDID's preferred timing, at its own rate
};

// Every timing the EDID declares, in the order: detailed, established, standard timings, Video
// Data Block VICs, 4:2:0 VICs, HDMI VICs. CTA-861 timings whose rate is a whole multiple of 6 Hz
// (or 1000/1001 of one) come at both the whole and the 1000/1001 rate. Duplicates (same size,
// scan and exact rate) appear once; undefined codes are left out.
std::vector<OfferedMode> offeredModes(const Decoded& d);

// The relative tolerance on the rate within which a declared timing counts as a VIC's timing.
inline constexpr double kCtaRateTolerance = 0.001;

}  // namespace df::edid
