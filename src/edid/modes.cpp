#include "edid/modes.h"

#include <cmath>

namespace df::edid {
namespace {

class Builder {
 public:
  explicit Builder(const Decoded& d) : television_(d) {}

  // A declared timing: at a television timing's rates, keeping its own sync and porches, or
  // otherwise at its own rate.
  void addTiming(const Timing& t, bool preferred) {
    if (const auto tv = television_.of(t)) {
      for (double r : vicRates(*tv->vic))
        add(t, r, true, tv->vic->code, preferred && r == tv->fieldRateHz);
      return;
    }
    add(t, fieldRate(t), false, 0, preferred);
  }

  void addVics() {
    for (const Vic* v : television_.vics())
      for (double r : vicRates(*v)) add(v->timing, r, true, v->code, false);
  }

  std::vector<OfferedMode> take() { return std::move(out_); }

 private:
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

  Television television_;
  std::vector<OfferedMode> out_;
};

}  // namespace

std::vector<OfferedMode> offeredModes(const Decoded& d) {
  Builder b(d);
  for (std::size_t i = 0; i < d.detailed.size(); ++i) b.addTiming(d.detailed[i], d.preferred == i);
  for (const auto& t : d.established) b.addTiming(t, false);
  for (const auto& t : d.standard) b.addTiming(t, false);
  b.addVics();
  return b.take();
}

}  // namespace df::edid
