#include "platform/x11/edid_facts.h"

#include <algorithm>

#include "edid/edid.h"

namespace df::platform::x11 {

namespace {

// Real drivers publish clocks in whole kHz, 1000/1001 clocks rounded: a CTA timing is known by
// its raster, scan and totals, with the clock within 1 kHz.
constexpr double kClockToleranceHz = 1000.0;

}  // namespace

EdidFacts readEdid(std::vector<std::uint8_t> bytes) {
  EdidFacts facts;
  facts.bytes = std::move(bytes);
  if (!edid::isEdid(facts.bytes)) return facts;
  const edid::Decoded decoded = edid::decode(facts.bytes);
  facts.present = true;
  // Manufacturer, product code and serial number: bytes 8 to 15.
  facts.identity.assign(facts.bytes.begin() + 8, facts.bytes.begin() + 16);
  // Declared: the video data blocks (4:2:0 ones too), the HDMI VICs as their CTA VICs, and
  // detailed timings that are CTA timings (their clocks come in 10 kHz units).
  facts.vics = decoded.vics;
  facts.vics.insert(facts.vics.end(), decoded.vics420.begin(), decoded.vics420.end());
  for (int code : decoded.hdmiVics) {
    if (const edid::Vic* v = edid::hdmiVic(code)) facts.vics.push_back(v->code);
  }
  for (const edid::Timing& t : decoded.detailed) {
    if (auto m = edid::matchCta(t, 10000.0); m && m->vic != nullptr)
      facts.vics.push_back(m->vic->code);
  }
  return facts;
}

std::optional<CtaTiming> televisionTiming(const EdidFacts& edid,
                                          const xcb_randr_mode_info_t& mode) {
  if (edid.vics.empty()) return std::nullopt;
  edid::Timing t{};
  t.pixelClockHz = mode.dot_clock;
  t.hActive = mode.width;
  t.hSyncStart = mode.hsync_start;
  t.hSyncEnd = mode.hsync_end;
  t.hTotal = mode.htotal;
  t.vActive = mode.height;
  t.vSyncStart = mode.vsync_start;
  t.vSyncEnd = mode.vsync_end;
  t.vTotal = mode.vtotal;
  t.interlaced = (mode.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) != 0;
  t.hSyncPositive = (mode.mode_flags & XCB_RANDR_MODE_FLAG_HSYNC_POSITIVE) != 0;
  t.vSyncPositive = (mode.mode_flags & XCB_RANDR_MODE_FLAG_VSYNC_POSITIVE) != 0;
  const auto match = edid::matchCta(t, kClockToleranceHz);
  if (!match || match->vic == nullptr) return std::nullopt;
  if (std::find(edid.vics.begin(), edid.vics.end(), match->vic->code) == edid.vics.end())
    return std::nullopt;
  return CtaTiming{match->vic->code, match->exactFieldRateHz};
}

}  // namespace df::platform::x11
