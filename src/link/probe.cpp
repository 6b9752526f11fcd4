#include "link/probe.h"

#include <cmath>

#include "display/display.h"
#include "modes/format.h"

namespace df {

namespace {

constexpr double k1080p5994 = 60000.0 / 1001.0;
constexpr std::uint32_t kVic1080p60 = 16;

// Names the timings, unless the memo holds these very timings already. A 1080p59.94 or
// 1080p60.00 name is kept only for the CTA timing itself (VIC 16, 2200 by 1125 in all) at the
// exact rate; that timing's rate is what a connection switch asks for.
const TimingMemo& nameTimings(TimingMemo& memo, const platform::SignalTimings& timings) {
  if (memo.timings == timings) return memo;
  memo.timings = timings;
  memo.formats.clear();
  memo.rate1080p5994.reset();
  memo.rate1080p6000.reset();
  for (const platform::SignalTiming& t : *timings) {
    std::string format;
    if (t.vic != 0) format = broadcastFormat(t.width, t.height, t.interlaced, t.hz).value_or("");
    const bool p5994 = format == "1080p59.94";
    if (p5994 || format == "1080p60.00") {
      const double exact = p5994 ? k1080p5994 : 60.0;
      if (t.vic == kVic1080p60 && t.hTotal == 2200 && t.vTotal == 1125 &&
          std::fabs(t.hz - exact) <= kRateTolerance) {
        (p5994 ? memo.rate1080p5994 : memo.rate1080p6000) = exact;
      } else {
        format.clear();
      }
    }
    memo.formats.push_back(std::move(format));
  }
  return memo;
}

}  // namespace

std::optional<Link> hdmiLink(Context& cx, DisplayID display) {
  if (!cx.platform.capabilities.hdmiLink || display == 0) return std::nullopt;
  std::optional<platform::LinkReading> reading = cx.platform.links.read(display);
  if (!reading || reading->uuid.empty()) return std::nullopt;
  if (!reading->timings) return Link{};

  Link link;
  link.full = true;
  const TimingMemo& named = nameTimings(cx.timings, reading->timings);
  link.rate1080p5994 = named.rate1080p5994;
  link.rate1080p6000 = named.rate1080p6000;
  const std::vector<platform::SignalTiming>& timings = *reading->timings;
  if (reading->current && *reading->current < timings.size()) {
    const platform::SignalTiming& t = timings[*reading->current];
    if (t.width != 0 && t.height != 0 && t.hz > 0)
      link.signal = Signal{t.width, t.height, t.hz, named.formats[*reading->current], t.interlaced};
  }
  link.mode = std::move(reading->mode);
  link.uuid = std::move(reading->uuid);
  return link;
}

MaybeSnapshot readSnapshot(Context& cx, DisplayID display) {
  ++cx.counters.readings;
  if (!stillAssigned(cx, display)) return std::nullopt;
  platform::ModeHandle mode = cx.platform.displays.currentMode(display);
  // The link is probed even without a mode, as every reading does.
  std::optional<Link> link = hdmiLink(cx, display);
  return snapshot(mode.get(), std::move(link));
}

}  // namespace df
