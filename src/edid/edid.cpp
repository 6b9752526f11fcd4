#include "edid/edid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "edid/tables.h"

namespace df::edid {
namespace {

constexpr std::size_t kBlock = 128;
constexpr std::array<std::uint8_t, 8> kHeader{0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};

std::string hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", v & 0xffu);
  return buf;
}

// The nominal rate nearest to r: a whole rate N or N x 1000/1001, when r is within 0.01 % of it.
double nominalRate(double r) {
  const double whole = std::round(r);
  const double frac = std::round(r * 1.001) * 1000.0 / 1001.0;
  const double best = std::abs(r - whole) <= std::abs(r - frac) ? whole : frac;
  return std::abs(r - best) <= r * 1e-4 ? best : r;
}

std::vector<Vic> buildVics(std::span<const RawVic> raw) {
  std::vector<Vic> out;
  out.reserve(raw.size());
  for (const auto& r : raw) {
    Vic v;
    v.code = r.code;
    v.timing = r.timing;
    v.fieldRateHz = nominalRate(fieldRate(r.timing));
    // SD rasters (240 to 576 lines) are 720 pixels wide before repetition.
    const int lines = r.timing.vActive;
    if (lines >= 240 && lines <= 576 && r.timing.hActive > 720 && r.timing.hActive % 720 == 0)
      v.pixelRepetition = r.timing.hActive / 720;
    v.aspect = r.aspect;
    out.push_back(v);
  }
  return out;
}

const std::vector<Vic>& vicTable() {
  static const std::vector<Vic> t = buildVics(kVicTable);
  return t;
}
const std::vector<Vic>& hdmiVicTable() {
  static const std::vector<Vic> t = buildVics(kHdmiVicTable);
  return t;
}

// CVT 1.1 with standard blanking, for standard timings that have no DMT entry.
Timing cvt(int width, int height, int refresh) {
  constexpr double kMinVsyncBp = 550.0, kClockStep = 0.25, kCell = 8;
  constexpr int kMinVPorch = 3, kMinVBPorch = 6;
  const int w = width / 8 * 8;
  int vsync = 10;
  if (height * 4 == w * 3)
    vsync = 4;
  else if (height * 16 == w * 9)
    vsync = 5;
  else if (height * 16 == w * 10)
    vsync = 6;
  else if (height * 5 == w * 4 || height * 15 == w * 9)
    vsync = 7;
  const double hPeriod = (1.0 / refresh - kMinVsyncBp / 1e6) / (height + kMinVPorch) * 1e6;
  int vSyncBp = static_cast<int>(kMinVsyncBp / hPeriod) + 1;
  if (vSyncBp < vsync + kMinVBPorch) vSyncBp = vsync + kMinVBPorch;
  const int vTotal = height + vSyncBp + kMinVPorch;
  double duty = 30.0 - 300.0 * hPeriod / 1000.0;
  if (duty < 20) duty = 20;
  const int hBlank =
      static_cast<int>(w * duty / (100.0 - duty) / (2 * kCell)) * static_cast<int>(2 * kCell);
  const int hTotal = w + hBlank;
  const double clockMHz = kClockStep * std::floor(hTotal / hPeriod / kClockStep);
  const int hSync = static_cast<int>(0.08 * hTotal / kCell) * static_cast<int>(kCell);
  const int hBack = hBlank / 2;
  const int hFront = hBlank - hSync - hBack;
  Timing t;
  t.pixelClockHz = static_cast<std::uint64_t>(std::llround(clockMHz * 1e6));
  t.hActive = w;
  t.hSyncStart = w + hFront;
  t.hSyncEnd = t.hSyncStart + hSync;
  t.hTotal = hTotal;
  t.vActive = height;
  t.vSyncStart = height + kMinVPorch;
  t.vSyncEnd = t.vSyncStart + vsync;
  t.vTotal = vTotal;
  t.vSyncPositive = true;
  return t;
}

const RawDmt* findDmt(int id) {
  for (const auto& d : kDmtTable)
    if (d.id == id) return &d;
  return nullptr;
}

class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  Decoded run() {
    if (bytes_.size() < kBlock) {
      fault("EDID of " + std::to_string(bytes_.size()) + " bytes: shorter than one block");
      return std::move(d_);
    }
    if (!std::equal(kHeader.begin(), kHeader.end(), bytes_.begin())) fault("wrong header");
    if (bytes_.size() % kBlock != 0)
      fault("length " + std::to_string(bytes_.size()) +
            " is not a whole number of blocks: the partial block is ignored");
    const std::size_t present = bytes_.size() / kBlock - 1;
    base(bytes_.first(kBlock));
    std::size_t announced = bytes_[126];
    for (std::size_t i = 1; i <= present && i <= std::max(announced, override_); ++i) {
      extension(i, bytes_.subspan(i * kBlock, kBlock));
    }
    const std::size_t wanted = override_ != 0 ? override_ : announced;
    if (wanted > present)
      fault("announces " + std::to_string(wanted) + " extension block(s), " +
            std::to_string(present) + " present");
    else if (present > wanted)
      fault(std::to_string(present - wanted) + " block(s) past the announced extensions ignored");
    if (!d_.detailed.empty()) d_.preferred = 0;
    return std::move(d_);
  }

 private:
  void fault(std::string what) {
    // One line per kind of fault: a block of fifteen bad codes is one fault.
    auto& list = d_.diagnostics;
    if (std::find(list.begin(), list.end(), what) == list.end()) list.push_back(std::move(what));
  }
  void fault(std::size_t block, const std::string& what) {
    fault("block " + std::to_string(block) + ": " + what);
  }

  void checksum(std::size_t index, std::span<const std::uint8_t> b) {
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < kBlock; ++i) sum += b[i];
    const unsigned want = (256u - (sum & 0xffu)) & 0xffu;
    if (b[127] != want) fault(index, "checksum " + hex2(b[127]) + ", should be " + hex2(want));
  }

  void base(std::span<const std::uint8_t> b) {
    checksum(0, b);
    d_.version = b[18];
    d_.revision = b[19];
    if (d_.version != 1) fault(0, "EDID version " + std::to_string(d_.version));
    const unsigned id = (unsigned{b[8]} << 8) | b[9];
    for (int shift : {10, 5, 0}) {
      const unsigned letter = (id >> shift) & 0x1f;
      if (letter < 1 || letter > 26) {
        fault(0, "manufacturer id holds a letter out of range");
        d_.vendor += '?';
      } else {
        d_.vendor += static_cast<char>('A' + letter - 1);
      }
    }
    d_.product = static_cast<std::uint16_t>(b[10] | (b[11] << 8));
    d_.serial = static_cast<std::uint32_t>(b[12]) | (static_cast<std::uint32_t>(b[13]) << 8) |
                (static_cast<std::uint32_t>(b[14]) << 16) |
                (static_cast<std::uint32_t>(b[15]) << 24);
    // EDID 1.4 digital displays name their colour encodings in the feature byte.
    if (d_.version == 1 && d_.revision >= 4 && (b[20] & 0x80)) {
      const int enc = (b[24] >> 3) & 3;
      d_.ycbcr444 = enc == 1 || enc == 3;
      d_.ycbcr422 = enc == 2 || enc == 3;
    }
    established(b[35], b[36], b[37]);
    for (int i = 0; i < 8; ++i) standardTiming(b[38 + 2 * i], b[39 + 2 * i]);
    for (int i = 0; i < 4; ++i) descriptor(b.subspan(54 + 18 * i, 18));
  }

  void established(std::uint8_t e0, std::uint8_t e1, std::uint8_t e2) {
    // Bit order from byte 35 bit 7 down to byte 37 bit 7; 0 marks the non-DMT timings below.
    static constexpr std::array<int, 17> kDmtIds{-1,   -2, 0x04, -3,   0x05, 0x06, 0x08, 0x09, 0x0a,
                                                 0x0b, -4, 0x0f, 0x10, 0x11, 0x12, 0x24, -5};
    static const std::array<Timing, 5> kOthers{{
        {28320000, 720, 738, 846, 900, 400, 421, 423, 449, false, false, true},      // IBM 70 Hz
        {35500000, 720, 738, 846, 900, 400, 412, 414, 449, false, false, true},      // IBM 88 Hz
        {30240000, 640, 704, 768, 864, 480, 483, 486, 525, false, false, false},     // Apple 67 Hz
        {57284000, 832, 864, 928, 1152, 624, 625, 628, 667, false, false, false},    // Apple 75 Hz
        {100000000, 1152, 1200, 1328, 1456, 870, 873, 876, 915, false, true, true},  // Apple 75
    }};
    const unsigned bits = (unsigned{e0} << 16) | (unsigned{e1} << 8) | e2;
    for (int i = 0; i < 17; ++i) {
      if (!(bits & (1u << (23 - i)))) continue;
      const int id = kDmtIds[static_cast<std::size_t>(i)];
      if (id < 0) {
        d_.established.push_back(kOthers[static_cast<std::size_t>(-id - 1)]);
      } else if (const RawDmt* dmt = findDmt(id)) {
        d_.established.push_back(dmt->timing);
      }
    }
  }

  void standardTiming(std::uint8_t b0, std::uint8_t b1) {
    if ((b0 == 0x01 && b1 == 0x01) || (b0 == 0x00 && b1 == 0x00) || (b0 == 0x20 && b1 == 0x20))
      return;  // unused slot
    const int w = (b0 + 31) * 8;
    int h = 0;
    switch (b1 >> 6) {
      case 0:
        h = (d_.version == 1 && d_.revision < 3) ? w : w * 10 / 16;
        break;
      case 1:
        h = w * 3 / 4;
        break;
      case 2:
        h = w * 4 / 5;
        break;
      default:
        h = w * 9 / 16;
        break;
    }
    const int refresh = (b1 & 0x3f) + 60;
    const RawDmt* found = nullptr;
    for (const auto& d : kDmtTable) {
      if (d.timing.hActive != w || d.timing.vActive != h || d.timing.interlaced) continue;
      if (std::lround(fieldRate(d.timing)) != refresh) continue;
      if (!found || (found->reducedBlanking && !d.reducedBlanking)) found = &d;
    }
    d_.standard.push_back(found ? found->timing : cvt(w, h, refresh));
  }

  void descriptor(std::span<const std::uint8_t> p) {
    if (p[0] != 0 || p[1] != 0) {
      detailedTiming(0, p);
      return;
    }
    switch (p[3]) {
      case 0xfc: {  // display product name
        std::string s;
        for (std::size_t i = 5; i < 18 && p[i] != 0x0a; ++i) s += static_cast<char>(p[i]);
        while (!s.empty() && s.back() == ' ') s.pop_back();
        d_.name = s;
        break;
      }
      case 0xfd: {  // display range limits
        RangeLimits r;
        r.minVHz = p[5] + ((p[4] & 0x03) == 0x03 ? 255 : 0);
        r.maxVHz = p[6] + ((p[4] & 0x02) ? 255 : 0);
        r.minHKHz = p[7] + ((p[4] & 0x0c) == 0x0c ? 255 : 0);
        r.maxHKHz = p[8] + ((p[4] & 0x08) ? 255 : 0);
        r.maxPixelClockMHz = p[9] * 10;
        d_.rangeLimits = r;
        break;
      }
      case 0xfa:  // more standard timings
        for (std::size_t i = 5; i + 1 < 17; i += 2) standardTiming(p[i], p[i + 1]);
        break;
      default:
        break;
    }
  }

  void detailedTiming(std::size_t block, std::span<const std::uint8_t> p) {
    // Erased memory read back where a timing should be: not a timing anybody declared.
    if (std::all_of(p.begin(), p.end(), [](std::uint8_t b) { return b == 0xff; })) {
      fault(block, "detailed timing of erased bytes (all 0xff): skipped");
      return;
    }
    const int hActive = p[2] | ((p[4] & 0xf0) << 4);
    const int hBlank = p[3] | ((p[4] & 0x0f) << 8);
    const int vActive = p[5] | ((p[7] & 0xf0) << 4);
    const int vBlank = p[6] | ((p[7] & 0x0f) << 8);
    const int hFront = p[8] | ((p[11] & 0xc0) << 2);
    const int hSync = p[9] | ((p[11] & 0x30) << 4);
    const int vFront = (p[10] >> 4) | ((p[11] & 0x0c) << 2);
    const int vSync = (p[10] & 0x0f) | ((p[11] & 0x03) << 4);
    const int hBorder = p[15], vBorder = p[16];
    if (hActive == 0 || vActive == 0 || hBorder + hFront + hSync > hBlank ||
        vBorder + vFront + vSync > vBlank) {
      fault(block, "detailed timing " + std::to_string(hActive) + "x" + std::to_string(vActive) +
                       " has porches that do not fit its blanking: skipped");
      return;
    }
    Timing t;
    t.pixelClockHz =
        (static_cast<std::uint64_t>(p[0]) | (static_cast<std::uint64_t>(p[1]) << 8)) * 10000;
    t.interlaced = (p[17] & 0x80) != 0;
    const int lines = t.interlaced ? 2 : 1;
    t.hActive = hActive;
    t.hSyncStart = hActive + hBorder + hFront;
    t.hSyncEnd = t.hSyncStart + hSync;
    t.hTotal = hActive + hBlank;
    t.vActive = vActive * lines;
    t.vSyncStart = t.vActive + (vBorder + vFront) * lines;
    t.vSyncEnd = t.vSyncStart + vSync * lines;
    t.vTotal = (vActive + vBlank) * lines + (t.interlaced ? 1 : 0);
    // Digital separate sync names both polarities; the other kinds only the horizontal one.
    t.hSyncPositive = (p[17] & 0x02) != 0;
    t.vSyncPositive = (p[17] & 0x18) == 0x18 ? (p[17] & 0x04) != 0 : false;
    d_.detailed.push_back(t);
  }

  void extension(std::size_t index, std::span<const std::uint8_t> b) {
    checksum(index, b);
    switch (b[0]) {
      case 0x02:
        cta(index, b);
        break;
      case 0x10:
        d_.skippedExtensions.push_back("Video Timing Block");
        break;
      case 0x40:
        d_.skippedExtensions.push_back("Display Information");
        break;
      case 0x50:
        d_.skippedExtensions.push_back("Localized String");
        break;
      case 0x60:
        d_.skippedExtensions.push_back("Digital Packet Video Link");
        break;
      case 0x70:
        d_.skippedExtensions.push_back("DisplayID");
        break;
      case 0xa7:
      case 0xaf:
      case 0xbf:
        d_.skippedExtensions.push_back("Display Transfer Characteristics");
        break;
      case 0xf0:
        d_.skippedExtensions.push_back("Block Map");
        break;
      case 0xff:
        d_.skippedExtensions.push_back("Manufacturer Specific");
        break;
      default:
        d_.skippedExtensions.push_back("Unknown " + hex2(b[0]));
        break;
    }
  }

  static int svd(std::uint8_t b) {
    // 129-192 are VICs 1-64 with the native flag; other values are the code itself.
    return (b >= 129 && b <= 192) ? b & 0x7f : b;
  }

  void noteUnknown(std::size_t block, int vic) {
    if (!findVic(vic)) fault(block, "undefined VIC " + std::to_string(vic));
  }

  void cta(std::size_t index, std::span<const std::uint8_t> b) {
    d_.hasCta = true;
    const int rev = b[1];
    std::size_t dtdStart = b[2];
    if (rev >= 2) {
      d_.ycbcr444 = d_.ycbcr444 || (b[3] & 0x20);
      d_.ycbcr422 = d_.ycbcr422 || (b[3] & 0x10);
    }
    if (dtdStart == 0) return;  // no data blocks and no detailed timings
    if (dtdStart < 4) {         // nothing in the block can be located
      fault(index, "detailed timing offset " + std::to_string(dtdStart) + " out of range");
      return;
    }
    if (dtdStart > 127) {
      fault(index, "detailed timing offset " + std::to_string(dtdStart) + " out of range");
      dtdStart = 127;
    }
    std::vector<int> blockVics;
    std::optional<std::vector<int>> map420;
    std::size_t i = 4;
    // A data block collection that runs past the detailed timing offset is still read up to the
    // block's end: sinks with that fault mean the blocks, and the offset only moves the DTDs.
    while (rev >= 3 && i < dtdStart) {
      const int tag = b[i] >> 5;
      const std::size_t len = b[i] & 0x1f;
      if (i + 1 + len > 127) {
        fault(index, "data block at offset " + std::to_string(i) + " runs past the block end");
        break;
      }
      if (i + 1 + len > dtdStart)
        fault(index, "data block at offset " + std::to_string(i) +
                         " runs past the detailed timing offset " + std::to_string(dtdStart));
      const auto p = b.subspan(i + 1, len);
      switch (tag) {
        case 2:
          for (auto v : p) {
            if (v == 0) {
              fault(index, "Video Data Block holds the reserved code 0: left out");
              blockVics.push_back(0);  // keeps the positions the 4:2:0 map counts
              continue;
            }
            d_.vics.push_back(svd(v));
            blockVics.push_back(svd(v));
            noteUnknown(index, svd(v));
          }
          break;
        case 3:
          vendorBlock(index, p);
          break;
        case 7:
          if (!p.empty()) extended(index, p, map420);
          break;
        default:
          break;
      }
      i += 1 + len;
    }
    if (map420) {
      // A map with no bytes marks every entry of the Video Data Block.
      if (map420->empty()) {
        for (int v : blockVics)
          if (v != 0) d_.capabilityMap420.push_back(v);
      } else {
        for (int n : *map420) {
          if (static_cast<std::size_t>(n) >= blockVics.size())
            fault(index, "4:2:0 capability map marks entry " + std::to_string(n + 1) +
                             " past the Video Data Block");
          else if (blockVics[static_cast<std::size_t>(n)] != 0)
            d_.capabilityMap420.push_back(blockVics[static_cast<std::size_t>(n)]);
        }
      }
    }
    for (std::size_t o = dtdStart; o + 18 <= 127; o += 18) {
      const auto p = b.subspan(o, 18);
      if (p[0] == 0 && p[1] == 0) break;  // padding
      detailedTiming(index, p);
    }
  }

  void vendorBlock(std::size_t index, std::span<const std::uint8_t> p) {
    if (p.size() < 3) {
      fault(index, "vendor-specific data block shorter than its OUI");
      return;
    }
    const unsigned oui = p[0] | (p[1] << 8) | (p[2] << 16);
    if (oui == 0x000c03) {
      d_.hdmi = true;
      if (p.size() >= 7) d_.maxTmdsMHz = std::max(d_.maxTmdsMHz, p[6] * 5);
      if (p.size() < 8) return;
      const std::uint8_t flags = p[7];
      std::size_t at = 8;
      if (flags & 0x80) at += 2;                      // video and audio latency
      if ((flags & 0x80) && (flags & 0x40)) at += 2;  // interlaced latencies
      if (!(flags & 0x20)) return;                    // no HDMI video fields
      if (at + 2 > p.size()) {
        fault(index, "HDMI vendor-specific data block ends inside its video fields");
        return;
      }
      const std::size_t count = p[at + 1] >> 5;
      at += 2;
      if (at + count > p.size()) fault(index, "HDMI VIC list runs past its data block");
      for (std::size_t k = 0; k < count && at + k < p.size(); ++k) {
        const int code = p[at + k];
        d_.hdmiVics.push_back(code);
        if (!hdmiVic(code)) fault(index, "undefined HDMI VIC " + std::to_string(code));
      }
    } else if (oui == 0xc45dd8) {
      d_.hdmiForum = true;
      if (p.size() >= 5) d_.maxTmdsMHz = std::max(d_.maxTmdsMHz, p[4] * 5);
    }
  }

  void extended(std::size_t index, std::span<const std::uint8_t> p,
                std::optional<std::vector<int>>& map420) {
    switch (p[0]) {
      case 0x05: {  // colorimetry
        static constexpr std::array<const char*, 8> kNames{"xvYCC601",  "xvYCC709", "sYCC601",
                                                           "opYCC601",  "opRGB",    "BT2020cYCC",
                                                           "BT2020YCC", "BT2020RGB"};
        if (p.size() >= 2)
          for (std::size_t bit = 0; bit < 8; ++bit)
            if (p[1] & (1u << bit)) d_.colorimetry.push_back(kNames[bit]);
        if (p.size() >= 3 && (p[2] & 0x80)) d_.colorimetry.push_back("DCI-P3");
        break;
      }
      case 0x06: {  // HDR static metadata
        static constexpr std::array<const char*, 4> kNames{"SDR", "HDR", "PQ", "HLG"};
        if (p.size() >= 2)
          for (std::size_t bit = 0; bit < 4; ++bit)
            if (p[1] & (1u << bit)) d_.hdrEotfs.push_back(kNames[bit]);
        break;
      }
      case 0x0e:  // YCbCr 4:2:0 video data block
        for (std::size_t k = 1; k < p.size(); ++k) {
          if (p[k] == 0) continue;
          d_.vics420.push_back(svd(p[k]));
          noteUnknown(index, svd(p[k]));
        }
        break;
      case 0x0f:  // YCbCr 4:2:0 capability map
        map420.emplace();
        for (std::size_t k = 1; k < p.size(); ++k)
          for (int bit = 0; bit < 8; ++bit)
            if (p[k] & (1u << bit)) map420->push_back(static_cast<int>((k - 1) * 8) + bit);
        break;
      case 0x78:  // HDMI Forum EDID extension override
        if (index == 1 && p.size() >= 2) override_ = p[1];
        break;
      case 0x79:  // HDMI Forum sink capability data block
        d_.hdmiForum = true;
        if (p.size() >= 5) d_.maxTmdsMHz = std::max(d_.maxTmdsMHz, p[4] * 5);
        break;
      default:
        break;
    }
  }

  std::span<const std::uint8_t> bytes_;
  Decoded d_;
  std::size_t override_ = 0;
};

}  // namespace

double fieldRate(const Timing& t) {
  if (t.hTotal <= 0 || t.vTotal <= 0) return 0;
  const double frame = static_cast<double>(t.pixelClockHz) /
                       (static_cast<double>(t.hTotal) * static_cast<double>(t.vTotal));
  return t.interlaced ? 2 * frame : frame;
}

Decoded decode(std::span<const std::uint8_t> bytes) {
  return Decoder(bytes).run();
}

bool isEdid(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kBlock && std::equal(kHeader.begin(), kHeader.end(), bytes.begin());
}

const Vic* findVic(int code) {
  const auto& t = vicTable();
  const auto it =
      std::lower_bound(t.begin(), t.end(), code, [](const Vic& v, int c) { return v.code < c; });
  return it != t.end() && it->code == code ? &*it : nullptr;
}

const Vic* hdmiVic(int code) {
  const auto& t = hdmiVicTable();
  return code >= 1 && code <= static_cast<int>(t.size()) ? &t[static_cast<std::size_t>(code - 1)]
                                                         : nullptr;
}

std::span<const Vic> allVics() {
  return vicTable();
}

}  // namespace df::edid
