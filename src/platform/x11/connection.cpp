// The connection to the server and the state kept from it: connecting, reading the server's
// state in few round trips, and losing the connection.
#include <algorithm>
#include <cstring>

#include "platform/x11/edid_facts.h"
#include "platform/x11/randr.h"
#include "platform/x11/randr_internal.h"

namespace df::platform::x11 {

const Snapshot::Output* Snapshot::output(xcb_randr_output_t id) const {
  for (const Output& o : outputs)
    if (o.id == id) return &o;
  return nullptr;
}

const Snapshot::Crtc* Snapshot::crtcOf(const Output& o) const {
  if (o.crtc == 0) return nullptr;
  auto it = crtcs.find(o.crtc);
  return it == crtcs.end() ? nullptr : &it->second;
}

std::unique_ptr<RandrDisplays> RandrDisplays::connect(const char* display, MainQueue& queue) {
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(display, &screenNumber);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return nullptr;
  }
  auto fail = [c]() -> std::unique_ptr<RandrDisplays> {
    xcb_disconnect(c);
    return nullptr;
  };
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
  if (ext == nullptr || !ext->present) return fail();
  Reply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
  // The current-resources and primary-output requests came with 1.3.
  if (!version || version->major_version != 1 || version->minor_version < 3) return fail();

  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0) return fail();
  const xcb_screen_t* screen = it.data;

  std::unique_ptr<RandrDisplays> d(new RandrDisplays(c, screen->root, queue));
  d->mmWidth_ = screen->width_in_millimeters;
  d->mmHeight_ = screen->height_in_millimeters;
  auto intern = [c](const char* name) {
    return xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
  };
  auto edid = intern("EDID");
  auto connector = intern("ConnectorType");
  auto panel = intern("Panel");
  auto hdmi = intern("HDMI");
  // Only where some client has created them: a name unknown to the server names no property.
  std::array<xcb_intern_atom_cookie_t, kColourKeys> colour{};
  for (std::size_t k = 0; k < kColourKeys; ++k) {
    const char* name = std::array{"max bpc", "Colorspace", "Broadcast RGB"}[k];
    colour[k] = xcb_intern_atom(c, 1, static_cast<std::uint16_t>(std::strlen(name)), name);
  }
  auto range = xcb_randr_get_screen_size_range(c, screen->root);
  Reply<xcb_intern_atom_reply_t> a(xcb_intern_atom_reply(c, edid, nullptr));
  Reply<xcb_intern_atom_reply_t> b(xcb_intern_atom_reply(c, connector, nullptr));
  Reply<xcb_intern_atom_reply_t> p(xcb_intern_atom_reply(c, panel, nullptr));
  Reply<xcb_intern_atom_reply_t> h(xcb_intern_atom_reply(c, hdmi, nullptr));
  Reply<xcb_randr_get_screen_size_range_reply_t> r(
      xcb_randr_get_screen_size_range_reply(c, range, nullptr));
  for (std::size_t k = 0; k < kColourKeys; ++k) {
    Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(c, colour[k], nullptr));
    d->colourAtoms_[k] = atom ? atom->atom : 0;
  }
  if (!a || !b || !p || !h || !r) return nullptr;  // the destructor disconnects
  d->edidAtom_ = a->atom;
  d->connectorTypeAtom_ = b->atom;
  d->panelAtom_ = p->atom;
  d->hdmiAtom_ = h->atom;
  d->minWidth_ = std::max<std::uint16_t>(1, r->min_width);
  d->minHeight_ = std::max<std::uint16_t>(1, r->min_height);
  d->maxWidth_ = r->max_width;
  d->maxHeight_ = r->max_height;
  return d;
}

RandrDisplays::RandrDisplays(xcb_connection_t* connection, xcb_window_t root, MainQueue& queue)
    : c_(connection), root_(root), queue_(queue) {
  eventBase_ = xcb_get_extension_data(c_, &xcb_randr_id)->first_event;
}

RandrDisplays::~RandrDisplays() {
  xcb_disconnect(c_);
}

int RandrDisplays::fd() const {
  return xcb_get_file_descriptor(c_);
}

void RandrDisplays::markLost() {
  if (lost_) return;
  lost_ = true;
  cache_ = Snapshot{};
  if (lostHandler_) queue_.post(lostHandler_);
}

void RandrDisplays::onLost(std::function<void()> handler) {
  lostHandler_ = std::move(handler);
  if (lost_ && lostHandler_) queue_.post(lostHandler_);
}

const Snapshot& RandrDisplays::state() {
  pollConnection();
  if (!cache_) {
    cache_ = read();
    keepEdids(*cache_);
  }
  return *cache_;
}

Snapshot RandrDisplays::read() {
  Snapshot s;
  if (lost_) return s;
  auto resCookie = xcb_randr_get_screen_resources_current(c_, root_);
  auto primaryCookie = xcb_randr_get_output_primary(c_, root_);
  auto geometryCookie = xcb_get_geometry(c_, root_);
  Reply<xcb_randr_get_screen_resources_current_reply_t> res(
      xcb_randr_get_screen_resources_current_reply(c_, resCookie, nullptr));
  Reply<xcb_randr_get_output_primary_reply_t> primary(
      xcb_randr_get_output_primary_reply(c_, primaryCookie, nullptr));
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c_, geometryCookie, nullptr));
  ++traffic_.roundTrips;
  if (!res || !primary || !geometry) {
    if (xcb_connection_has_error(c_)) markLost();
    return Snapshot{};
  }
  traffic_.replyBytes += 32 + 4ULL * (res->length + primary->length + geometry->length) + 64;
  s.configTimestamp = res->config_timestamp;
  s.primary = primary->output;
  s.screenWidth = geometry->width;
  s.screenHeight = geometry->height;
  s.screenMmWidth = mmWidth_;
  s.screenMmHeight = mmHeight_;

  const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res.get());
  const int modeCount = xcb_randr_get_screen_resources_current_modes_length(res.get());
  for (int i = 0; i < modeCount; ++i) s.modes.emplace(modes[i].id, modes[i]);

  const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
  const int outputCount = xcb_randr_get_screen_resources_current_outputs_length(res.get());
  const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(res.get());
  const int crtcCount = xcb_randr_get_screen_resources_current_crtcs_length(res.get());

  // The second round trip: every output, its EDID and connector type, and every CRTC.
  struct OutputCookies {
    xcb_randr_get_output_info_cookie_t info;
    xcb_randr_get_output_property_cookie_t edid, connector;
    std::array<xcb_randr_get_output_property_cookie_t, kColourKeys> colour;
  };
  std::vector<OutputCookies> oc;
  oc.reserve(static_cast<std::size_t>(outputCount));
  for (int i = 0; i < outputCount; ++i) {
    oc.push_back(
        {xcb_randr_get_output_info(c_, outputs[i], res->config_timestamp),
         xcb_randr_get_output_property(c_, outputs[i], edidAtom_, XCB_ATOM_ANY, 0, 8192, 0, 0),
         xcb_randr_get_output_property(c_, outputs[i], connectorTypeAtom_, XCB_ATOM_ANY, 0, 1, 0,
                                       0),
         {}});
    for (std::size_t k = 0; k < kColourKeys; ++k) {
      if (colourAtoms_[k] != 0)
        oc.back().colour[k] = xcb_randr_get_output_property(c_, outputs[i], colourAtoms_[k],
                                                            XCB_ATOM_ANY, 0, 1, 0, 0);
    }
  }
  std::vector<xcb_randr_get_crtc_info_cookie_t> cc;
  cc.reserve(static_cast<std::size_t>(crtcCount));
  for (int i = 0; i < crtcCount; ++i)
    cc.push_back(xcb_randr_get_crtc_info(c_, crtcs[i], res->config_timestamp));
  ++traffic_.roundTrips;

  for (int i = 0; i < outputCount; ++i) {
    Reply<xcb_randr_get_output_info_reply_t> info(
        xcb_randr_get_output_info_reply(c_, oc[i].info, nullptr));
    Reply<xcb_randr_get_output_property_reply_t> edid(
        xcb_randr_get_output_property_reply(c_, oc[i].edid, nullptr));
    Reply<xcb_randr_get_output_property_reply_t> connector(
        xcb_randr_get_output_property_reply(c_, oc[i].connector, nullptr));
    std::array<Reply<xcb_randr_get_output_property_reply_t>, kColourKeys> colour;
    for (std::size_t k = 0; k < kColourKeys; ++k) {
      if (colourAtoms_[k] != 0)
        colour[k].reset(xcb_randr_get_output_property_reply(c_, oc[i].colour[k], nullptr));
    }
    if (!info) continue;
    traffic_.replyBytes += 32 + 4ULL * info->length;
    Snapshot::Output o;
    for (std::size_t k = 0; k < kColourKeys; ++k) {
      if (!colour[k]) continue;
      traffic_.replyBytes += 32 + 4ULL * colour[k]->length;
      if (colour[k]->format != 32 || colour[k]->num_items < 1) continue;
      o.colour[k].type = colour[k]->type;
      std::memcpy(&o.colour[k].value, xcb_randr_get_output_property_data(colour[k].get()),
                  sizeof(std::int32_t));
    }
    o.id = outputs[i];
    const auto* name = reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get()));
    o.name.assign(name,
                  static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get())));
    o.connected = info->connection == XCB_RANDR_CONNECTION_CONNECTED;
    o.crtc = info->crtc;
    const xcb_randr_crtc_t* possible = xcb_randr_get_output_info_crtcs(info.get());
    o.crtcs.assign(possible, possible + xcb_randr_get_output_info_crtcs_length(info.get()));
    const xcb_randr_mode_t* listed = xcb_randr_get_output_info_modes(info.get());
    const int listedCount = xcb_randr_get_output_info_modes_length(info.get());
    for (int m = 0; m < listedCount; ++m) {
      // The same modeline from two config sections lists one XID twice.
      if (std::find(o.modes.begin(), o.modes.end(), listed[m]) == o.modes.end())
        o.modes.push_back(listed[m]);
    }
    if (edid) {
      traffic_.replyBytes += 32 + 4ULL * edid->length;
      if (edid->format == 8 && edid->num_items > 0) {
        const auto* bytes = xcb_randr_get_output_property_data(edid.get());
        o.edid = readEdid({bytes, bytes + edid->num_items});
      }
    }
    if (connector) {
      traffic_.replyBytes += 32 + 4ULL * connector->length;
      if (connector->format == 32 && connector->num_items >= 1 && panelAtom_ != 0) {
        std::uint32_t atom = 0;
        std::memcpy(&atom, xcb_randr_get_output_property_data(connector.get()), sizeof atom);
        o.panel = atom == panelAtom_;
        o.hdmi = atom == hdmiAtom_;
      }
    }
    for (const char* prefix : {"eDP", "LVDS", "DSI"}) {
      if (o.name.rfind(prefix, 0) == 0) o.panel = true;
    }
    if (o.name.rfind("HDMI", 0) == 0) o.hdmi = true;
    s.outputs.push_back(std::move(o));
  }
  for (int i = 0; i < crtcCount; ++i) {
    Reply<xcb_randr_get_crtc_info_reply_t> info(xcb_randr_get_crtc_info_reply(c_, cc[i], nullptr));
    if (!info) continue;
    traffic_.replyBytes += 32 + 4ULL * info->length;
    Snapshot::Crtc crtc;
    crtc.id = crtcs[i];
    crtc.timestamp = info->timestamp;
    crtc.x = info->x;
    crtc.y = info->y;
    crtc.width = info->width;
    crtc.height = info->height;
    crtc.mode = info->mode;
    crtc.rotation = info->rotation;
    const xcb_randr_output_t* on = xcb_randr_get_crtc_info_outputs(info.get());
    crtc.outputs.assign(on, on + xcb_randr_get_crtc_info_outputs_length(info.get()));
    s.crtcs.emplace(crtc.id, std::move(crtc));
  }
  readColour(s);
  if (xcb_connection_has_error(c_)) {
    markLost();
    return Snapshot{};
  }
  return s;
}

void RandrDisplays::readColour(Snapshot& s) {
  // One more round trip, only on a server whose HDMI outputs carry colour properties: what
  // values each allows.
  std::vector<std::pair<ColourProperty*, xcb_randr_query_output_property_cookie_t>> queries;
  for (Snapshot::Output& o : s.outputs) {
    if (!o.hdmi || o.panel) continue;
    for (std::size_t k = 0; k < kColourKeys; ++k) {
      if (o.colour[k].type != 0)
        queries.emplace_back(&o.colour[k],
                             xcb_randr_query_output_property(c_, o.id, colourAtoms_[k]));
    }
  }
  if (queries.empty()) return;
  ++traffic_.roundTrips;
  for (auto& [property, cookie] : queries) {
    Reply<xcb_randr_query_output_property_reply_t> reply(
        xcb_randr_query_output_property_reply(c_, cookie, nullptr));
    if (!reply) continue;
    traffic_.replyBytes += 32 + 4ULL * reply->length;
    property->pending = reply->pending != 0;
    property->range = reply->range != 0;
    const std::int32_t* valid = xcb_randr_query_output_property_valid_values(reply.get());
    property->valid.assign(
        valid, valid + xcb_randr_query_output_property_valid_values_length(reply.get()));
  }
}

const std::string& RandrDisplays::atomName(std::int32_t atom) {
  auto it = atomNames_.find(atom);
  if (it != atomNames_.end()) return it->second;
  std::string name;
  Reply<xcb_get_atom_name_reply_t> reply(
      xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, static_cast<xcb_atom_t>(atom)), nullptr));
  ++traffic_.roundTrips;
  if (reply) {
    name.assign(xcb_get_atom_name_name(reply.get()),
                static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
  }
  return atomNames_.emplace(atom, std::move(name)).first->second;
}

void RandrDisplays::keepEdids(Snapshot& s) {
  // A lit output stays the display it was when it lit up: the EDID it had then gives its UUID
  // and its television timings until it goes dark or is disconnected. A sink that rewrites its
  // EDID while showing a picture (a television's colour setting, a receiver switching inputs)
  // would otherwise turn into another display under the service's mode, which the service
  // could then neither recognise as its own nor put back.
  std::map<xcb_randr_output_t, EdidFacts> kept;
  for (Snapshot::Output& o : s.outputs) {
    if (!o.connected || !active(s, o)) continue;
    if (auto it = keptEdids_.find(o.id); it != keptEdids_.end()) o.edid = std::move(it->second);
    kept.emplace(o.id, o.edid);
  }
  keptEdids_ = std::move(kept);
}

}  // namespace df::platform::x11
