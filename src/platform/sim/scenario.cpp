#include "platform/sim/scenario.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>
#include <string_view>

#include "platform/sim/edid_scenario.h"

namespace df::sim {
namespace {

using json = nlohmann::json;

bool fail(std::string& error, const std::string& path, std::string_view what) {
  error = path;
  error += ": ";
  error += what;
  return false;
}

std::string join(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string at(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

bool unsignedUpTo(const json& v, std::uint64_t max) {
  if (v.is_number_unsigned()) return v.get<std::uint64_t>() <= max;
  if (v.is_number_integer()) {
    const auto i = v.get<std::int64_t>();
    return i >= 0 && static_cast<std::uint64_t>(i) <= max;
  }
  return false;
}

bool isBool(const json& v) {
  return v.is_boolean();
}
bool isU32(const json& v) {
  return unsignedUpTo(v, std::numeric_limits<std::uint32_t>::max());
}
bool isDisplayID(const json& v) {
  return isU32(v) && v.get<std::uint64_t>() != 0;
}
bool isU64(const json& v) {
  return unsignedUpTo(v, std::numeric_limits<std::uint64_t>::max());
}
bool isPositive(const json& v) {
  return isU64(v) && v.get<std::uint64_t>() > 0;
}
bool isFlickerCount(const json& v) {
  return unsignedUpTo(v, 1000);
}
bool isI32(const json& v) {
  if (v.is_number_unsigned())
    return v.get<std::uint64_t>() <=
           static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
  if (v.is_number_integer()) {
    const auto i = v.get<std::int64_t>();
    return i >= std::numeric_limits<std::int32_t>::min() &&
           i <= std::numeric_limits<std::int32_t>::max();
  }
  return false;
}
bool isI32OrNull(const json& v) {
  return v.is_null() || isI32(v);
}
bool isIntOrNull(const json& v) {
  return v.is_null() || v.is_number_integer();
}
bool isNumber(const json& v) {
  return v.is_number();
}
bool isStringOrNull(const json& v) {
  return v.is_null() || v.is_string();
}
bool isString(const json& v) {
  return v.is_string();
}
bool isArray(const json& v) {
  return v.is_array();
}
bool isObject(const json& v) {
  return v.is_object();
}
bool isObjectOrNull(const json& v) {
  return v.is_null() || v.is_object();
}
bool isRate(const json& v) {
  if (v.is_number()) return true;
  if (!v.is_string()) return false;
  const auto& s = v.get_ref<const std::string&>();
  return s == "NaN" || s == "Infinity" || s == "-Infinity";
}
bool isMillis(const json& v) {
  if (!v.is_number()) return false;
  const double d = v.get<double>();
  return std::isfinite(d) && d >= 0;
}
bool isPositiveMillis(const json& v) {
  return isMillis(v) && v.get<double>() > 0;
}
bool isSettle(const json& v) {
  return v == "normal" || v == "never" || v == "flicker";
}

struct Field {
  std::string_view key;
  bool (*ok)(const json&);
  std::string_view expected;
};

constexpr std::string_view kBool = "expected true or false";
constexpr std::string_view kRateText = R"(expected a number or "NaN"/"Infinity"/"-Infinity")";
constexpr std::string_view kMillisText = "expected a non-negative number of milliseconds";
constexpr std::string_view kDisplayIDText = "expected a display ID (non-zero unsigned 32-bit)";

constexpr Field kDisplayFields[] = {
    {"id", isDisplayID, kDisplayIDText},
    {"uuid", isStringOrNull, "expected a string or null"},
    {"online", isBool, kBool},
    {"active", isBool, kBool},
    {"builtin", isBool, kBool},
    {"mirror", isBool, kBool},
    {"hwMirror", isBool, kBool},
    {"modes", isArray, "expected a list of modes"},
    {"current", isI32OrNull, "expected a modeId (signed 32-bit) or null"},
    {"settleMs", isMillis, kMillisText},
    {"settle", isSettle, R"(expected "normal", "never" or "flicker")"},
    {"flickerMs", isPositiveMillis, "expected a positive number of milliseconds"},
    {"flickers", isFlickerCount, "expected an integer from 0 to 1000"},
    {"edid", isString, "expected hex bytes or a file path"},
    {"name", isString, "expected a string"},
};

constexpr Field kModeFields[] = {
    {"modeId", isI32, "expected a signed 32-bit integer"},
    {"width", isU64, "expected a non-negative integer"},
    {"height", isU64, "expected a non-negative integer"},
    {"logicalWidth", isU64, "expected a non-negative integer"},
    {"logicalHeight", isU64, "expected a non-negative integer"},
    {"hz", isRate, kRateText},
    {"flags", isU32, "expected an unsigned 32-bit integer"},
    {"timing", isNumber, "expected a number (a timing element ID)"},
    {"lowResolutionDuplicate", isBool, kBool},
};

constexpr Field kServiceFields[] = {
    {"class", isString, "expected a string"},
    {"properties", isObject, "expected an object"},
};

constexpr Field kExternalFields[] = {
    {"uuid", isStringOrNull, "expected a string or null"},
    {"availableModes", isArray, "expected a list of modes"},
    {"currentMode", isIntOrNull, "expected an index or null"},
    {"linkSettleMs", isMillis, kMillisText},
    {"linkDrop", isBool, kBool},
    {"display", isDisplayID, kDisplayIDText},
};

constexpr Field kExternalModeFields[] = {
    {"width", isU64, "expected a non-negative integer"},
    {"height", isU64, "expected a non-negative integer"},
    {"refreshRate", isRate, kRateText},
    {"colorMode", isStringOrNull, "expected a string or null"},
    {"hdrMode", isStringOrNull, "expected a string or null"},
    {"isVRR", isBool, kBool},
    {"timing", isNumber, "expected a number (a timing element ID)"},
};

constexpr Field kFaultFields[] = {
    {"call", isString, "expected the name of a seam operation"},
    {"error", isI32, "expected an error code (signed 32-bit)"},
    {"display", isU32, "expected a display ID (unsigned 32-bit)"},
    {"after", isU64, "expected a non-negative integer"},
    {"times", isPositive, "expected a positive integer"},
};

constexpr Field kSetModeFields[] = {
    {"display", isDisplayID, kDisplayIDText},
    {"modeId", isI32, "expected a signed 32-bit integer"},
};

constexpr std::string_view kActions[] = {"unplug",          "plug", "setMode", "update", "registry",
                                         "externalDisplay", "fault"};

template <std::size_t N>
bool checkFields(const json& obj, const std::string& path, const Field (&fields)[N],
                 std::string& error, std::string_view skip = {}) {
  if (!obj.is_object()) return fail(error, path, "expected an object");
  for (const auto& [key, value] : obj.items()) {
    if (!skip.empty() && key == skip) continue;
    const auto* f = std::find_if(std::begin(fields), std::end(fields),
                                 [&key = key](const Field& x) { return x.key == key; });
    // Keys this machine does not know are left for other tools: a scenario written for another
    // simulator, or annotated by hand, still runs.
    if (f == std::end(fields)) continue;
    if (!f->ok(value)) return fail(error, join(path, key), f->expected);
  }
  return true;
}

bool require(const json& obj, const std::string& path, std::initializer_list<const char*> keys,
             std::string& error) {
  for (const char* key : keys)
    if (!obj.contains(key)) return fail(error, join(path, key), "missing");
  return true;
}

void fill(json& obj, const char* key, json value) {
  if (!obj.contains(key)) obj[key] = std::move(value);
}

bool normalizeMode(json& mode, const std::string& path, std::string& error) {
  if (!checkFields(mode, path, kModeFields, error)) return false;
  if (!require(mode, path, {"modeId", "width", "height", "hz", "flags"}, error)) return false;
  fill(mode, "logicalWidth", mode["width"]);
  fill(mode, "logicalHeight", mode["height"]);
  return true;
}

bool normalizeModes(json& modes, const std::string& path, std::string& error) {
  for (std::size_t i = 0; i < modes.size(); ++i)
    if (!normalizeMode(modes[i], at(path, i), error)) return false;
  return true;
}

bool currentResolves(const json& display, const std::string& path, std::string& error) {
  const json& current = display["current"];
  if (current.is_null()) return true;
  for (const auto& mode : display["modes"])
    if (mode["modeId"] == current) return true;
  return fail(error, join(path, "current"), "no mode with modeId " + current.dump());
}

bool normalizeDisplay(json& display, const std::string& path, std::string& error) {
  if (!checkFields(display, path, kDisplayFields, error)) return false;
  if (!require(display, path, {"id", "uuid"}, error)) return false;
  fill(display, "online", true);
  fill(display, "active", true);
  fill(display, "builtin", false);
  fill(display, "mirror", false);
  fill(display, "hwMirror", false);
  fill(display, "modes", json::array());
  fill(display, "current", nullptr);
  fill(display, "settleMs", 0);
  if (!normalizeModes(display["modes"], join(path, "modes"), error)) return false;
  return currentResolves(display, path, error);
}

// Connector-like names as an X server gives them, numbered in list order per kind, so that a
// client can match them the way it matches RandR output names.
void nameDisplays(json& displays) {
  int builtin = 0, external = 0;
  for (json& display : displays) {
    const bool panel = display["builtin"].get<bool>();
    const int n = panel ? ++builtin : ++external;
    fill(display, "name", (panel ? "eDP-" : "HDMI-") + std::to_string(n));
  }
}

bool knownDisplay(const json& id, const std::string& path, const std::vector<std::uint32_t>& known,
                  std::string& error) {
  if (!isDisplayID(id)) return fail(error, path, kDisplayIDText);
  const auto value = id.get<std::uint32_t>();
  if (std::find(known.begin(), known.end(), value) == known.end())
    return fail(error, path, "unknown display " + std::to_string(value));
  return true;
}

bool normalizeRegistry(json& registry, const std::string& path, std::string& error) {
  if (!registry.is_array()) return fail(error, path, "expected a list of services");
  for (std::size_t i = 0; i < registry.size(); ++i) {
    json& service = registry[i];
    if (!checkFields(service, at(path, i), kServiceFields, error)) return false;
    if (!require(service, at(path, i), {"class"}, error)) return false;
    fill(service, "properties", json::object());
  }
  return true;
}

bool normalizeExternal(json& external, const std::string& path,
                       const std::vector<std::uint32_t>& known, std::string& error) {
  if (external.is_null()) return true;
  if (!checkFields(external, path, kExternalFields, error)) return false;
  fill(external, "uuid", nullptr);
  fill(external, "availableModes", json::array());
  fill(external, "currentMode", nullptr);
  fill(external, "linkSettleMs", 0);
  fill(external, "linkDrop", false);
  if (external.contains("display") &&
      !knownDisplay(external["display"], join(path, "display"), known, error))
    return false;
  json& modes = external["availableModes"];
  for (std::size_t i = 0; i < modes.size(); ++i) {
    json& mode = modes[i];
    const std::string modePath = at(join(path, "availableModes"), i);
    if (!checkFields(mode, modePath, kExternalModeFields, error)) return false;
    if (!require(mode, modePath, {"width", "height", "refreshRate"}, error)) return false;
    fill(mode, "colorMode", nullptr);
    fill(mode, "hdrMode", nullptr);
  }
  return true;
}

bool normalizeFaultAt(json& fault, const std::string& path, std::string& error) {
  if (!checkFields(fault, path, kFaultFields, error)) return false;
  if (!require(fault, path, {"call", "error"}, error)) return false;
  const auto& names = faultableCalls();
  if (std::find(names.begin(), names.end(), fault["call"].get<std::string>()) == names.end())
    return fail(error, join(path, "call"), "unknown operation " + fault["call"].dump());
  fill(fault, "after", 0);
  return true;
}

bool normalizeUpdate(json& update, const std::string& path, const std::vector<std::uint32_t>& known,
                     std::string& error) {
  if (!update.is_object()) return fail(error, path, "expected an object");
  if (!require(update, path, {"display"}, error)) return false;
  if (!knownDisplay(update["display"], join(path, "display"), known, error)) return false;
  if (update.contains("id")) return fail(error, join(path, "id"), "a display's ID cannot change");
  if (!checkFields(update, path, kDisplayFields, error, "display")) return false;
  if (update.contains("modes") && !normalizeModes(update["modes"], join(path, "modes"), error))
    return false;
  if (update.contains("modes") && update.contains("current"))
    return currentResolves(update, path, error);
  return true;
}

// Checks one action (the single key besides "at" in an event).
bool normalizeActionAt(json& action, const std::string& path,
                       const std::vector<std::uint32_t>& known, std::string& error, bool withTime) {
  if (!action.is_object()) return fail(error, path, "expected an object");
  if (withTime) {
    if (!action.contains("at")) return fail(error, join(path, "at"), "missing");
    if (!isMillis(action["at"])) return fail(error, join(path, "at"), kMillisText);
  }
  std::string name;
  for (const auto& [key, value] : action.items()) {
    if (withTime && key == "at") continue;
    if (std::find(std::begin(kActions), std::end(kActions), key) == std::end(kActions)) continue;
    if (!name.empty())
      return fail(error, path, "expected one action, found \"" + name + "\" and \"" + key + "\"");
    name = key;
  }
  if (name.empty())
    return fail(error, path,
                "expected one action: unplug, plug, setMode, update, registry, externalDisplay "
                "or fault");
  json& value = action[name];
  const std::string valuePath = join(path, name);
  if (name == "unplug" || name == "plug") return knownDisplay(value, valuePath, known, error);
  if (name == "setMode") {
    if (!checkFields(value, valuePath, kSetModeFields, error)) return false;
    if (!require(value, valuePath, {"display", "modeId"}, error)) return false;
    return knownDisplay(value["display"], join(valuePath, "display"), known, error);
  }
  if (name == "update") return normalizeUpdate(value, valuePath, known, error);
  if (name == "registry") return normalizeRegistry(value, valuePath, error);
  if (name == "externalDisplay") {
    if (!isObjectOrNull(value)) return fail(error, valuePath, "expected an object or null");
    return normalizeExternal(value, valuePath, known, error);
  }
  return normalizeFaultAt(value, valuePath, error);
}

}  // namespace

const std::vector<std::string>& faultableCalls() {
  static const std::vector<std::string> names = {
      "registerReconfigurationCallback",
      "getOnlineDisplayList",
      "createUUIDFromDisplayID",
      "displayIsActive",
      "displayIsBuiltin",
      "displayIsInMirrorSet",
      "displayIsInHWMirrorSet",
      "copyDisplayMode",
      "copyAllDisplayModes",
      "beginConfiguration",
      "configureDisplayWithMode",
      "completeConfiguration",
      "cancelConfiguration",
      "servicesMatching",
      "iteratorNext",
      "registryProperty",
      "display",
      "externalDisplay",
      "uuid",
      "currentMode",
      "availableModes",
      "setCurrentMode",
  };
  return names;
}

double rateValue(const nlohmann::json& value) {
  if (value.is_number()) return value.get<double>();
  if (value == "Infinity") return std::numeric_limits<double>::infinity();
  if (value == "-Infinity") return -std::numeric_limits<double>::infinity();
  return std::numeric_limits<double>::quiet_NaN();
}

std::chrono::nanoseconds millis(const nlohmann::json& value) {
  if (!value.is_number()) return std::chrono::nanoseconds(0);
  const double ms = value.get<double>();
  if (!std::isfinite(ms) || ms <= 0) return std::chrono::nanoseconds(0);
  return std::chrono::nanoseconds(std::llround(ms * 1e6));
}

bool normalizeAction(nlohmann::json& action, const std::vector<std::uint32_t>& knownDisplays,
                     std::string& error) {
  return normalizeActionAt(action, "action", knownDisplays, error, false);
}

bool normalizeFault(nlohmann::json& fault, std::string& error) {
  return normalizeFaultAt(fault, "fault", error);
}

bool normalizeScenario(nlohmann::json& scenario, std::string& error) {
  if (!scenario.is_object()) return fail(error, "scenario", "expected an object");
  if (!expandEdids(scenario, "", error)) return false;
  fill(scenario, "displays", json::array());
  fill(scenario, "registry", json::array());
  fill(scenario, "externalDisplay", nullptr);
  fill(scenario, "events", json::array());
  fill(scenario, "faults", json::array());

  json& displays = scenario["displays"];
  if (!displays.is_array()) return fail(error, "displays", "expected a list of displays");
  std::vector<std::uint32_t> known;
  for (std::size_t i = 0; i < displays.size(); ++i) {
    if (!normalizeDisplay(displays[i], at("displays", i), error)) return false;
    const auto id = displays[i]["id"].get<std::uint32_t>();
    if (std::find(known.begin(), known.end(), id) != known.end())
      return fail(error, at("displays", i) + ".id", "duplicate display " + std::to_string(id));
    known.push_back(id);
  }
  nameDisplays(displays);
  if (!normalizeRegistry(scenario["registry"], "registry", error)) return false;
  if (!isObjectOrNull(scenario["externalDisplay"]))
    return fail(error, "externalDisplay", "expected an object or null");
  if (!normalizeExternal(scenario["externalDisplay"], "externalDisplay", known, error))
    return false;

  json& events = scenario["events"];
  if (!events.is_array()) return fail(error, "events", "expected a list of events");
  for (std::size_t i = 0; i < events.size(); ++i)
    if (!normalizeActionAt(events[i], at("events", i), known, error, true)) return false;

  json& faults = scenario["faults"];
  if (!faults.is_array()) return fail(error, "faults", "expected a list of faults");
  for (std::size_t i = 0; i < faults.size(); ++i)
    if (!normalizeFaultAt(faults[i], at("faults", i), error)) return false;
  return true;
}

std::optional<std::string> readFile(const std::string& path, std::string& error) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    const int e = errno;
    error = path + (e == ENOENT   ? ": not found"
                    : e == EACCES ? ": not readable (permission denied)"
                                  : ": cannot be opened (" + std::string(std::strerror(e)) + ")");
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  const bool failed = std::ferror(f) != 0;
  const int e = errno;
  std::fclose(f);
  if (failed) {
    error = path + ": cannot be read (" + std::strerror(e) + ")";
    return std::nullopt;
  }
  return text;
}

std::optional<nlohmann::json> loadScenario(const std::string& path, std::string& error) {
  std::optional<std::string> text = readFile(path, error);
  if (!text) return std::nullopt;
  json scenario;
  try {
    scenario = json::parse(*text);
  } catch (const json::parse_error& e) {
    // The parser's message names the line and column: "[json.exception.parse_error.101] parse
    // error at line 3, column 5: syntax error ...".
    std::string_view what = e.what();
    constexpr std::string_view kAt = "parse error at ";
    if (auto at = what.find(kAt); at != std::string_view::npos) {
      error = path + ": not valid JSON at " + std::string(what.substr(at + kAt.size()));
    } else {
      error = path + ": not valid JSON (at byte " + std::to_string(e.byte) + ")";
    }
    return std::nullopt;
  }
  std::string why;
  const auto slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash);
  if (!expandEdids(scenario, slash == 0 ? "/" : dir, why) || !normalizeScenario(scenario, why)) {
    error = path + ": " + why;
    return std::nullopt;
  }
  return scenario;
}

}  // namespace df::sim
