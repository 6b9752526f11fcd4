#include "platform/sim/edid_scenario.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "edid/modes.h"
#include "platform/darwin/calls.h"
#include "platform/sim/scenario.h"

namespace df::sim {
namespace {

namespace darwin = platform::darwin;
using json = nlohmann::json;

constexpr int kTimingBase = 1000;  // timing element ID = kTimingBase + modeId

bool isHexText(const std::string& s) {
  std::size_t digits = 0;
  for (unsigned char c : s) {
    if (std::isxdigit(c))
      ++digits;
    else if (!std::isspace(c))
      return false;
  }
  return digits > 0;
}

std::uint32_t flagsOf(const edid::OfferedMode& m) {
  std::uint32_t f = darwin::kModeValid | darwin::kModeSafe;
  if (m.television) f |= darwin::kModeTelevision;
  if (m.timing.interlaced) f |= darwin::kModeInterlaced;
  return f;
}

// The colour encodings a timing travels in: RGB and the YCbCr encodings the EDID declares,
// 4:2:0 for the VICs it names for 4:2:0, and only 4:2:0 for those it names for 4:2:0 alone.
std::vector<std::string> encodings(const edid::Decoded& d, const edid::OfferedMode& m) {
  const auto has = [](const std::vector<int>& list, int v) {
    return v != 0 && std::find(list.begin(), list.end(), v) != list.end();
  };
  const bool only420 = has(d.vics420, m.vic) && !has(d.vics, m.vic);
  std::vector<std::string> out;
  if (!only420) {
    out.push_back("RGB 8-bit");
    if (d.ycbcr444) out.push_back("YCbCr 4:4:4 8-bit");
    if (d.ycbcr422) out.push_back("YCbCr 4:2:2 10-bit");
  }
  if (has(d.vics420, m.vic) || has(d.capabilityMap420, m.vic)) out.push_back("YCbCr 4:2:0 8-bit");
  return out;
}

std::vector<std::string> hdrModes(const edid::Decoded& d) {
  std::vector<std::string> out{"SDR"};
  for (const auto& e : d.hdrEotfs) {
    if (e == "PQ") out.push_back("HDR10");
    if (e == "HLG") out.push_back("HLG");
  }
  return out;
}

std::string hexText(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

struct Built {
  json modes = json::array();
  json current;  // modeId or null
  json service;
  json external;
};

Built build(const edid::Decoded& d, const std::string& linkUuid) {
  Built b;
  json elements = json::array();
  json connection = json::array();
  json currentConnection;
  const auto offered = edid::offeredModes(d);
  const auto hdr = hdrModes(d);
  for (std::size_t i = 0; i < offered.size(); ++i) {
    const auto& m = offered[i];
    const int id = static_cast<int>(i) + 1;
    const int timing = kTimingBase + id;
    b.modes.push_back({{"modeId", id},
                       {"width", m.timing.hActive},
                       {"height", m.timing.vActive},
                       {"hz", m.rateHz},
                       {"flags", flagsOf(m)},
                       {"timing", timing}});
    if (m.preferred && b.current.is_null()) b.current = id;
    json element = {
        {"ID", timing},
        {"IsVirtual", false},
        {"IsInterlaced", m.timing.interlaced},
        {"HorizontalAttributes", {{"Active", m.timing.hActive}, {"Total", m.timing.hTotal}}},
        {"VerticalAttributes",
         {{"Active", m.timing.vActive},
          {"Total", m.timing.vTotal},
          {"PreciseSyncRate", std::llround(m.rateHz * 65536.0)}}}};
    if (m.vic != 0) element["CEAShortID"] = m.vic;
    elements.push_back(std::move(element));
    // Connection modes for the television timings: each colour encoding in SDR, and each HDR
    // mode in the first encoding (a full cross product would list hundreds of modes).
    if (!m.television) continue;
    const auto colors = encodings(d, m);
    for (std::size_t k = 0; k < colors.size() + hdr.size() - 1; ++k) {
      if (m.preferred && currentConnection.is_null()) currentConnection = connection.size();
      connection.push_back(
          {{"width", m.timing.hActive},
           {"height", m.timing.vActive},
           {"refreshRate", m.rateHz},
           {"colorMode", k < colors.size() ? colors[k] : colors.front()},
           {"hdrMode", k < colors.size() ? hdr.front() : hdr[k - colors.size() + 1]},
           {"isVRR", false},
           {"timing", timing}});
    }
  }
  b.service = {{"class", "IOMobileFramebufferShim"},
               {"properties",
                {{"external", true},
                 {"IOMFBUUID", linkUuid},
                 {"Transport", {{"Upstream", "DisplayPort"}, {"Downstream", "HDMI"}}},
                 {"TimingElements", std::move(elements)}}}};
  if (!b.current.is_null())
    b.service["properties"]["DPTimingModeId"] = kTimingBase + b.current.get<int>();
  b.external = {{"uuid", linkUuid},
                {"availableModes", std::move(connection)},
                {"currentMode", currentConnection}};
  return b;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> edidBytes(const std::string& value,
                                                   const std::string& baseDir, std::string& error) {
  std::vector<std::uint8_t> out;
  if (isHexText(value)) {
    std::string digits;
    for (unsigned char c : value)
      if (std::isxdigit(c)) digits += static_cast<char>(c);
    if (digits.size() % 2 != 0) {
      error = "hex bytes of odd length";
      return std::nullopt;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2)
      out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
  }
  const std::string path =
      value.empty() || value[0] == '/' || baseDir.empty() ? value : baseDir + "/" + value;
  const std::optional<std::string> text = readFile(path, error);
  if (!text) return std::nullopt;
  out.assign(text->begin(), text->end());
  return out;
}

bool expandEdids(json& scenario, const std::string& baseDir, std::string& error,
                 std::vector<std::string>* notes) {
  if (!scenario.is_object() || !scenario.contains("displays") || !scenario["displays"].is_array())
    return true;  // validation names the problem
  json services = json::array();
  json external;
  json& displays = scenario["displays"];
  for (std::size_t i = 0; i < displays.size(); ++i) {
    json& display = displays[i];
    if (!display.is_object() || !display.contains("edid")) continue;
    const std::string path = "displays[" + std::to_string(i) + "].edid";
    if (!display["edid"].is_string()) {
      error = path + ": expected hex bytes or a file path";
      return false;
    }
    std::string why;
    const auto bytes = edidBytes(display["edid"].get<std::string>(), baseDir, why);
    if (!bytes) {
      error = path + ": " + why;
      return false;
    }
    if (!edid::isEdid(*bytes)) {
      error = path + ": not an EDID (no EDID header)";
      return false;
    }
    // Read once: validating the scenario again finds the bytes in place of the path.
    display["edid"] = hexText(*bytes);
    const edid::Decoded d = edid::decode(*bytes);
    if (notes)
      for (const auto& n : d.diagnostics) notes->push_back(path + ": " + n);
    // The link side answers to the display's own UUID, or to one made from the EDID.
    const json& uuid = display.contains("uuid") ? display["uuid"] : json();
    Built b = build(d, uuid.is_string() ? uuid.get<std::string>() : edidUuid(d));
    if (!display.contains("modes")) {
      display["modes"] = std::move(b.modes);
      if (!display.contains("current")) display["current"] = b.current;
    }
    const bool builtin = display.contains("builtin") && display["builtin"] == true;
    if (builtin) continue;
    services.push_back(std::move(b.service));
    if (external.is_null() && display.contains("id")) {
      external = std::move(b.external);
      external["display"] = display["id"];
    }
  }
  if (!scenario.contains("registry") && !services.empty()) scenario["registry"] = services;
  if (!scenario.contains("externalDisplay") && !external.is_null())
    scenario["externalDisplay"] = external;
  return true;
}

std::string edidUuid(const edid::Decoded& d) {
  unsigned vendor = 0;
  for (char c : d.vendor) vendor = (vendor << 8) | static_cast<unsigned char>(c);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08X-%04X-4000-8000-0000%08X", vendor, d.product, d.serial);
  return buf;
}

json televisionScenario(const std::vector<std::uint8_t>& edid) {
  const std::string hex = hexText(edid);
  json panel = {{"modeId", 1},          {"width", 3024}, {"height", 1964}, {"logicalWidth", 1512},
                {"logicalHeight", 982}, {"hz", 120},     {"flags", 3}};
  return {{"displays",
           {{{"id", 1},
             {"uuid", "0B7E3A2C-6D41-4E58-9F13-2A4C6E8B0D15"},
             {"builtin", true},
             {"modes", {panel}},
             {"current", 1}},
            {{"id", 2}, {"uuid", edidUuid(edid::decode(edid))}, {"edid", hex}}}}};
}

}  // namespace df::sim
