#include "platform/x11/edid_facts.h"

#include "edid/edid.h"

namespace df::platform::x11 {

EdidFacts readEdid(std::vector<std::uint8_t> bytes) {
  EdidFacts facts;
  facts.bytes = std::move(bytes);
  if (!edid::isEdid(facts.bytes)) return facts;
  facts.present = true;
  // Manufacturer, product code and serial number: bytes 8 to 15.
  facts.identity.assign(facts.bytes.begin() + 8, facts.bytes.begin() + 16);
  facts.television = edid::Television(edid::decode(facts.bytes));
  return facts;
}

std::optional<edid::TelevisionTiming> televisionTiming(const EdidFacts& edid,
                                                       const xcb_randr_mode_info_t& mode) {
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
  return edid.television.of(t);
}

}  // namespace df::platform::x11
