// The HDMI link on macOS: the framebuffer service of the external display in the device registry
// (its timing elements and the one sent now) and the external display object (connection modes).
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "platform/darwin/backend.h"

namespace df::platform::darwin {

namespace {

using nlohmann::json;

const std::string kFramebufferClass = "IOMobileFramebufferShim";
constexpr double kSyncRateUnit = 1.0 / 65536.0;

// value[key] read in place, when value is an object that has key; null otherwise.
const json* lookup(const json* value, std::string_view key) {
  if (value == nullptr || !value->is_object()) return nullptr;
  auto it = value->find(key);
  return it == value->end() ? nullptr : &*it;
}

bool isText(const json* value, std::string_view text) {
  return value && value->is_string() && value->get_ref<const std::string&>() == text;
}

// A non-negative whole number that fits.
std::optional<std::uint64_t> wholeNumber(const json& v) {
  if (v.is_number_unsigned()) return v.get<std::uint64_t>();
  if (v.is_number_integer()) {
    const auto n = v.get<std::int64_t>();
    return n < 0 ? std::nullopt : std::optional<std::uint64_t>(static_cast<std::uint64_t>(n));
  }
  if (v.is_number_float()) {
    const double d = v.get<double>();
    // 2^64 itself does not fit.
    if (!std::isfinite(d) || d < 0 || d >= 18446744073709551616.0 || std::floor(d) != d)
      return std::nullopt;
    return static_cast<std::uint64_t>(d);
  }
  return std::nullopt;
}

// One element entry read under the rule "absent reads as 0 or false". A value of the wrong
// kind makes the whole element unusable.
struct Reader {
  bool ok = true;

  std::uint64_t count(const json* v) {
    if (!v) return 0;
    auto n = wholeNumber(*v);
    if (!n) ok = false;
    return n.value_or(0);
  }
  double number(const json* v) {
    if (!v) return 0;
    const bool usable = v->is_number() && std::isfinite(v->get<double>());
    if (!usable) ok = false;
    return usable ? v->get<double>() : 0;
  }
  bool flag(const json* v) {
    if (!v) return false;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number()) return v->get<double>() != 0;
    ok = false;
    return false;
  }
  const json* attributes(const json* v) {
    if (v && !v->is_object()) ok = false;
    return v;
  }
};

// External, for this UUID, and carried over HDMI; tests stop at the first that fails.
bool isHdmiMatch(DeviceRegistry& registry, RegistryObject& service, const std::string& uuid) {
  static const std::string kExternal = "external", kUUID = "IOMFBUUID", kTransport = "Transport";
  const PropertyValue external = registry.registryProperty(service, kExternal);
  if (!external || !external->is_boolean() || !external->get<bool>()) return false;
  if (!isText(registry.registryProperty(service, kUUID).get(), uuid)) return false;
  const PropertyValue transport = registry.registryProperty(service, kTransport);
  return isText(lookup(transport.get(), "Downstream"), "HDMI");
}

}  // namespace

std::optional<ConnectionMode> connectionOf(const ExternalMode* mode) {
  if (mode == nullptr) return std::nullopt;
  const std::optional<bool> vrr = mode->isVRR();
  if (!vrr || *vrr) return std::nullopt;
  const double hz = mode->refreshRate();
  if (!std::isfinite(hz) || !(hz > 0)) return std::nullopt;
  std::optional<std::string> color = mode->colorMode();
  std::optional<std::string> hdr = mode->hdrMode();
  return ConnectionMode{mode->width(), mode->height(), hz, std::move(color).value_or(""),
                        std::move(hdr).value_or("")};
}

const Backend::TimingMemo& Backend::timingsOf(const PropertyValue& elements) {
  if (memo_.elements == elements) return memo_;
  std::vector<SignalTiming> usable;
  std::vector<json> ids;
  for (const json& element : *elements) {
    if (!element.is_object()) continue;
    Reader read;
    const json* el = &element;
    if (read.flag(lookup(el, "IsVirtual")) || !read.ok) continue;
    const json* horizontal = read.attributes(lookup(el, "HorizontalAttributes"));
    const json* vertical = read.attributes(lookup(el, "VerticalAttributes"));
    SignalTiming t;
    t.width = read.count(lookup(horizontal, "Active"));
    t.height = read.count(lookup(vertical, "Active"));
    t.hTotal = read.count(lookup(horizontal, "Total"));
    t.vTotal = read.count(lookup(vertical, "Total"));
    t.hz = read.number(lookup(vertical, "PreciseSyncRate")) * kSyncRateUnit;
    t.interlaced = read.flag(lookup(el, "IsInterlaced"));
    // Out of range stays out of range: neither "none" nor any known code.
    t.vic = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        read.count(lookup(el, "CEAShortID")), std::numeric_limits<std::uint32_t>::max()));
    const json* id = lookup(el, "ID");
    if (id && !id->is_number()) read.ok = false;
    if (!read.ok) continue;
    usable.push_back(t);
    ids.push_back(id ? *id : json());
  }
  memo_ = TimingMemo{elements, std::make_shared<const std::vector<SignalTiming>>(std::move(usable)),
                     std::move(ids)};
  return memo_;
}

std::optional<LinkReading> Backend::read(DisplayID display) {
  ExternalDisplayHandle external = calls_.external.externalDisplay();
  // Another display's link says nothing about this one.
  if (!external || display == 0 || external->display() != display) return std::nullopt;
  std::optional<std::string> uuid = external->uuid();
  if (!uuid || uuid->empty()) return std::nullopt;

  DeviceRegistry& registry = calls_.registry;
  RegistryHandle iterator;
  if (registry.servicesMatching(kFramebufferClass, iterator) != 0 || !iterator) return std::nullopt;
  RegistryHandle held;
  while (RegistryHandle service = registry.iteratorNext(*iterator)) {
    if (!isHdmiMatch(registry, *service, *uuid)) continue;
    if (held) return std::nullopt;  // two HDMI services for one display: trust neither
    held = std::move(service);
  }
  iterator.reset();
  if (!held) return std::nullopt;

  static const std::string kTimingId = "DPTimingModeId", kElements = "TimingElements";
  const PropertyValue timingId = registry.registryProperty(*held, kTimingId);
  const PropertyValue elements = registry.registryProperty(*held, kElements);
  held.reset();
  LinkReading reading;
  reading.uuid = std::move(*uuid);
  if (!timingId || !timingId->is_number() || !elements || !elements->is_array()) return reading;

  const TimingMemo& memo = timingsOf(elements);
  reading.timings = memo.timings;
  static const json kNoId = 0;  // what an element without "ID" stands for
  const std::vector<SignalTiming>& timings = *memo.timings;
  for (std::size_t i = 0; i < timings.size(); ++i) {
    const SignalTiming& t = timings[i];
    // The timing sent now; a later element that also passes replaces an earlier one.
    if ((memo.ids[i].is_null() ? kNoId : memo.ids[i]) == *timingId && t.width != 0 &&
        t.height != 0 && t.hz > 0)
      reading.current = i;
  }

  const ExternalModeHandle current = external->currentMode();
  reading.mode = connectionOf(current.get());
  return reading;
}

std::optional<std::vector<ConnectionMode>> Backend::connectionModes(DisplayID,
                                                                    const std::string& uuid) {
  // The sink's UUID, which a reading of this display gave, ties the object to the display.
  const ExternalDisplayHandle external = calls_.external.externalDisplay();
  if (!external) return std::nullopt;
  const std::optional<std::string> sink = external->uuid();
  if (!sink || *sink != uuid) return std::nullopt;
  auto modes = external->availableModes();
  if (!modes) return std::nullopt;
  std::vector<ConnectionMode> out;
  out.reserve(modes->size());
  for (const ExternalModeHandle& mode : *modes)
    if (std::optional<ConnectionMode> c = connectionOf(mode.get())) out.push_back(std::move(*c));
  return out;
}

bool Backend::switchConnection(DisplayID display, const std::string& uuid,
                               const ConnectionMode& wanted) {
  const ExternalDisplayHandle external = calls_.external.externalDisplay();
  // Only the display's own external display object is switched.
  if (!external || display == 0 || external->display() != display) return false;
  const std::optional<std::string> sink = external->uuid();
  if (!sink || *sink != uuid) return false;
  auto modes = external->availableModes();
  if (!modes) return false;
  for (const ExternalModeHandle& mode : *modes) {
    if (connectionOf(mode.get()) == wanted) {
      external->setCurrentMode(*mode);
      return true;
    }
  }
  return false;
}

}  // namespace df::platform::darwin
