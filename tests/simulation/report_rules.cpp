#include "simulation/report_rules.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <set>

namespace df::trust {

namespace {

using json = nlohmann::json;

bool digits(std::string_view s, std::size_t min, std::size_t max) {
  if (s.size() < min || s.size() > max) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool isFormatName(std::string_view s) {
  static constexpr std::string_view kHeights[] = {"480", "576", "720", "1080", "2160"};
  static constexpr std::string_view kRates[] = {"23.976", "24", "25",    "29.97",
                                                "30",     "50", "59.94", "60.00"};
  for (std::string_view h : kHeights) {
    if (s.substr(0, h.size()) != h || s.size() <= h.size()) continue;
    const char scan = s[h.size()];
    if (scan != 'p' && scan != 'i') continue;
    const std::string_view rate = s.substr(h.size() + 1);
    for (std::string_view r : kRates)
      if (rate == r) return true;
  }
  return false;
}

// native:<anything>:<1-8 hex>:<W>x<H><p|i>:<-?digits>
bool isNativeKey(std::string_view s) {
  constexpr std::string_view kPrefix = "native:";
  if (s.substr(0, kPrefix.size()) != kPrefix) return false;
  const std::size_t c3 = s.rfind(':');
  if (c3 == std::string_view::npos || c3 == 0) return false;
  const std::size_t c2 = s.rfind(':', c3 - 1);
  if (c2 == std::string_view::npos || c2 == 0) return false;
  const std::size_t c1 = s.rfind(':', c2 - 1);
  if (c1 == std::string_view::npos || c1 < kPrefix.size()) return false;

  const std::string_view hex = s.substr(c1 + 1, c2 - c1 - 1);
  if (hex.empty() || hex.size() > 8) return false;
  for (char c : hex)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;

  std::string_view raster = s.substr(c2 + 1, c3 - c2 - 1);
  if (raster.empty() || (raster.back() != 'p' && raster.back() != 'i')) return false;
  raster.remove_suffix(1);
  const std::size_t x = raster.find('x');
  if (x == std::string_view::npos) return false;
  if (!digits(raster.substr(0, x), 1, raster.size()) ||
      !digits(raster.substr(x + 1), 1, raster.size()))
    return false;

  std::string_view rate = s.substr(c3 + 1);
  if (!rate.empty() && rate.front() == '-') rate.remove_prefix(1);
  return digits(rate, 1, rate.size());
}

// JSON Schema's "integer": any number with no fractional part, within [min, max].
bool integerIn(const json& v, long double min, long double max) {
  if (v.is_number_unsigned()) return static_cast<long double>(v.get<std::uint64_t>()) <= max;
  if (v.is_number_integer()) {
    const auto i = static_cast<long double>(v.get<std::int64_t>());
    return i >= min && i <= max;
  }
  if (v.is_number_float()) {
    const double d = v.get<double>();
    return std::isfinite(d) && std::floor(d) == d && d >= min && d <= max;
  }
  return false;
}

constexpr long double kI64Min = static_cast<long double>(std::numeric_limits<std::int64_t>::min());
constexpr long double kI64Max = static_cast<long double>(std::numeric_limits<std::int64_t>::max());
constexpr long double kI32Min = static_cast<long double>(std::numeric_limits<std::int32_t>::min());
constexpr long double kI32Max = static_cast<long double>(std::numeric_limits<std::int32_t>::max());
constexpr long double kU32Max = static_cast<long double>(std::numeric_limits<std::uint32_t>::max());

void checkActual(const json& actual, std::vector<std::string>& out) {
  if (!actual.is_object()) {
    out.push_back("\"actual\" is not an object");
    return;
  }
  for (const auto& [key, v] : actual.items()) {
    bool ok = false;
    if (key == "modeId") {
      ok = integerIn(v, kI32Min, kI32Max);
    } else if (key == "width" || key == "height" || key == "logicalWidth" ||
               key == "logicalHeight") {
      ok = integerIn(v, 0, kI64Max * 2);
    } else if (key == "flags") {
      ok = integerIn(v, 0, kU32Max);
    } else if (key == "interlaced") {
      ok = v.is_boolean() || (integerIn(v, 0, 1));
    } else if (key == "hz") {
      ok = v.is_number();
    } else if (key == "format") {
      ok = v.is_string();
    } else {
      out.push_back("\"actual\" has an unknown key \"" + key + "\"");
      continue;
    }
    if (!ok) out.push_back("\"actual\".\"" + key + "\" has a wrong value " + v.dump());
  }
}

}  // namespace

std::vector<std::string> reportProblems(const json& r) {
  std::vector<std::string> out;
  if (!r.is_object()) return {"not a JSON object"};

  static const std::set<std::string, std::less<>> kKeys = {
      "revision",    "id",     "phase",  "restoreFailed", "formats",
      "nativeModes", "actual", "chosen", "uuid",          "canPresent"};
  for (const auto& [key, value] : r.items())
    if (!kKeys.contains(key)) out.push_back("unknown key \"" + key + "\"");
  for (const std::string& key : kKeys)
    if (!r.contains(key)) out.push_back("missing key \"" + key + "\"");
  if (!out.empty()) return out;

  if (!integerIn(r["revision"], kI64Min, kI64Max)) out.push_back("\"revision\" is not an int64");

  const json& id = r["id"];
  const bool idOk = id.is_null() || (id.is_string() && !id.get_ref<const std::string&>().empty() &&
                                     id.get_ref<const std::string&>()[0] != '0' &&
                                     digits(id.get_ref<const std::string&>(), 1, 10));
  if (!idOk) out.push_back("\"id\" is neither null nor a display ID string: " + id.dump());

  static const std::set<std::string, std::less<>> kPhases = {
      "protected",   "missing", "restoreFailed", "idle",    "current",
      "unavailable", "matched", "failed",        "mismatch"};
  const json& phaseValue = r["phase"];
  const std::string phase = phaseValue.is_string() ? phaseValue.get<std::string>() : "";
  if (!kPhases.contains(phase)) out.push_back("unknown phase " + phaseValue.dump());

  if (!r["restoreFailed"].is_boolean()) out.push_back("\"restoreFailed\" is not a boolean");
  if (!r["canPresent"].is_boolean()) out.push_back("\"canPresent\" is not a boolean");
  if (!r["chosen"].is_string()) out.push_back("\"chosen\" is not a string");
  if (!r["uuid"].is_string()) out.push_back("\"uuid\" is not a string");

  const json& formats = r["formats"];
  if (!formats.is_array()) {
    out.push_back("\"formats\" is not a list");
  } else {
    std::set<std::string> seen;
    for (const json& f : formats) {
      if (!f.is_string() || !isFormatName(f.get_ref<const std::string&>())) {
        out.push_back("\"formats\" holds " + f.dump());
      } else if (!seen.insert(f.get<std::string>()).second) {
        out.push_back("\"formats\" repeats " + f.dump());
      }
    }
  }

  const json& native = r["nativeModes"];
  if (!native.is_object()) {
    out.push_back("\"nativeModes\" is not an object");
  } else {
    for (const auto& [key, label] : native.items()) {
      if (!isNativeKey(key)) out.push_back("\"nativeModes\" key is not a native key: " + key);
      if (!label.is_string()) out.push_back("\"nativeModes\" label is not a string");
    }
  }
  checkActual(r["actual"], out);
  if (!out.empty()) return out;

  const bool canPresent = r["canPresent"].get<bool>();
  const bool restoreFailed = r["restoreFailed"].get<bool>();
  if (phase == "missing" || phase == "protected") {
    if (!formats.empty()) out.push_back(phase + " with formats");
    if (!native.empty()) out.push_back(phase + " with native modes");
    if (!r["actual"].empty()) out.push_back(phase + " with an actual state");
    if (canPresent) out.push_back(phase + " with canPresent");
  }
  if (phase == "missing" && !id.is_null()) out.push_back("missing with an id");
  if (phase == "protected" && !id.is_string()) out.push_back("protected without an id");
  if ((phase == "idle" || phase == "restoreFailed") && canPresent)
    out.push_back(phase + " with canPresent");
  // The phase "restoreFailed" is how control-off reports a failed restoration.
  if (phase == "restoreFailed" && !restoreFailed) out.push_back("phase restoreFailed without it");
  if (phase == "idle" && restoreFailed) out.push_back("idle although the restoration failed");
  // Presentable needs a display and a state to present.
  if (canPresent && (id.is_null() || r["actual"].empty()))
    out.push_back("canPresent without a display state");
  return out;
}

std::vector<std::string> reportLineProblems(std::string_view line) {
  if (line.find('\n') != std::string_view::npos) return {"a line break inside the line"};
  // Compact: no white space outside strings, and exactly one value on the line.
  bool inString = false;
  bool escaped = false;
  for (char c : line) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      return {"not compact: white space outside strings"};
    }
  }
  const json r = json::parse(line.begin(), line.end(), nullptr, false);
  if (r.is_discarded()) return {"not one JSON value in UTF-8"};
  return reportProblems(r);
}

}  // namespace df::trust
