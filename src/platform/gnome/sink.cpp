#include "platform/gnome/sink.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "edid/edid.h"
#include "edid/identity.h"

namespace df::platform::gnome {

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The connector's EDID from every DRM card that has it.
std::vector<std::vector<std::uint8_t>> fromDrm(const std::string& root,
                                               const std::string& connector) {
  std::vector<std::vector<std::uint8_t>> out;
  std::error_code error;
  if (root.empty()) return out;
  const std::string suffix = "-" + kernelConnector(connector);
  for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("card", 0) == 0 && name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      out.push_back(readFile(entry.path() / "edid"));
  }
  return out;
}

// The EDID property of the RandR output named like the connector.
std::vector<std::uint8_t> fromX11(const std::string& display, const std::string& connector) {
  std::vector<std::uint8_t> out;
  if (display.empty()) return out;
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(display.c_str(), &screenNumber);
  if (xcb_connection_has_error(c) == 0) {
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
    if (it.rem > 0 && ext != nullptr && ext->present) {
      auto atomCookie = xcb_intern_atom(c, 1, 4, "EDID");
      auto resCookie = xcb_randr_get_screen_resources_current(c, it.data->root);
      Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(c, atomCookie, nullptr));
      Reply<xcb_randr_get_screen_resources_current_reply_t> res(
          xcb_randr_get_screen_resources_current_reply(c, resCookie, nullptr));
      if (atom && atom->atom != 0 && res) {
        const xcb_randr_output_t* outputs =
            xcb_randr_get_screen_resources_current_outputs(res.get());
        const int count = xcb_randr_get_screen_resources_current_outputs_length(res.get());
        std::vector<xcb_randr_get_output_info_cookie_t> cookies;
        for (int i = 0; i < count; ++i)
          cookies.push_back(xcb_randr_get_output_info(c, outputs[i], res->config_timestamp));
        for (int i = 0; i < count; ++i) {
          Reply<xcb_randr_get_output_info_reply_t> info(
              xcb_randr_get_output_info_reply(c, cookies[static_cast<std::size_t>(i)], nullptr));
          if (!info || !out.empty()) continue;
          const auto* name =
              reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get()));
          if (connector !=
              std::string_view(name, static_cast<std::size_t>(
                                         xcb_randr_get_output_info_name_length(info.get()))))
            continue;
          Reply<xcb_randr_get_output_property_reply_t> edid(xcb_randr_get_output_property_reply(
              c,
              xcb_randr_get_output_property(c, outputs[i], atom->atom, XCB_ATOM_ANY, 0, 8192, 0, 0),
              nullptr));
          if (edid && edid->format == 8) {
            const std::uint8_t* bytes = xcb_randr_get_output_property_data(edid.get());
            out.assign(bytes, bytes + edid->num_items);
          }
        }
      }
    }
  }
  xcb_disconnect(c);
  return out;
}

// Whether the EDID is the one Mutter read: its vendor, and the product code and serial number
// where Mutter shows them as numbers (it shows the EDID's name and serial texts where there are).
bool matches(const edid::Decoded& d, const MonitorIdentity& identity) {
  if (d.vendor != identity.vendor) return false;
  char number[16];
  std::snprintf(number, sizeof number, "0x%04x", static_cast<unsigned>(d.product));
  if (identity.product.rfind("0x", 0) == 0 && identity.product != number) return false;
  std::snprintf(number, sizeof number, "0x%08x", static_cast<unsigned>(d.serial));
  return identity.serial.rfind("0x", 0) != 0 || identity.serial == number;
}

// Without an EDID, a mode is a television timing when its size, scan and rate are any
// CTA-861 timing's.
const edid::Television& everyVic() {
  static const edid::Television all = [] {
    edid::Decoded d;
    for (const edid::Vic& v : edid::allVics()) d.vics.push_back(v.code);
    return edid::Television(d);
  }();
  return all;
}

}  // namespace

std::string kernelConnector(const std::string& connector) {
  constexpr std::string_view kHdmi = "HDMI-";
  if (connector.size() > kHdmi.size() && connector.compare(0, kHdmi.size(), kHdmi) == 0 &&
      std::isdigit(static_cast<unsigned char>(connector[kHdmi.size()])))
    return "HDMI-A-" + connector.substr(kHdmi.size());
  return connector;
}

std::shared_ptr<const Sink> findSink(const MonitorIdentity& identity, const EdidPlaces& places) {
  auto sink = std::make_shared<Sink>();
  sink->television = everyVic();
  std::vector<std::vector<std::uint8_t>> candidates = fromDrm(places.drm, identity.connector);
  candidates.push_back(fromX11(places.x11Display, identity.connector));
  std::erase_if(candidates, [](const auto& bytes) { return !edid::isEdid(bytes); });
  // Mutter says "unknown" where it could not read the EDID; then only an EDID that every
  // place agrees on is taken, since nothing confirms whose it is.
  const std::vector<std::uint8_t>* chosen = nullptr;
  if (identity.vendor != "unknown") {
    for (const auto& bytes : candidates) {
      if (matches(edid::decode(bytes), identity)) {
        chosen = &bytes;
        break;
      }
    }
  } else if (!candidates.empty() &&
             std::all_of(candidates.begin(), candidates.end(),
                         [&](const auto& bytes) { return bytes == candidates.front(); })) {
    chosen = &candidates.front();
  }
  if (chosen != nullptr) {
    const edid::Decoded d = edid::decode(*chosen);
    sink->identity = edid::identityOf(*chosen);
    sink->television = edid::Television(d);
    sink->offered = edid::offeredModes(d);
    sink->edid = *chosen;
  }
  return sink;
}

ModeInfo describe(const MutterMode& mode, const Sink& sink, std::int32_t id) {
  ModeInfo info;
  info.id = id;
  info.width = info.logicalWidth = static_cast<std::uint64_t>(std::max(0, mode.width));
  info.height = info.logicalHeight = static_cast<std::uint64_t>(std::max(0, mode.height));
  info.interlaced = mode.interlaced;
  info.valid = true;
  info.safe = true;
  info.hz = mode.refresh;
  // The EDID's timing that the mode is, by size, scan and rate: Mutter gives no totals. A
  // television timing counts within the rule's tolerance (drivers round its clock to whole
  // kHz), another timing within a float32's precision; the nearest wins.
  const edid::OfferedMode* timing = nullptr;
  double distance = 0;
  for (const edid::OfferedMode& o : sink.offered) {
    if (o.timing.hActive != mode.width || o.timing.vActive != mode.height ||
        o.timing.interlaced != mode.interlaced)
      continue;
    const double d = std::abs(o.rateHz - mode.refresh);
    const double tolerance = o.television ? edid::kCtaRateTolerance : 1e-6;
    if (d <= tolerance * o.rateHz && (timing == nullptr || d < distance)) {
      timing = &o;
      distance = d;
    }
  }
  if (timing != nullptr) {
    info.television = timing->television;
    info.hz = timing->rateHz;
  } else if (auto tv = sink.television.of(mode.width, mode.height, mode.interlaced, mode.refresh)) {
    // A mode the EDID does not declare: by size, scan and rate alone.
    info.television = true;
    info.hz = tv->fieldRateHz;
  }
  info.flags = reportFlags(info);
  return info;
}

}  // namespace df::platform::gnome
