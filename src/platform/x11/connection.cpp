#include "platform/x11/connection.h"

#include <algorithm>
#include <cstring>

namespace df::platform::x11 {

namespace {

bool lit(const State& s, const State::Output& o) {
  return o.connected && active(s, o);
}

// A lit output stays the display it was when it lit up: the EDID it had then gives its UUID and
// its television timings until it goes dark or is disconnected. A sink that rewrites its EDID
// while showing a picture (a television's colour setting, a receiver switching inputs) would
// otherwise turn into another display under the service's mode, which the service could then
// neither recognise as its own nor put back.
void settleEdids(State& s) {
  for (State::Output& o : s.outputs) {
    if (lit(s, o) || o.edid.bytes == o.edidNow) continue;
    o.edid = readEdid(o.edidNow);
    o.derived.reset();
  }
}

// After a full read: what the outputs were still holds where nothing it came from changed (the
// EDID facts, decoded once; the derived modes, so that the link's timings stay the same object).
void carryOver(const State& before, State& now) {
  for (State::Output& o : now.outputs) {
    const State::Output* was = before.output(o.id);
    if (was != nullptr && ((lit(before, *was) && lit(now, o)) || was->edid.bytes == o.edidNow)) {
      o.edid = was->edid;
    } else {
      o.edid = readEdid(o.edidNow);
    }
    if (was == nullptr || !was->derived || was->modes != o.modes || was->edid.bytes != o.edid.bytes)
      continue;
    const bool sameModes = std::all_of(o.modes.begin(), o.modes.end(), [&](xcb_randr_mode_t id) {
      auto a = before.modes.find(id);
      auto b = now.modes.find(id);
      return (a == before.modes.end()) == (b == now.modes.end()) &&
             (a == before.modes.end() ||
              std::memcmp(&a->second, &b->second, sizeof(xcb_randr_mode_info_t)) == 0);
    });
    if (sameModes) o.derived = was->derived;
  }
}

}  // namespace

std::unique_ptr<Connection> Connection::connect(const char* display, MainQueue& queue) {
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(display, &screenNumber);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return nullptr;
  }
  auto fail = [c]() -> std::unique_ptr<Connection> {
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

  std::unique_ptr<Connection> x(new Connection(c, screen->root, queue));
  x->mmWidth_ = screen->width_in_millimeters;
  x->mmHeight_ = screen->height_in_millimeters;
  // Events from the start: they keep the state current whether or not notices are watched.
  xcb_void_cookie_t select = xcb_randr_select_input_checked(
      c, screen->root,
      XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
          XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY);
  auto intern = [c](const char* name, bool onlyIfExists) {
    return xcb_intern_atom(c, onlyIfExists ? 1 : 0, static_cast<std::uint16_t>(std::strlen(name)),
                           name);
  };
  const std::array names{"EDID", "ConnectorType", "Panel", "HDMI"};
  std::array<xcb_intern_atom_cookie_t, names.size()> atoms{};
  for (std::size_t i = 0; i < names.size(); ++i) atoms[i] = intern(names[i], false);
  // Only where some client has created them: a name unknown to the server names no property.
  std::array<xcb_intern_atom_cookie_t, kColourKeys> colour{};
  for (std::size_t k = 0; k < kColourKeys; ++k)
    colour[k] = intern(std::array{"max bpc", "Colorspace", "Broadcast RGB"}[k], true);
  auto range = xcb_randr_get_screen_size_range(c, screen->root);

  std::array<xcb_atom_t, names.size()> got{};
  bool ok = true;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(c, atoms[i], nullptr));
    ok = ok && atom;
    got[i] = atom ? atom->atom : 0;
  }
  for (std::size_t k = 0; k < kColourKeys; ++k) {
    Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(c, colour[k], nullptr));
    x->colourAtoms_[k] = atom ? atom->atom : 0;
  }
  Reply<xcb_randr_get_screen_size_range_reply_t> r(
      xcb_randr_get_screen_size_range_reply(c, range, nullptr));
  Reply<xcb_generic_error_t> refused(xcb_request_check(c, select));
  if (!ok || !r || refused) return nullptr;  // the destructor disconnects
  x->edidAtom_ = got[0];
  x->connectorTypeAtom_ = got[1];
  x->panelAtom_ = got[2];
  x->hdmiAtom_ = got[3];
  x->minWidth_ = std::max<std::uint16_t>(1, r->min_width);
  x->minHeight_ = std::max<std::uint16_t>(1, r->min_height);
  x->maxWidth_ = r->max_width;
  x->maxHeight_ = r->max_height;
  return x;
}

Connection::Connection(xcb_connection_t* connection, xcb_window_t root, MainQueue& queue)
    : c_(connection), root_(root), queue_(queue) {
  eventBase_ = xcb_get_extension_data(c_, &xcb_randr_id)->first_event;
}

Connection::~Connection() {
  xcb_disconnect(c_);
}

int Connection::fd() const {
  return xcb_get_file_descriptor(c_);
}

void Connection::markLost() {
  if (lost_) return;
  lost_ = true;
  state_ = State{};
  notified_.reset();
  if (lostHandler_) queue_.post(lostHandler_);
}

void Connection::onLost(std::function<void()> handler) {
  lostHandler_ = std::move(handler);
  if (lost_ && lostHandler_) queue_.post(lostHandler_);
}

bool Connection::counted() {
  ++traffic_.roundTrips;
  if (xcb_connection_has_error(c_)) markLost();
  return !lost_;
}

bool Connection::sync() {
  if (lost_) return false;
  Reply<xcb_get_input_focus_reply_t> reply(
      xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
  if (!counted()) return false;
  pollConnection(true);
  return !lost_;
}

const std::string& Connection::atomName(std::int32_t atom) {
  auto it = atomNames_.find(atom);
  if (it != atomNames_.end()) return it->second;
  std::string name;
  Reply<xcb_get_atom_name_reply_t> reply(
      xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, static_cast<xcb_atom_t>(atom)), nullptr));
  counted();
  if (reply) {
    name.assign(xcb_get_atom_name_name(reply.get()),
                static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
  }
  return atomNames_.emplace(atom, std::move(name)).first->second;
}

const State& Connection::state() {
  pollConnection();
  if (lost_) return state_;
  if (staleAll_) {
    State fresh = readAll();
    if (lost_) return state_;
    carryOver(state_, fresh);
    state_ = std::move(fresh);
    staleAll_ = stalePrimary_ = false;
    staleProperties_.clear();
  } else if (stalePrimary_ || !staleProperties_.empty()) {
    refresh();
  } else {
    return state_;
  }
  settleEdids(state_);
  return state_;
}

Connection::PropertyCookies Connection::askProperties(xcb_randr_output_t output) {
  PropertyCookies p{
      xcb_randr_get_output_property(c_, output, edidAtom_, XCB_ATOM_ANY, 0, 8192, 0, 0),
      xcb_randr_get_output_property(c_, output, connectorTypeAtom_, XCB_ATOM_ANY, 0, 1, 0, 0),
      {}};
  for (std::size_t k = 0; k < kColourKeys; ++k) {
    if (colourAtoms_[k] != 0)
      p.colour[k] =
          xcb_randr_get_output_property(c_, output, colourAtoms_[k], XCB_ATOM_ANY, 0, 1, 0, 0);
  }
  return p;
}

void Connection::takeProperties(State::Output& o, const PropertyCookies& cookies) {
  Reply<xcb_randr_get_output_property_reply_t> edid(
      xcb_randr_get_output_property_reply(c_, cookies.edid, nullptr));
  Reply<xcb_randr_get_output_property_reply_t> connector(
      xcb_randr_get_output_property_reply(c_, cookies.connector, nullptr));
  o.edidNow.clear();
  if (edid) {
    traffic_.replyBytes += 32 + 4ULL * edid->length;
    if (edid->format == 8 && edid->num_items > 0) {
      const auto* bytes = xcb_randr_get_output_property_data(edid.get());
      o.edidNow.assign(bytes, bytes + edid->num_items);
    }
  }
  o.panel = o.hdmi = false;
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
  for (std::size_t k = 0; k < kColourKeys; ++k) {
    if (colourAtoms_[k] == 0) continue;
    Reply<xcb_randr_get_output_property_reply_t> colour(
        xcb_randr_get_output_property_reply(c_, cookies.colour[k], nullptr));
    o.colour[k] = ColourProperty{};
    if (!colour) continue;
    traffic_.replyBytes += 32 + 4ULL * colour->length;
    if (colour->format != 32 || colour->num_items < 1) continue;
    o.colour[k].type = colour->type;
    std::memcpy(&o.colour[k].value, xcb_randr_get_output_property_data(colour.get()),
                sizeof(std::int32_t));
  }
}

State Connection::readAll() {
  State s;
  auto resCookie = xcb_randr_get_screen_resources_current(c_, root_);
  auto primaryCookie = xcb_randr_get_output_primary(c_, root_);
  auto geometryCookie = xcb_get_geometry(c_, root_);
  Reply<xcb_randr_get_screen_resources_current_reply_t> res(
      xcb_randr_get_screen_resources_current_reply(c_, resCookie, nullptr));
  Reply<xcb_randr_get_output_primary_reply_t> primary(
      xcb_randr_get_output_primary_reply(c_, primaryCookie, nullptr));
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c_, geometryCookie, nullptr));
  if (!counted() || !res || !primary || !geometry) return State{};
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

  // The second round trip: every output with its properties, and every CRTC.
  std::vector<std::pair<xcb_randr_get_output_info_cookie_t, PropertyCookies>> oc;
  oc.reserve(static_cast<std::size_t>(outputCount));
  for (int i = 0; i < outputCount; ++i) {
    oc.emplace_back(xcb_randr_get_output_info(c_, outputs[i], res->config_timestamp),
                    askProperties(outputs[i]));
  }
  std::vector<xcb_randr_get_crtc_info_cookie_t> cc;
  cc.reserve(static_cast<std::size_t>(crtcCount));
  for (int i = 0; i < crtcCount; ++i)
    cc.push_back(xcb_randr_get_crtc_info(c_, crtcs[i], res->config_timestamp));

  for (int i = 0; i < outputCount; ++i) {
    Reply<xcb_randr_get_output_info_reply_t> info(
        xcb_randr_get_output_info_reply(c_, oc[i].first, nullptr));
    State::Output o;
    o.id = outputs[i];
    if (info) {
      traffic_.replyBytes += 32 + 4ULL * info->length;
      const auto* name = reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get()));
      o.name.assign(name,
                    static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get())));
      o.connected = info->connection == XCB_RANDR_CONNECTION_CONNECTED;
      o.crtc = info->crtc;
      const xcb_randr_mode_t* listed = xcb_randr_get_output_info_modes(info.get());
      const int listedCount = xcb_randr_get_output_info_modes_length(info.get());
      for (int m = 0; m < listedCount; ++m) {
        // The same modeline from two config sections lists one XID twice.
        if (std::find(o.modes.begin(), o.modes.end(), listed[m]) == o.modes.end())
          o.modes.push_back(listed[m]);
      }
    }
    takeProperties(o, oc[i].second);  // every reply is taken, or it would stay queued
    if (info) s.outputs.push_back(std::move(o));
  }
  for (int i = 0; i < crtcCount; ++i) {
    Reply<xcb_randr_get_crtc_info_reply_t> info(xcb_randr_get_crtc_info_reply(c_, cc[i], nullptr));
    if (!info) continue;
    traffic_.replyBytes += 32 + 4ULL * info->length;
    State::Crtc crtc;
    crtc.id = crtcs[i];
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
  if (!counted()) return State{};
  queryColour(s, nullptr);
  return lost_ ? State{} : s;
}

void Connection::refresh() {
  // One round trip for what the events left unsaid: the primary output and changed properties.
  std::optional<xcb_randr_get_output_primary_cookie_t> primary;
  if (stalePrimary_) primary = xcb_randr_get_output_primary(c_, root_);
  std::vector<std::pair<State::Output*, PropertyCookies>> asked;
  for (xcb_randr_output_t id : staleProperties_) {
    if (State::Output* o = state_.output(id)) asked.emplace_back(o, askProperties(id));
  }
  if (primary) {
    Reply<xcb_randr_get_output_primary_reply_t> reply(
        xcb_randr_get_output_primary_reply(c_, *primary, nullptr));
    if (reply) state_.primary = reply->output;
  }
  for (auto& [o, cookies] : asked) takeProperties(*o, cookies);
  if (!counted()) return;
  queryColour(state_, &staleProperties_);
  stalePrimary_ = false;
  staleProperties_.clear();
}

void Connection::queryColour(State& s, const std::set<xcb_randr_output_t>* only) {
  // One more round trip, only on a server whose HDMI outputs carry colour properties: what
  // values each allows.
  std::vector<std::pair<ColourProperty*, xcb_randr_query_output_property_cookie_t>> queries;
  for (State::Output& o : s.outputs) {
    if (!o.hdmi || o.panel || (only != nullptr && only->count(o.id) == 0)) continue;
    for (std::size_t k = 0; k < kColourKeys; ++k) {
      if (o.colour[k].type != 0)
        queries.emplace_back(&o.colour[k],
                             xcb_randr_query_output_property(c_, o.id, colourAtoms_[k]));
    }
  }
  if (queries.empty()) return;
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
  counted();
}

}  // namespace df::platform::x11
