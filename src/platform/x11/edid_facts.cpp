#include "platform/x11/edid_facts.h"

#include <algorithm>
#include <array>

namespace df::platform::x11 {

namespace {

constexpr std::array<std::uint8_t, 8> kHeader{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

}  // namespace

EdidFacts readEdid(std::vector<std::uint8_t> bytes) {
  EdidFacts facts;
  facts.bytes = std::move(bytes);
  const auto& b = facts.bytes;
  if (b.size() < 128 || !std::equal(kHeader.begin(), kHeader.end(), b.begin())) return facts;
  facts.present = true;
  // Manufacturer, product code and serial number: bytes 8 to 15.
  facts.identity.assign(b.begin() + 8, b.begin() + 16);
  return facts;
}

std::optional<CtaTiming> televisionTiming(const EdidFacts&, const xcb_randr_mode_info_t&) {
  return std::nullopt;
}

}  // namespace df::platform::x11
