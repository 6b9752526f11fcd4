// EDID decoding: the base block (EDID 1.3 and 1.4) and CTA-861 extension blocks, plus the
// CTA-861 video timing table. Standard library only, so every platform backend can link it.
// Bad input never throws and is never read out of bounds: what is sound is decoded and each
// fault found is named in Decoded::diagnostics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace df::edid {

// One video timing in X modeline terms. Vertical values count lines per FRAME, also for
// interlaced timings (whose frame total is odd when the fields carry a half line).
struct Timing {
  std::uint64_t pixelClockHz = 0;  // exact Hz as declared (DTD: 10 kHz units * 10000)
  int hActive = 0, hSyncStart = 0, hSyncEnd = 0, hTotal = 0;
  int vActive = 0, vSyncStart = 0, vSyncEnd = 0, vTotal = 0;
  bool interlaced = false, hSyncPositive = false, vSyncPositive = false;
  bool operator==(const Timing&) const = default;
};

// Fields per second (frames per second for progressive timings); 0 when the totals are 0.
double fieldRate(const Timing& t);

struct RangeLimits {
  int minVHz = 0, maxVHz = 0, minHKHz = 0, maxHKHz = 0, maxPixelClockMHz = 0;
};

struct Decoded {
  int version = 0, revision = 0;  // 1 and 3 for EDID 1.3
  std::string vendor;             // PNP id, e.g. "GSM"
  std::uint16_t product = 0;
  std::uint32_t serial = 0;
  std::string name;                           // the display product name descriptor
  std::vector<Timing> detailed;               // all DTDs, base block then extensions, in order
  std::optional<std::size_t> preferred;       // index into detailed
  std::vector<Timing> established, standard;  // DMT timings, CVT where DMT has none
  std::optional<RangeLimits> rangeLimits;
  // As declared, in order, duplicates and undefined codes kept (native flag removed).
  std::vector<int> vics, vics420, hdmiVics;
  // The Video Data Block VICs that the 4:2:0 capability map marks (all of them for an empty map).
  std::vector<int> capabilityMap420;
  bool hasCta = false;  // a CTA-861 extension block was decoded
  // colour/HDR: what the EDID declares
  bool ycbcr444 = false, ycbcr422 = false;
  std::vector<std::string> colorimetry;        // "BT2020RGB", "DCI-P3", ...
  std::vector<std::string> hdrEotfs;           // "SDR", "HDR", "PQ", "HLG"
  int maxTmdsMHz = 0;                          // HDMI VSDB or HDMI Forum VSDB, whichever is higher
  bool hdmi = false, hdmiForum = false;        // the vendor-specific blocks are present
  std::vector<std::string> diagnostics;        // one per fault found; never throws on bad input
  std::vector<std::string> skippedExtensions;  // "DisplayID", "Block Map", ...
};

Decoded decode(std::span<const std::uint8_t> bytes);
bool isEdid(std::span<const std::uint8_t> bytes);  // header present and at least one block

// A CTA-861 video format.
struct Vic {
  int code = 0;
  Timing timing;
  double fieldRateHz = 0;   // the exact rate: 60, 60000/1001, 50, ... as the format defines it
  int pixelRepetition = 1;  // how often each pixel of an SD raster repeats in hActive
  std::string_view aspect;  // picture aspect ratio, "16:9"
};
const Vic* findVic(int code);  // nullptr when undefined
const Vic* hdmiVic(int code);  // HDMI VICs 1..4 as CTA timings

// Every defined VIC, in code order (for listings and cross-checks).
std::span<const Vic> allVics();

}  // namespace df::edid
