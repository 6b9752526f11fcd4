#include "edid/edid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "edid/modes.h"
#include "modes/format.h"

namespace df::edid {
namespace {

const std::string kCorpus = DF_SOURCE_DIR "/tests/data/edid";

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  std::array<char, 4096> buf{};
  for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), p)) > 0;)
    out.append(buf.data(), n);
  pclose(p);
  return out;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// What edid-decode -L prints for the structures the decoder is checked on.
struct Printed {
  std::vector<int> vics, vics420, capabilityMap420, hdmiVics;
  std::vector<Timing> detailed;
  std::vector<std::pair<Timing, double>> declaredVics;  // VICs and HDMI VICs: raster and rate
};

// A timing from edid-decode's summary line and its porch lines, in the decoder's terms.
Timing timingFrom(const std::smatch& head, const std::string& hLine, const std::string& vLine) {
  static const std::regex porch(R"(([HV])(front|sync|back|border)\s+(\d+))");
  std::map<std::string, int> v;
  for (const std::string* line : {&hLine, &vLine})
    for (std::sregex_iterator it(line->begin(), line->end(), porch), end; it != end; ++it)
      v[(*it)[1].str() + (*it)[2].str()] = std::stoi((*it)[3]);
  Timing t;
  t.hActive = std::stoi(head[1]);
  t.vActive = std::stoi(head[2]);
  t.interlaced = head[3] == "i";
  t.pixelClockHz = static_cast<std::uint64_t>(std::llround(std::stod(head[4]) * 1e6));
  t.hSyncStart = t.hActive + v["Hborder"] + v["Hfront"];
  t.hSyncEnd = t.hSyncStart + v["Hsync"];
  t.hTotal = t.hSyncEnd + v["Hback"] + v["Hborder"];
  const int n = t.interlaced ? 2 : 1;
  t.vSyncStart = t.vActive + n * (v["Vborder"] + v["Vfront"]);
  t.vSyncEnd = t.vSyncStart + n * v["Vsync"];
  t.vTotal = n * (t.vActive / n + 2 * v["Vborder"] + v["Vfront"] + v["Vsync"] + v["Vback"]) +
             (vLine.find("+0.5") != std::string::npos ? 1 : 0);
  t.hSyncPositive = hLine.find("Hpol P") != std::string::npos;
  t.vSyncPositive = vLine.find("Vpol P") != std::string::npos;
  return t;
}

Printed parse(const std::string& text) {
  static const std::regex vic(R"(^\s+(?:VIC\s+(\d+):|Unknown \(VIC\s*(\d+)\)))");
  static const std::regex hdmiVic(R"(^\s+HDMI VIC (\d+):)");
  static const std::regex dtd(R"(^\s+DTD\s+\d+:\s+(\d+)x(\d+)(i?)\s+[\d.]+ Hz.*?([\d.]+) MHz)");
  static const std::regex raster(R"(VIC\s+\d+:\s+(\d+)x(\d+)(i?)\s+([\d.]+) Hz)");
  Printed p;
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::vector<int>* list = nullptr;
  std::vector<int> blockVics;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (l.rfind("Block ", 0) == 0) blockVics.clear();
    if (l.rfind("  ", 0) == 0 && l.rfind("   ", 0) != 0) {
      list = nullptr;  // a new data block
      if (l == "  Video Data Block:") list = &p.vics;
      if (l == "  YCbCr 4:2:0 Video Data Block:") list = &p.vics420;
      if (l == "  YCbCr 4:2:0 Capability Map Data Block:") list = &p.capabilityMap420;
    }
    if (l.find("Empty Capability Map") != std::string::npos)
      p.capabilityMap420.insert(p.capabilityMap420.end(), blockVics.begin(), blockVics.end());
    std::smatch m, r;
    if ((list == &p.vics || list == &p.vics420 || l.find("HDMI VIC") != std::string::npos) &&
        std::regex_search(l, r, raster)) {
      Timing t;
      t.hActive = std::stoi(r[1]);
      t.vActive = std::stoi(r[2]);
      t.interlaced = r[3] == "i";
      p.declaredVics.emplace_back(t, std::stod(r[4]));
    }
    if (list && std::regex_search(l, m, vic)) {
      list->push_back(std::stoi(m[1].matched ? m[1] : m[2]));
      if (list == &p.vics) blockVics.push_back(list->back());
    } else if (std::regex_search(l, m, hdmiVic)) {
      p.hdmiVics.push_back(std::stoi(m[1]));
    } else if (std::regex_search(l, m, dtd) && i + 2 < lines.size()) {
      // The decoder leaves out a DTD of erased bytes (all 0xff), which reads as this.
      if (m[1] == "4095" && m[2] == "8190" && m[4] == "655.350000") continue;
      p.detailed.push_back(timingFrom(m, lines[i + 1], lines[i + 2]));
    }
  }
  return p;
}

std::string describe(const Timing& t) {
  std::ostringstream o;
  o << t.pixelClockHz << " " << t.hActive << " " << t.hSyncStart << " " << t.hSyncEnd << " "
    << t.hTotal << " " << t.vActive << " " << t.vSyncStart << " " << t.vSyncEnd << " " << t.vTotal
    << (t.interlaced ? " i" : "") << (t.hSyncPositive ? " +h" : " -h")
    << (t.vSyncPositive ? " +v" : " -v");
  return o.str();
}

std::vector<std::string> describe(const std::vector<Timing>& ts) {
  std::vector<std::string> out;
  for (const auto& t : ts) out.push_back(describe(t));
  return out;
}

using Formats = std::set<std::string>;

// A VIC's rates from the rate edid-decode prints: the whole and the 1000/1001 rate of the 6 Hz
// family (sinks take 59.94 and 60, 23.976 and 24 alike), the one printed rate otherwise.
std::vector<double> ratesOf(double printedHz) {
  const double whole = std::round(printedHz), slow = std::round(printedHz * 1.001);
  double family = 0;
  if (std::abs(printedHz - whole) < 1e-5)
    family = whole;
  else if (std::abs(printedHz - slow * 1000 / 1001) < 1e-5)
    family = slow;
  if (family == 0 || std::fmod(family, 6) != 0) return {printedHz};
  return {family, family * 1000 / 1001};
}

void addFormats(Formats& out, const Timing& t, const std::vector<double>& rates) {
  for (double hz : rates)
    if (auto f = broadcastFormat(static_cast<std::uint64_t>(t.hActive),
                                 static_cast<std::uint64_t>(t.vActive), t.interlaced, hz))
      out.insert(*f);
}

// The television formats from edid-decode's listing: the declared VICs and HDMI VICs, and the
// detailed timings whose active size, scan and totals are a VIC's, at one of its rates within
// 0.05 %.
Formats expectedFormats(const Printed& p) {
  Formats out;
  for (const auto& [t, hz] : p.declaredVics) addFormats(out, t, ratesOf(hz));
  for (const Timing& t : p.detailed) {
    const double hz = fieldRate(t);
    for (const Vic& v : allVics()) {
      const Timing& c = v.timing;
      const auto rates = ratesOf(v.fieldRateHz);
      if (c.hActive == t.hActive && c.vActive == t.vActive && c.interlaced == t.interlaced &&
          c.hTotal == t.hTotal && c.vTotal == t.vTotal &&
          std::any_of(rates.begin(), rates.end(),
                      [hz](double r) { return std::abs(hz - r) <= 0.0005 * r; }))
        addFormats(out, c, rates);
    }
  }
  return out;
}

Formats formatsOf(const Decoded& d) {
  Formats out;
  for (const auto& m : offeredModes(d)) {
    if (!m.television) continue;
    if (auto f = broadcastFormat(static_cast<std::uint64_t>(m.timing.hActive),
                                 static_cast<std::uint64_t>(m.timing.vActive),
                                 m.timing.interlaced, m.rateHz))
      out.insert(*f);
  }
  return out;
}

// Every corpus EDID decodes to the VICs, HDMI VICs, 4:2:0 VICs and detailed timings that
// edid-decode prints for it, and offers the television formats that listing gives.
TEST(EdidCorpus, AgreesWithEdidDecode) {
  ASSERT_FALSE(run("edid-decode --version 2>/dev/null").empty())
      << "edid-decode is missing: scripts/setup installs it";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kCorpus)) {
    if (entry.path().extension() != ".bin") continue;
    ++files;
    const std::string path = entry.path().string();
    SCOPED_TRACE(entry.path().filename().string());
    const Decoded d = decode(readFile(path));
    const Printed p = parse(run("edid-decode -L '" + path + "' 2>/dev/null"));
    EXPECT_EQ(d.vics, p.vics);
    EXPECT_EQ(d.vics420, p.vics420);
    EXPECT_EQ(d.capabilityMap420, p.capabilityMap420);
    EXPECT_EQ(d.hdmiVics, p.hdmiVics);
    EXPECT_EQ(describe(d.detailed), describe(p.detailed));
    EXPECT_EQ(formatsOf(d), expectedFormats(p));
  }
  EXPECT_EQ(files, 32);
}

// The VIC table is data in the code; edid-decode lists the same formats.
TEST(EdidCorpus, VicTableAgreesWithEdidDecode) {
  static const std::regex line(
      R"(^(HDMI )?VIC\s+(\d+):\s+(\d+)x(\d+)(i?)\s+([\d.]+) Hz\s+(\S+)\s+[\d.]+ kHz\s+([\d.]+) MHz)");
  std::istringstream in(run("edid-decode --list-vics --list-hdmi-vics 2>/dev/null"));
  std::size_t vics = 0, hdmi = 0;
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (!std::regex_search(l, m, line)) continue;
    const int code = std::stoi(m[2]);
    const Vic* v = m[1].matched ? hdmiVic(code) : findVic(code);
    SCOPED_TRACE(l);
    ASSERT_NE(v, nullptr);
    (m[1].matched ? hdmi : vics)++;
    EXPECT_EQ(v->timing.hActive, std::stoi(m[3]));
    EXPECT_EQ(v->timing.vActive, std::stoi(m[4]));
    EXPECT_EQ(v->timing.interlaced, m[5] == "i");
    EXPECT_NEAR(fieldRate(v->timing), std::stod(m[6]), 1e-6);
    EXPECT_EQ(v->aspect, m[7].str());
    EXPECT_EQ(v->timing.pixelClockHz, std::llround(std::stod(m[8]) * 1e6));
  }
  EXPECT_EQ(vics, allVics().size());
  EXPECT_EQ(hdmi, 4u);
}

void fixChecksum(std::vector<std::uint8_t>& e, std::size_t block) {
  unsigned sum = 0;
  for (std::size_t i = block * 128; i < block * 128 + 127; ++i) sum += e[i];
  e[block * 128 + 127] = static_cast<std::uint8_t>((256 - sum % 256) % 256);
}

// Faulty input: each fault is named, what is sound is still decoded, nothing is read out of
// bounds (the ASan build and the fuzz target run this too).
TEST(EdidDecoder, NamesFaultsAndKeepsWhatIsSound) {
  const auto good = readFile(kCorpus + "/samsung-sam0ff9-9e7f033f.bin");
  ASSERT_EQ(good.size(), 256u);
  struct Case {
    const char* name;
    void (*change)(std::vector<std::uint8_t>&);
    const char* diagnostic;  // a part of one diagnostic
    std::size_t detailed;    // detailed timings still decoded
    bool vics;               // the Video Data Block still decoded
  };
  const Case cases[] = {
      {"empty", [](auto& e) { e.clear(); }, "shorter than one block", 0, false},
      {"half a block", [](auto& e) { e.resize(64); }, "shorter than one block", 0, false},
      {"wrong header", [](auto& e) { e[1] = 0; }, "wrong header", 3, true},
      {"bad base checksum", [](auto& e) { e[127] ^= 1; }, "block 0: checksum", 3, true},
      {"cut inside the extension", [](auto& e) { e.resize(200); }, "not a whole number", 2, false},
      {"extension missing", [](auto& e) { e.resize(128); }, "1 extension block(s), 0 present", 2,
       false},
      {"count lies upward",
       [](auto& e) {
         e[126] = 3;
         fixChecksum(e, 0);
       },
       "3 extension block(s), 1 present", 3, true},
      {"count lies downward",
       [](auto& e) {
         e[126] = 0;
         fixChecksum(e, 0);
       },
       "past the announced extensions", 2, false},
      {"data block past the block end",
       [](auto& e) {
         e[128 + 2] = 127;
         for (std::size_t i = 128 + 4; i < 255; ++i) e[i] = 0x5f;  // 31-byte blocks, tag 2
         fixChecksum(e, 1);
       },
       "runs past the block end", 2, true},
      {"detailed timing offset too small",
       [](auto& e) {
         e[128 + 2] = 2;
         fixChecksum(e, 1);
       },
       "offset 2 out of range", 2, false},
      {"reserved and undefined VICs",
       [](auto& e) {
         e[128 + 5] = 0;
         e[128 + 6] = 255;
         fixChecksum(e, 1);
       },
       "undefined VIC 255", 3, true},
      {"porches wider than the blanking",
       [](auto& e) {
         e[54 + 3] = 0x10;  // horizontal blanking of the first DTD: 16
         e[54 + 4] &= 0xf0;
         fixChecksum(e, 0);
       },
       "do not fit its blanking", 2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = good;
    c.change(bytes);
    const Decoded d = decode(bytes);
    const bool named = std::any_of(d.diagnostics.begin(), d.diagnostics.end(), [&](const auto& s) {
      return s.find(c.diagnostic) != std::string::npos;
    });
    EXPECT_TRUE(named) << ::testing::PrintToString(d.diagnostics);
    EXPECT_EQ(d.detailed.size(), c.detailed);
    EXPECT_EQ(!d.vics.empty(), c.vics);
  }
  EXPECT_TRUE(decode(good).diagnostics.empty());
  EXPECT_TRUE(isEdid(good));
  EXPECT_FALSE(isEdid(std::vector<std::uint8_t>(good.begin(), good.begin() + 100)));
}

// The television rule on the clocks that real sources give (exact, at 1000/1001, rounded to the
// kHz), on twins, HDMI VICs and detailed timings, for a mode known by its timing or only by its
// size, scan and rate.
TEST(EdidTelevision, MatchesTimingsToDeclaredVics) {
  const auto at = [](int vic, std::uint64_t clock) {
    Timing t = findVic(vic)->timing;
    t.pixelClockHz = clock;
    return t;
  };
  Timing reduced = at(16, 138500000);
  reduced.hTotal = 2080;  // reduced blanking: not a VIC's totals
  Decoded d;
  d.vics = {16, 18, 19, 3, 31};  // 576p and 480p declared only as their 16:9 VICs
  d.hdmiVics = {3, 4};           // 2160p24 and 4096x2160p24
  d.detailed = {at(32, 74250000)};
  d.standard = {at(4, 74250000)};  // a DMT standard timing that is 720p60's: adds no VIC
  const Television tv(d);
  struct Case {
    Timing timing;
    int vic;  // the declared VIC it is; 0: none
    double rate;
  };
  const Case cases[] = {
      {at(16, 148500000), 16, 60},
      {at(16, 148351648), 16, 60000.0 / 1001},
      {at(16, 148352000), 16, 60000.0 / 1001},  // kHz-rounded: the nearer rate
      {at(16, 148400000), 16, 60000.0 / 1001},
      {at(16, 148000000), 0, 0},
      {at(17, 27000000), 18, 50},  // the 4:3 twin of a declared 16:9 VIC
      {at(2, 27000000), 3, 60000.0 / 1001},
      {at(2, 27027000), 3, 60},
      {at(31, 148488120), 31, 50},  // a DTD at 49.997 Hz
      {at(31, 148351648), 0, 0},    // 50 Hz VICs have no 1000/1001 rate
      {at(93, 297000000), 93, 24},  // HDMI VIC 3
      {at(93, 296703000), 93, 24000.0 / 1001},
      {at(98, 297000000), 98, 24},  // HDMI VIC 4
      {at(95, 297000000), 0, 0},    // 2160p30: HDMI VIC 1 is not declared
      {at(32, 74250000), 32, 24},   // declared by a detailed timing
      {at(4, 74250000), 0, 0},      // only a standard timing's
      {at(5, 74250000), 0, 0},
      {reduced, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe(c.timing));
    for (const auto& m : {tv.of(c.timing), tv.of(c.timing.hActive, c.timing.vActive,
                                                 c.timing.interlaced, fieldRate(c.timing))}) {
      ASSERT_EQ(m.has_value(), c.vic != 0);
      if (!m) continue;
      EXPECT_EQ(m->vic->code, c.vic);
      EXPECT_DOUBLE_EQ(m->fieldRateHz, c.rate);
    }
  }
  std::vector<int> codes;
  for (const Vic* v : tv.vics()) codes.push_back(v->code);
  EXPECT_EQ(codes, (std::vector<int>{16, 18, 19, 3, 31, 93, 98, 32}));
}

}  // namespace
}  // namespace df::edid
