#include "modes/records.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <vector>

#include "modes/format.h"

namespace df {

namespace {

char scanLetter(const platform::ModeInfo& mode) {
  return mode.interlaced ? 'i' : 'p';
}

template <typename T>
void appendNumber(std::string& out, T value, int base = 10) {
  char buffer[32];
  auto r = std::to_chars(buffer, buffer + sizeof buffer, value, base);
  out.append(buffer, r.ptr);
}

// Appends the value with six decimals, as printf's "%.6f" writes it in the C locale: the exact
// binary value rounded half to even. Written out here because the floating-point to_chars
// overloads are unavailable before macOS 13.3, and snprintf would follow the locale.
void appendFixed6(std::string& out, double value) {
  if (std::signbit(value)) out += '-';
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += "inf";
    return;
  }
  constexpr std::uint64_t kScale = 1000000;
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(value), &exponent);
  // |value| = mantissa * 2^exponent exactly, with a mantissa of at most 53 bits.
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  exponent -= 53;
  if (exponent > 0) {
    if (exponent <= 10) {
      appendNumber(out, mantissa << exponent);
    } else {
      // A whole number past 2^63: doubled in base 10^9 limbs, least significant first.
      constexpr std::uint32_t kLimb = 1000000000;
      std::vector<std::uint32_t> limbs{static_cast<std::uint32_t>(mantissa % kLimb),
                                       static_cast<std::uint32_t>(mantissa / kLimb % kLimb),
                                       static_cast<std::uint32_t>(mantissa / kLimb / kLimb)};
      for (int i = 0; i < exponent; ++i) {
        std::uint32_t carry = 0;
        for (auto& limb : limbs) {
          const std::uint32_t doubled = limb * 2 + carry;
          carry = doubled >= kLimb ? 1 : 0;
          limb = doubled - carry * kLimb;
        }
        if (carry != 0) limbs.push_back(carry);
      }
      while (limbs.size() > 1 && limbs.back() == 0) limbs.pop_back();
      appendNumber(out, limbs.back());
      for (auto it = limbs.rbegin() + 1; it != limbs.rend(); ++it) {
        char digits[9];
        std::uint32_t limb = *it;
        for (int d = 8; d >= 0; --d, limb /= 10) digits[d] = static_cast<char>('0' + limb % 10);
        out.append(digits, sizeof digits);
      }
    }
    out += ".000000";
    return;
  }
  const int shift = -exponent;  // bits below the binary point
  std::uint64_t whole = shift < 64 ? mantissa >> shift : 0;
  const std::uint64_t below = shift < 64 ? mantissa & ((std::uint64_t{1} << shift) - 1) : mantissa;
  std::uint64_t micros = 0;
  // below * 10^6 needs up to 73 bits; past 127 bits of shift it is less than half a unit.
  if (below != 0 && shift < 127) {
    __extension__ typedef unsigned __int128 Wide;
    const Wide scaled = static_cast<Wide>(below) * kScale;
    const Wide unit = static_cast<Wide>(1) << shift;
    micros = static_cast<std::uint64_t>(scaled >> shift);
    const Wide rest = scaled & (unit - 1);
    const Wide half = unit >> 1;
    if (rest > half || (rest == half && (micros & 1) != 0)) ++micros;
    if (micros == kScale) {
      micros = 0;
      ++whole;
    }
  }
  appendNumber(out, whole);
  out += '.';
  char digits[6];
  for (int d = 5; d >= 0; --d, micros /= 10) digits[d] = static_cast<char>('0' + micros % 10);
  out.append(digits, sizeof digits);
}

}  // namespace

Desktop reportedMode(const platform::Mode* handle) {
  Desktop d;
  if (handle == nullptr) return d;
  const platform::ModeInfo* mode = &handle->info();
  const double hz = mode->hz;
  d.empty = false;
  d.modeId = mode->id;
  d.width = mode->width;
  d.height = mode->height;
  d.logicalWidth = mode->logicalWidth;
  d.logicalHeight = mode->logicalHeight;
  d.flags = mode->flags;
  d.interlaced = mode->interlaced;
  d.hz = std::isfinite(hz) ? hz : 0.0;
  d.format = formatOf(handle).value_or("");
  return d;
}

Record toJson(const Desktop& d) {
  Record r = Record::object();
  if (d.empty) return r;
  // The kinds decide how the numbers are written: "hz" stays a floating number when whole.
  r["modeId"] = d.modeId;
  r["width"] = d.width;
  r["height"] = d.height;
  r["logicalWidth"] = d.logicalWidth;
  r["logicalHeight"] = d.logicalHeight;
  r["flags"] = d.flags;
  r["interlaced"] = d.interlaced ? 1 : 0;
  r["hz"] = d.hz;
  r["format"] = d.format;
  return r;
}

bool writeNativeKey(std::string& out, const platform::Mode* mode,
                    const std::optional<std::string>& uuid) {
  out.clear();
  if (mode == nullptr || !uuid) return false;
  const platform::ModeInfo& m = mode->info();
  if (!m.valid || !m.safe || m.needsPanning || m.neverShow || m.stretched) return false;
  const double hz = m.hz;
  if (!std::isfinite(hz) || !(hz > 0) || hz > 1000) return false;
  if (m.logicalWidth != m.width || m.logicalHeight != m.height) return false;
  out += "native:";
  out += *uuid;
  out += ':';
  appendNumber(out, static_cast<std::uint32_t>(m.id), 16);
  out += ':';
  appendNumber(out, m.width);
  out += 'x';
  appendNumber(out, m.height);
  out += scanLetter(m);
  out += ':';
  appendNumber(out, static_cast<long long>(std::llround(hz * 1000000.0)));
  return true;
}

std::optional<std::string> nativeKey(const platform::Mode* mode,
                                     const std::optional<std::string>& uuid) {
  std::string key;
  if (!writeNativeKey(key, mode, uuid)) return std::nullopt;
  return key;
}

void writeNativeLabel(std::string& out, const platform::Mode& handle) {
  out.clear();
  const platform::ModeInfo& mode = handle.info();
  appendNumber(out, mode.width);
  out += "\u00d7";
  appendNumber(out, mode.height);
  out += scanLetter(mode);
  out += " \u00b7 ";
  appendFixed6(out, mode.hz);
  out += " Hz \u00b7 #";
  appendNumber(out, static_cast<std::uint32_t>(mode.id), 16);
}

std::string nativeLabel(const platform::Mode& mode) {
  std::string text;
  writeNativeLabel(text, mode);
  return text;
}

}  // namespace df
