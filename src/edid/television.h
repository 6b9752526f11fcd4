// Which timings are an EDID's television timings, and at which exact rate: one answer for the
// simulated machine and every platform backend.
#pragma once

#include <optional>
#include <vector>

#include "edid/edid.h"

namespace df::edid {

// The relative tolerance on the clock (or the rate) within which a timing counts as a VIC's
// timing at one of its rates: half the distance between a whole rate and its 1000/1001 rate, so
// that each rate has a window of its own. It covers the kHz-rounded clocks drivers publish and
// detailed timings a few thousandths of a hertz off.
inline constexpr double kCtaRateTolerance = 0.0005;

// The rates a VIC is offered at: sinks accept the whole and the 1000/1001 rate of the 6 Hz family
// (24, 30, 60, 120 ...) alike, so both, whichever of them the format is defined at; other VICs
// (25, 50, 100 Hz ...) keep their one rate.
std::vector<double> vicRates(const Vic& v);

// The first VIC of equal timing: the 4:3/16:9 (and 64:27) pairs share one timing and count as one.
const Vic& sameTimingVic(const Vic& v);

struct TelevisionTiming {
  const Vic* vic;      // the VIC as the EDID declares it (of a twin pair, the one it names)
  double fieldRateHz;  // exact: one of vicRates(*vic)
};

// The television timings of one EDID: the VICs of its Video Data Blocks (4:2:0 ones too), its
// HDMI VICs as their CTA-861 VICs, and the VICs its detailed timings equal. Established and
// standard timings add nothing: they are desktop modes at their own rate unless their timing is
// one of these.
class Television {
 public:
  Television() = default;
  explicit Television(const Decoded& d);

  // A mode known by its timing: a declared VIC's active size, scan and totals, with a clock within
  // kCtaRateTolerance of the VIC's clock at one of its rates (the nearest rate wins).
  std::optional<TelevisionTiming> of(const Timing& t) const;
  // A mode known only by size, scan and refresh rate, as some platforms give it.
  std::optional<TelevisionTiming> of(int width, int height, bool interlaced, double hz) const;

  // Every declared VIC once (twins once), in the order: Video Data Blocks, 4:2:0 Video Data
  // Blocks, HDMI VICs, detailed timings.
  const std::vector<const Vic*>& vics() const { return vics_; }

 private:
  const Vic* declared(const Vic& v) const;  // the declared VIC of v's timing, or nullptr
  void add(const Vic* v);

  std::vector<const Vic*> vics_;
};

// The VIC whose timing t is, declared or not, by the rule of Television::of.
std::optional<TelevisionTiming> vicTiming(const Timing& t);

}  // namespace df::edid
