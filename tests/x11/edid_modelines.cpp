// Prints the modes a driver would publish for an EDID, one modeline per mode the simulated
// machine offers for it: "clock width hsyncstart hsyncend htotal height vsyncstart vsyncend vtotal
// flags", the clock in Hz. Television timings come at each of their rates, with the clock of
// that rate rounded to whole kHz as drivers do; other timings keep the clock they declare.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "edid/modes.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s EDID-FILE\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  if (!df::edid::isEdid(bytes)) {
    std::fprintf(stderr, "%s: not an EDID\n", argv[1]);
    return 2;
  }
  for (const auto& m : df::edid::offeredModes(df::edid::decode(bytes))) {
    const auto& t = m.timing;
    double clock = static_cast<double>(t.pixelClockHz);
    if (const df::edid::Vic* v = m.television ? df::edid::findVic(m.vic) : nullptr)
      clock = std::round(static_cast<double>(v->timing.pixelClockHz) * m.rateHz / v->fieldRateHz /
                         1000.0) *
              1000.0;
    std::printf("%.0f %d %d %d %d %d %d %d %d%s%s%s\n", clock, t.hActive, t.hSyncStart, t.hSyncEnd,
                t.hTotal, t.vActive, t.vSyncStart, t.vSyncEnd, t.vTotal,
                t.interlaced ? " Interlace" : "", t.hSyncPositive ? " +HSync" : " -HSync",
                t.vSyncPositive ? " +VSync" : " -VSync");
  }
  return 0;
}
