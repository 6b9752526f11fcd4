#include "edid/modes.h"

#include <cmath>

namespace df::edid {
namespace {

// The rates a VIC is offered at. Sinks accept the whole and the 1000/1001 rate of the 6 Hz
// family alike, so both are offered whichever of them the format is defined at.
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

class Builder {
 public:
  void add(const Timing& t, double rate, bool television, int vic, bool preferred) {
    for (auto& m : out_) {
      if (m.timing.hActive == t.hActive && m.timing.vActive == t.vActive &&
          m.timing.interlaced == t.interlaced && m.rateHz == rate) {
        // A television timing stands for a plain one of the same size and rate.
        if (television && !m.television) {
          m.timing = t;
          m.television = true;
          m.vic = vic;
        }
        m.preferred = m.preferred || preferred;
        return;
      }
    }
    out_.push_back({t, rate, television, vic, preferred});
  }

  void addVic(const Vic& v, double ownRate, bool preferred) {
    for (double r : vicRates(v)) add(v.timing, r, true, v.code, preferred && r == ownRate);
  }

  // A declared timing: a VIC's timing when it equals one, otherwise at its own rate.
  void addTiming(const Timing& t, bool preferred) {
    if (const auto m = matchCta(t, 0, kCtaRateTolerance)) {
      // The VIC's rates, each keeping the declared timing's own sync and porches.
      const auto rates = vicRates(*m->vic);
      double own = rates.front();
      for (double r : rates)
        if (std::abs(r - m->exactFieldRateHz) < 1e-9) own = r;
      for (double r : rates) add(t, r, true, m->vic->code, preferred && r == own);
      return;
    }
    add(t, fieldRate(t), false, 0, preferred);
  }

  std::vector<OfferedMode> take() { return std::move(out_); }

 private:
  std::vector<OfferedMode> out_;
};

}  // namespace

std::vector<OfferedMode> offeredModes(const Decoded& d) {
  Builder b;
  for (std::size_t i = 0; i < d.detailed.size(); ++i) b.addTiming(d.detailed[i], d.preferred == i);
  for (const auto& t : d.established) b.addTiming(t, false);
  for (const auto& t : d.standard) b.addTiming(t, false);
  for (const auto* list : {&d.vics, &d.vics420})
    for (int code : *list)
      if (const Vic* v = findVic(code)) b.addVic(*v, 0, false);
  for (int code : d.hdmiVics)
    if (const Vic* h = hdmiVic(code))
      if (const auto m = matchCta(h->timing, 0)) b.addVic(*m->vic, 0, false);
  return b.take();
}

}  // namespace df::edid
