#include "edid/television.h"

#include <cmath>

namespace df::edid {
namespace {

bool sameRaster(const Timing& a, const Timing& b) {
  return a.hActive == b.hActive && a.vActive == b.vActive && a.interlaced == b.interlaced &&
         a.hTotal == b.hTotal && a.vTotal == b.vTotal;
}

// The VIC among vics that t is, at the nearest of its rates within the tolerance.
template <typename Vics>
std::optional<TelevisionTiming> nearest(const Vics& vics, const Timing& t) {
  std::optional<TelevisionTiming> best;
  double bestDistance = 0;
  const double clock = static_cast<double>(t.pixelClockHz);
  for (const Vic* v : vics) {
    if (!sameRaster(v->timing, t)) continue;
    for (double r : vicRates(*v)) {
      const double want = static_cast<double>(v->timing.pixelClockHz) * r / v->fieldRateHz;
      const double distance = std::abs(clock - want);
      if (distance <= kCtaRateTolerance * want && (!best || distance < bestDistance)) {
        best = TelevisionTiming{v, r};
        bestDistance = distance;
      }
    }
  }
  return best;
}

}  // namespace

std::vector<double> vicRates(const Vic& v) {
  const double r = v.fieldRateHz;
  double whole = std::round(r);
  if (std::abs(r - whole) > 1e-9) {
    whole = std::round(r * 1.001);
    if (std::abs(r - whole * 1000.0 / 1001.0) > 1e-9) return {r};
  }
  const auto w = static_cast<long long>(whole);
  if (w % 6 != 0) return {r};
  return {whole, whole * 1000.0 / 1001.0};
}

const Vic& sameTimingVic(const Vic& v) {
  for (const Vic& other : allVics())
    if (sameRaster(other.timing, v.timing) && other.timing.pixelClockHz == v.timing.pixelClockHz &&
        other.fieldRateHz == v.fieldRateHz)
      return other;
  return v;
}

std::optional<TelevisionTiming> vicTiming(const Timing& t) {
  std::vector<const Vic*> all;
  for (const Vic& v : allVics())
    if (sameRaster(v.timing, t)) all.push_back(&v);
  return nearest(all, t);
}

Television::Television(const Decoded& d) {
  for (const auto* list : {&d.vics, &d.vics420})
    for (int code : *list) add(findVic(code));
  for (int code : d.hdmiVics)
    if (const Vic* h = hdmiVic(code))
      if (const auto m = vicTiming(h->timing)) add(m->vic);
  for (const Timing& t : d.detailed)
    if (const auto m = vicTiming(t)) add(m->vic);
}

const Vic* Television::declared(const Vic& v) const {
  const Vic& same = sameTimingVic(v);
  for (const Vic* have : vics_)
    if (&sameTimingVic(*have) == &same) return have;
  return nullptr;
}

void Television::add(const Vic* v) {
  if (v != nullptr && declared(*v) == nullptr) vics_.push_back(v);
}

std::optional<TelevisionTiming> Television::of(const Timing& t) const {
  return nearest(vics_, t);
}

std::optional<TelevisionTiming> Television::of(int width, int height, bool interlaced,
                                               double hz) const {
  std::optional<TelevisionTiming> best;
  double bestDistance = 0;
  for (const Vic* v : vics_) {
    const Timing& t = v->timing;
    if (t.hActive != width || t.vActive != height || t.interlaced != interlaced) continue;
    for (double r : vicRates(*v)) {
      const double distance = std::abs(hz - r);
      if (distance <= kCtaRateTolerance * r && (!best || distance < bestDistance)) {
        best = TelevisionTiming{v, r};
        bestDistance = distance;
      }
    }
  }
  return best;
}

}  // namespace df::edid
