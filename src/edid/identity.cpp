#include "edid/identity.h"

#include "edid/edid.h"

namespace df::edid {

namespace {

std::uint64_t fnv1a(std::string_view text, std::uint64_t seed) {
  std::uint64_t h = seed;
  for (unsigned char ch : text) {
    h ^= ch;
    h *= 0x100000001b3ULL;
  }
  return h;
}

}  // namespace

std::string identityOf(std::span<const std::uint8_t> edid) {
  if (!isEdid(edid)) return {};
  return std::string(edid.begin() + 8, edid.begin() + 16);
}

std::string uuidFromName(std::string_view name) {
  std::uint64_t hi = fnv1a(name, 0xcbf29ce484222325ULL);
  std::uint64_t lo = fnv1a(name, 0x84222325cbf29ce4ULL ^ hi);
  hi = (hi & ~0xF000ULL) | 0x8000ULL;
  lo = (lo & ~(0xC0ULL << 56)) | (0x80ULL << 56);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    const std::uint64_t word = i < 8 ? hi : lo;
    const int shift = 56 - 8 * (i % 8);
    const unsigned byte = static_cast<unsigned>((word >> shift) & 0xFF);
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  return out;
}

std::string sinkUuid(std::string_view identity, std::string_view connector, bool shared) {
  std::string name = "edid:";
  name += identity;
  if (shared) {
    name += "|output:";
    name += connector;
  }
  return uuidFromName(name);
}

}  // namespace df::edid
