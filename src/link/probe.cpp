#include "link/probe.h"

#include <cmath>

#include "modes/format.h"

namespace df {

namespace {

constexpr double kSyncRateUnit = 1.0 / 65536.0;
constexpr double k1080p5994 = 60000.0 / 1001.0;

// One element entry read under the rule "absent reads as 0 or false". A value of the wrong
// kind makes the whole element not match.
struct Reader {
  bool ok = true;

  std::uint64_t count(const Record* v) {
    if (!v) return 0;
    auto n = asUnsigned(*v);
    if (!n) ok = false;
    return n.value_or(0);
  }
  double number(const Record* v) {
    if (!v) return 0;
    auto n = asNumber(*v);
    if (!n || !std::isfinite(*n)) ok = false;
    return n && std::isfinite(*n) ? *n : 0;
  }
  bool flag(const Record* v) {
    if (!v) return false;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number()) return v->get<double>() != 0;
    ok = false;
    return false;
  }
  const Record* attributes(const Record* v) {
    if (v && !v->is_object()) ok = false;
    return v;
  }
};

// External, for this UUID, and carried over HDMI; tests stop at the first that fails.
bool isHdmiMatch(platform::DeviceRegistry& registry, platform::RegistryObject& service,
                 const std::string& uuid) {
  platform::PropertyValue external = registry.registryProperty(service, "external");
  if (!external || !external->is_boolean() || !external->get<bool>()) return false;
  if (!isString(registry.registryProperty(service, "IOMFBUUID").get(), uuid)) return false;
  platform::PropertyValue transport = registry.registryProperty(service, "Transport");
  return isString(lookup(transport.get(), "Downstream"), "HDMI");
}

// Reads the timing elements, unless the memo holds this very value already.
const TimingMemo& readTimings(TimingMemo& memo, const platform::PropertyValue& elements) {
  if (memo.elements == elements) return memo;
  memo = TimingMemo{elements, {}, std::nullopt, std::nullopt};
  for (const Record& element : *elements) {
    if (!element.is_object()) continue;
    Reader read;
    const Record* el = &element;
    if (read.flag(lookup(el, "IsVirtual")) || !read.ok) continue;
    const Record* horizontal = read.attributes(lookup(el, "HorizontalAttributes"));
    const Record* vertical = read.attributes(lookup(el, "VerticalAttributes"));
    const std::uint64_t hActive = read.count(lookup(horizontal, "Active"));
    const std::uint64_t vActive = read.count(lookup(vertical, "Active"));
    const std::uint64_t hTotal = read.count(lookup(horizontal, "Total"));
    const std::uint64_t vTotal = read.count(lookup(vertical, "Total"));
    const double hz = read.number(lookup(vertical, "PreciseSyncRate")) * kSyncRateUnit;
    const bool interlaced = read.flag(lookup(el, "IsInterlaced"));
    const std::uint64_t cea = read.count(lookup(el, "CEAShortID"));
    const Record* id = lookup(el, "ID");
    if (id && !id->is_number()) read.ok = false;
    if (!read.ok) continue;

    std::optional<std::string> format;
    if (cea != 0) {
      const std::uint32_t flags = interlaced ? 0x100041 : 0x100001;
      format = broadcastFormat(hActive, vActive, flags, hz);
    }
    if (format == "1080p59.94" || format == "1080p60.00") {
      const double exact = *format == "1080p59.94" ? k1080p5994 : 60.0;
      if (cea == 16 && hTotal == 2200 && vTotal == 1125 &&
          std::fabs(hz - exact) <= kRateTolerance) {
        (*format == "1080p59.94" ? memo.rate1080p5994 : memo.rate1080p6000) = exact;
      } else {
        format.reset();
      }
    }
    memo.usable.push_back({id ? *id : Record(), id != nullptr, hActive, vActive, hz, interlaced,
                           format.value_or("")});
  }
  return memo;
}

}  // namespace

std::optional<Connection> connectionDescription(const platform::ExternalMode* mode) {
  if (mode == nullptr) return std::nullopt;
  std::optional<bool> vrr = mode->isVRR();
  if (!vrr || *vrr) return std::nullopt;
  const double hz = mode->refreshRate();
  if (!std::isfinite(hz) || !(hz > 0)) return std::nullopt;
  std::optional<std::string> color = mode->colorMode();
  std::optional<std::string> hdr = mode->hdrMode();
  return Connection{mode->width(), mode->height(), hz, std::move(color).value_or(""),
                    std::move(hdr).value_or("")};
}

std::optional<Link> hdmiLink(Context& cx, DisplayID display) {
  platform::ExternalDisplayHandle external = cx.platform.external.externalDisplay();
  // Another display's link says nothing about this one.
  if (!external || display == 0 || external->display() != display) return std::nullopt;
  std::optional<std::string> uuid = external->uuid();
  if (!uuid || uuid->empty()) return std::nullopt;

  auto& registry = cx.platform.registry;
  platform::RegistryHandle iterator;
  static const std::string kClass = kFramebufferClass;
  if (registry.servicesMatching(kClass, iterator) != 0 || !iterator) return std::nullopt;
  platform::RegistryHandle held;
  while (platform::RegistryHandle service = registry.iteratorNext(*iterator)) {
    if (!isHdmiMatch(registry, *service, *uuid)) continue;
    if (held) return std::nullopt;  // two HDMI services for one display: trust neither
    held = std::move(service);
  }
  iterator.reset();
  if (!held) return std::nullopt;

  platform::PropertyValue timingId = registry.registryProperty(*held, "DPTimingModeId");
  platform::PropertyValue elements = registry.registryProperty(*held, "TimingElements");
  held.reset();
  if (!timingId || !timingId->is_number() || !elements || !elements->is_array()) return Link{};

  Link link;
  link.full = true;
  const TimingMemo& timings = readTimings(cx.timings, elements);
  link.rate1080p5994 = timings.rate1080p5994;
  link.rate1080p6000 = timings.rate1080p6000;
  for (const TimingElement& t : timings.usable) {
    // The current timing; a later element that also passes replaces an earlier one.
    if ((t.hasId ? t.id == *timingId : Record(0) == *timingId) && t.width != 0 && t.height != 0 &&
        t.hz > 0)
      link.signal = Signal{t.width, t.height, t.hz, t.format, t.interlaced};
  }

  platform::ExternalModeHandle current = external->currentMode();
  link.mode = connectionDescription(current.get());
  link.uuid = std::move(*uuid);
  return link;
}

}  // namespace df
