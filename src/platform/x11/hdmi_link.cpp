// The HDMI link: an HDMI output as the device registry's framebuffer service and as the external
// display object, with connection modes from the output's colour properties.
#include <algorithm>
#include <cmath>

#include "platform/x11/edid_facts.h"
#include "platform/x11/randr.h"
#include "platform/x11/randr_internal.h"

namespace df::platform::x11 {

std::vector<DisplayID> RandrDisplays::hdmiOutputs() {
  std::vector<DisplayID> out;
  for (const Snapshot::Output& o : state().outputs) {
    if (o.connected && o.hdmi && !o.panel) out.push_back(o.id);
  }
  return out;
}

nlohmann::json RandrDisplays::linkProperty(DisplayID display, const std::string& key) {
  if (key == "external") return true;
  if (key == "Transport") return {{"Downstream", "HDMI"}};
  if (key == "IOMFBUUID") {
    UUIDHandle uuid = createUUIDFromDisplayID(display);
    return uuid ? nlohmann::json(uuid->string()) : nlohmann::json();
  }
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  if (o == nullptr) return nullptr;
  if (key == "DPTimingModeId") {
    ModeHandle current = copyDisplayMode(display);
    return current ? nlohmann::json(static_cast<std::uint32_t>(current->ioDisplayModeID()))
                   : nlohmann::json();
  }
  if (key != "TimingElements") return nullptr;
  // The signal is the CRTC's timing: one element per mode of the output, with its CTA VIC.
  nlohmann::json elements = nlohmann::json::array();
  for (const auto& [id, modeInfo] : distinctModes(s, *o)) {
    const xcb_randr_mode_info_t& info = *modeInfo;
    const auto mode = describe(*o, info, id);
    const auto cta = televisionTiming(o->edid, info);
    elements.push_back({{"ID", id},
                        {"IsInterlaced", (mode->ioFlags() & kModeInterlaced) != 0},
                        {"CEAShortID", cta ? cta->vic->code : 0},
                        {"HorizontalAttributes", {{"Active", info.width}, {"Total", info.htotal}}},
                        {"VerticalAttributes",
                         {{"Active", info.height},
                          {"Total", info.vtotal},
                          {"PreciseSyncRate", std::llround(mode->refreshRate() * 65536.0)}}}});
  }
  return elements;
}

namespace {

// A Colorspace value names the colorimetry; the YCC ones are sent as YCbCr, the rest as RGB.
std::string encodingOf(const std::string& colorspace) {
  return colorspace.find("YCC") != std::string::npos ? "YCbCr 4:4:4" : "RGB";
}

// The values a property allows, the current one first and always among them.
std::vector<std::int32_t> choices(const ColourProperty& p, bool depth) {
  std::vector<std::int32_t> out{p.value};
  auto add = [&out](std::int32_t v) {
    if (std::find(out.begin(), out.end(), v) == out.end()) out.push_back(v);
  };
  if (p.range && p.valid.size() == 2) {
    // A depth range offers the depths HDMI carries.
    for (std::int32_t v : {8, 10, 12})
      if (depth && v >= p.valid[0] && v <= p.valid[1]) add(v);
  } else {
    for (std::int32_t v : p.valid) add(v);
  }
  return out;
}

}  // namespace

std::optional<std::vector<ExternalModeHandle>> RandrDisplays::connectionModes(DisplayID display,
                                                                              bool currentOnly) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  if (o == nullptr) return std::nullopt;
  const auto& colour = o->colour;
  if (std::none_of(colour.begin(), colour.end(), [](const auto& p) { return p.type != 0; }))
    return std::nullopt;
  const Snapshot::Crtc* crtc = s.crtcOf(*o);
  auto info = crtc != nullptr ? s.modes.find(crtc->mode) : s.modes.end();
  if (crtc == nullptr || crtc->mode == 0 || info == s.modes.end()) return std::nullopt;
  const double hz = describe(*o, info->second, crtc->mode)->refreshRate();

  // Without a property its dimension has the one value HDMI always carries: RGB, 8 bits.
  auto values = [&](ColourKey k, bool depth) {
    return colour[k].type == 0 ? std::vector<std::int32_t>{0}
           : currentOnly       ? std::vector<std::int32_t>{colour[k].value}
                               : choices(colour[k], depth);
  };
  auto name = [&](ColourKey k, std::int32_t v) {
    return colour[k].type == XCB_ATOM_ATOM ? atomName(v) : std::to_string(v);
  };
  std::vector<ExternalModeHandle> out;
  std::vector<std::string> encodings;
  for (std::int32_t space : values(kColorspace, false)) {
    const std::string encoding =
        colour[kColorspace].type == 0 ? "RGB" : encodingOf(name(kColorspace, space));
    // Colorimetries of one encoding are one mode: the current value, or the first listed.
    if (std::find(encodings.begin(), encodings.end(), encoding) != encodings.end()) continue;
    encodings.push_back(encoding);
    for (std::int32_t bpc : values(kMaxBpc, true)) {
      const std::string depth = colour[kMaxBpc].type == 0 ? "8" : name(kMaxBpc, bpc);
      // The quantisation range applies to RGB alone; "Automatic" is the sink's default.
      std::vector<std::int32_t> ranges = values(kBroadcastRgb, false);
      if (encoding != "RGB") ranges = {colour[kBroadcastRgb].value};
      for (std::int32_t range : ranges) {
        std::string color = encoding + " " + depth + "-bit";
        if (encoding == "RGB" && colour[kBroadcastRgb].type != 0) {
          const std::string rangeName = name(kBroadcastRgb, range);
          if (rangeName != "Automatic") color += " " + rangeName;
        }
        out.push_back(std::make_unique<RandrConnectionMode>(
            info->second.width, info->second.height, hz, std::move(color),
            std::array<std::int32_t, kColourKeys>{bpc, space, range}));
      }
    }
  }
  return out;
}

void RandrDisplays::setConnectionMode(DisplayID display, const RandrConnectionMode& mode) {
  const Snapshot s = state();
  const Snapshot::Output* o = connected(s, display);
  if (o == nullptr || lost_) return;
  bool pending = false;
  std::vector<xcb_void_cookie_t> sent;
  for (std::size_t k = 0; k < kColourKeys; ++k) {
    const ColourProperty& p = o->colour[k];
    if (p.type == 0 || p.value == mode.values()[k]) continue;
    const std::int32_t value = mode.values()[k];
    sent.push_back(xcb_randr_change_output_property_checked(c_, o->id, colourAtoms_[k], p.type, 32,
                                                            XCB_PROP_MODE_REPLACE, 1, &value));
    pending = pending || p.pending;
  }
  const Snapshot::Crtc* crtc = s.crtcOf(*o);
  std::optional<xcb_randr_set_crtc_config_cookie_t> reapply;
  if (pending && crtc != nullptr && crtc->mode != 0) {
    // The same configuration again: the server passes it to the driver because properties are
    // pending, and the driver applies them with it.
    reapply = xcb_randr_set_crtc_config(
        c_, crtc->id, XCB_CURRENT_TIME, s.configTimestamp, crtc->x, crtc->y, crtc->mode,
        crtc->rotation, static_cast<std::uint32_t>(crtc->outputs.size()), crtc->outputs.data());
  }
  for (xcb_void_cookie_t cookie : sent) Reply<xcb_generic_error_t>(xcb_request_check(c_, cookie));
  if (reapply)
    Reply<xcb_randr_set_crtc_config_reply_t>(
        xcb_randr_set_crtc_config_reply(c_, *reapply, nullptr));
  if (!sent.empty()) ++traffic_.roundTrips;
  // The verification reads the result; the events that follow say the same.
  cache_.reset();
  if (xcb_connection_has_error(c_)) markLost();
}

namespace {

class LinkService final : public RegistryObject {
 public:
  explicit LinkService(DisplayID output) : output(output) {}
  DisplayID output;
};

class LinkIterator final : public RegistryObject {
 public:
  std::vector<DisplayID> outputs;
  std::size_t next = 0;
};

class HdmiOutput final : public ExternalDisplay {
 public:
  HdmiOutput(RandrDisplays& displays, DisplayID output) : displays_(displays), output_(output) {}
  std::optional<std::string> uuid() override {
    UUIDHandle uuid = displays_.createUUIDFromDisplayID(output_);
    return uuid ? std::optional<std::string>(uuid->string()) : std::nullopt;
  }
  std::uint32_t display() override { return output_; }
  ExternalModeHandle currentMode() override {
    auto modes = displays_.connectionModes(output_, true);
    return modes && !modes->empty() ? std::move(modes->front()) : nullptr;
  }
  std::optional<std::vector<ExternalModeHandle>> availableModes() override {
    return displays_.connectionModes(output_, false);
  }
  void setCurrentMode(const ExternalMode& mode) override {
    if (const auto* m = dynamic_cast<const RandrConnectionMode*>(&mode))
      displays_.setConnectionMode(output_, *m);
  }

 private:
  RandrDisplays& displays_;
  DisplayID output_;
};

}  // namespace

KernReturn RandrRegistry::servicesMatching(const std::string&, RegistryHandle& iterator) {
  auto it = std::make_unique<LinkIterator>();
  it->outputs = displays_.hdmiOutputs();
  iterator = std::move(it);
  return 0;
}

RegistryHandle RandrRegistry::iteratorNext(RegistryObject& iterator) {
  auto* it = dynamic_cast<LinkIterator*>(&iterator);
  if (it == nullptr || it->next >= it->outputs.size()) return nullptr;
  return std::make_unique<LinkService>(it->outputs[it->next++]);
}

PropertyValue RandrRegistry::registryProperty(RegistryObject& service, const std::string& key) {
  auto* link = dynamic_cast<LinkService*>(&service);
  if (link == nullptr) return nullptr;
  nlohmann::json value = displays_.linkProperty(link->output, key);
  if (value.is_null()) return nullptr;
  return std::make_shared<const nlohmann::json>(std::move(value));
}

ExternalDisplayHandle RandrExternalDisplays::externalDisplay() {
  // One external display object, as the service expects: the first HDMI output that is not
  // the primary one.
  for (DisplayID output : displays_.hdmiOutputs()) {
    if (!displays_.isPrimary(output)) return std::make_unique<HdmiOutput>(displays_, output);
  }
  return nullptr;
}

}  // namespace df::platform::x11
