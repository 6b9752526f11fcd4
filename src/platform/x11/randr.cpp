#include "platform/x11/randr.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/x11/edid_facts.h"

namespace df::platform::x11 {

namespace {

// Replies are malloc'ed by xcb; this frees them on every path.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// RandR reports as current the first listed mode of equal timing, clocks compared in whole kHz.
bool sameTiming(const xcb_randr_mode_info_t& a, const xcb_randr_mode_info_t& b) {
  return a.width == b.width && a.height == b.height && a.hsync_start == b.hsync_start &&
         a.hsync_end == b.hsync_end && a.htotal == b.htotal && a.hskew == b.hskew &&
         a.vsync_start == b.vsync_start && a.vsync_end == b.vsync_end && a.vtotal == b.vtotal &&
         a.mode_flags == b.mode_flags && a.dot_clock / 1000 == b.dot_clock / 1000;
}

bool swapsAxes(std::uint16_t rotation) {
  return (rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270)) != 0;
}

std::uint64_t fnv1a(std::string_view text, std::uint64_t seed) {
  std::uint64_t h = seed;
  for (unsigned char ch : text) {
    h ^= ch;
    h *= 0x100000001b3ULL;
  }
  return h;
}

// A name-derived UUID (version 8, RFC 9562 variant): the same text gives the same UUID on every
// run and machine.
std::string uuidFrom(std::string_view text) {
  std::uint64_t hi = fnv1a(text, 0xcbf29ce484222325ULL);
  std::uint64_t lo = fnv1a(text, 0x84222325cbf29ce4ULL ^ hi);
  hi = (hi & ~0xF000ULL) | 0x8000ULL;
  lo = (lo & ~(0xC0ULL << 56)) | (0x80ULL << 56);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    const std::uint64_t word = i < 8 ? hi : lo;
    const int shift = 56 - 8 * (i % 8);
    const unsigned byte = static_cast<unsigned>((word >> shift) & 0xFF);
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  return out;
}

class X11Config final : public DisplayConfig {
 public:
  std::vector<std::pair<xcb_randr_output_t, xcb_randr_mode_t>> plan;
  bool open = true;
};

X11Config* openConfig(DisplayConfig* config) {
  auto* own = dynamic_cast<X11Config*>(config);
  return own != nullptr && own->open ? own : nullptr;
}

Error fromXError(const xcb_generic_error_t* error) {
  (void)error;
  // Every refusal of a request names an argument the server would not take.
  return kErrorIllegalArgument;
}

}  // namespace

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

void RandrDisplays::pollConnection() {
  if (lost_) return;
  bool changed = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
    const int type = event->response_type & 0x7f;
    if (type == eventBase_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
      const auto* screen = reinterpret_cast<const xcb_randr_screen_change_notify_event_t*>(event);
      const bool swapped = swapsAxes(screen->rotation);
      mmWidth_ = swapped ? screen->mheight : screen->mwidth;
      mmHeight_ = swapped ? screen->mwidth : screen->mheight;
      changed = true;
    } else if (type == eventBase_ + XCB_RANDR_NOTIFY) {
      changed = true;
    }
    std::free(event);
  }
  if (xcb_connection_has_error(c_)) {
    markLost();
    return;
  }
  if (!changed) return;
  cache_.reset();
  if (callback_ != nullptr && !deliveryPosted_) {
    deliveryPosted_ = true;
    queue_.post([this] {
      deliveryPosted_ = false;
      deliver();
    });
  }
}

void RandrDisplays::readEvents() {
  pollConnection();
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

std::unique_ptr<RandrMode> RandrDisplays::describe(const Snapshot::Output& output,
                                                   const xcb_randr_mode_info_t& info,
                                                   xcb_randr_mode_t id) const {
  const bool interlaced = (info.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) != 0;
  std::uint32_t flags = kModeValid | kModeSafe;
  if (interlaced) flags |= kModeInterlaced;
  double hz = 0;
  if (info.htotal != 0 && info.vtotal != 0) {
    // Interlaced vertical values are per frame: the field rate is twice the frame rate.
    hz = static_cast<double>(info.dot_clock) /
         (static_cast<double>(info.htotal) * static_cast<double>(info.vtotal));
    if (interlaced) hz *= 2;
    if ((info.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) != 0) hz /= 2;
  }
  if (auto tv = televisionTiming(output.edid, info)) {
    flags |= kModeTelevision;
    hz = tv->fieldRateHz;
  }
  return std::make_unique<RandrMode>(id, info.width, info.height, hz, flags);
}

namespace {

// The output's modes, one per timing: the first listed of equal timings stands for them all.
std::vector<std::pair<xcb_randr_mode_t, const xcb_randr_mode_info_t*>> distinctModes(
    const Snapshot& s, const Snapshot::Output& output) {
  std::vector<std::pair<xcb_randr_mode_t, const xcb_randr_mode_info_t*>> out;
  for (xcb_randr_mode_t id : output.modes) {
    auto it = s.modes.find(id);
    if (it == s.modes.end()) continue;
    const xcb_randr_mode_info_t& info = it->second;
    if (std::none_of(out.begin(), out.end(),
                     [&info](const auto& kept) { return sameTiming(*kept.second, info); }))
      out.emplace_back(id, &info);
  }
  return out;
}

}  // namespace

Error RandrDisplays::registerReconfigurationCallback(ReconfigurationCallback callback,
                                                     void* userInfo) {
  if (callback == nullptr) return kErrorIllegalArgument;
  xcb_void_cookie_t cookie = xcb_randr_select_input_checked(
      c_, root_,
      XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
          XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY);
  Reply<xcb_generic_error_t> error(xcb_request_check(c_, cookie));
  ++traffic_.roundTrips;
  if (error || xcb_connection_has_error(c_)) return kErrorFailure;
  callback_ = callback;
  userInfo_ = userInfo;
  notified_ = state();
  return kSuccess;
}

namespace {

bool mirrored(const Snapshot& s, const Snapshot::Output& o) {
  const Snapshot::Crtc* crtc = s.crtcOf(o);
  if (crtc == nullptr || crtc->mode == 0) return false;
  if (crtc->outputs.size() > 1) return true;
  for (const auto& [id, other] : s.crtcs) {
    if (id == crtc->id || other.mode == 0 || other.outputs.empty()) continue;
    if (other.x == crtc->x && other.y == crtc->y && other.width == crtc->width &&
        other.height == crtc->height)
      return true;
  }
  return false;
}

bool active(const Snapshot& s, const Snapshot::Output& o) {
  const Snapshot::Crtc* crtc = s.crtcOf(o);
  return crtc != nullptr && crtc->mode != 0;
}

const Snapshot::Output* connected(const Snapshot& s, DisplayID display) {
  const Snapshot::Output* o = s.output(display);
  return o != nullptr && o->connected ? o : nullptr;
}

}  // namespace

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

void RandrDisplays::deliver() {
  if (callback_ == nullptr || lost_) return;
  Snapshot now = state();
  const Snapshot before = notified_ ? std::move(*notified_) : Snapshot{};
  std::vector<std::pair<DisplayID, std::uint32_t>> notices;
  auto timingOf = [](const Snapshot& s, const Snapshot::Output& o) -> const xcb_randr_mode_info_t* {
    const Snapshot::Crtc* crtc = s.crtcOf(o);
    if (crtc == nullptr || crtc->mode == 0) return nullptr;
    auto it = s.modes.find(crtc->mode);
    return it == s.modes.end() ? nullptr : &it->second;
  };
  for (const Snapshot::Output& o : now.outputs) {
    const Snapshot::Output* was = connected(before, o.id);
    if (!o.connected) continue;
    if (was == nullptr) {
      notices.emplace_back(o.id, kAddFlag | (active(now, o) ? kEnabledFlag : 0));
      continue;
    }
    std::uint32_t flags = 0;
    const bool on = active(now, o), wasOn = active(before, *was);
    if (on != wasOn) flags |= on ? kEnabledFlag : kDisabledFlag;
    const auto* t = timingOf(now, o);
    const auto* wt = timingOf(before, *was);
    if ((t == nullptr) != (wt == nullptr) || (t != nullptr && !sameTiming(*t, *wt)))
      flags |= kSetModeFlag;
    const Snapshot::Crtc* crtc = now.crtcOf(o);
    const Snapshot::Crtc* wasCrtc = before.crtcOf(*was);
    if (crtc != nullptr && wasCrtc != nullptr && crtc->mode != 0 && wasCrtc->mode != 0 &&
        (crtc->x != wasCrtc->x || crtc->y != wasCrtc->y))
      flags |= kMovedFlag;
    const bool m = mirrored(now, o), wasM = mirrored(before, *was);
    if (m != wasM) flags |= m ? kMirrorFlag : kUnMirrorFlag;
    if ((now.primary == o.id) != (before.primary == o.id)) flags |= kSetMainFlag;
    // A new mode list or EDID changes what the display offers; a colour property, the
    // connection mode it shows.
    auto colourValues = [](const Snapshot::Output& out) {
      std::array<std::pair<xcb_atom_t, std::int32_t>, kColourKeys> v{};
      for (std::size_t k = 0; k < kColourKeys; ++k)
        v[k] = {out.colour[k].type, out.colour[k].value};
      return v;
    };
    if (o.modes != was->modes || o.edid.bytes != was->edid.bytes ||
        colourValues(o) != colourValues(*was))
      flags |= kSetModeFlag;
    if (flags != 0) notices.emplace_back(o.id, flags);
  }
  for (const Snapshot::Output& o : before.outputs) {
    if (o.connected && connected(now, o.id) == nullptr) notices.emplace_back(o.id, kRemoveFlag);
  }
  notified_ = std::move(now);
  for (const auto& [display, flags] : notices) {
    callback_(display, kBeginConfigurationFlag, userInfo_);
    callback_(display, flags, userInfo_);
  }
}

Error RandrDisplays::getOnlineDisplayList(std::uint32_t capacity, DisplayID* displays,
                                          std::uint32_t* count) {
  if (count == nullptr) return kErrorIllegalArgument;
  const Snapshot& s = state();
  if (lost_) return kErrorFailure;
  std::uint32_t n = 0;
  for (const Snapshot::Output& o : s.outputs) {
    if (!o.connected) continue;
    if (displays != nullptr && n < capacity) displays[n] = o.id;
    ++n;
  }
  *count = displays == nullptr ? n : std::min(n, capacity);
  return kSuccess;
}

UUIDHandle RandrDisplays::createUUIDFromDisplayID(DisplayID display) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  if (o == nullptr) return nullptr;
  std::string key;
  if (o->edid.present) {
    key = "edid:" + o->edid.identity;
    // Two connected displays with one identity are told apart by their connectors.
    const bool shared = std::any_of(s.outputs.begin(), s.outputs.end(), [o](const auto& other) {
      return other.id != o->id && other.connected && other.edid.present &&
             other.edid.identity == o->edid.identity;
    });
    if (shared) key += "|output:" + o->name;
  } else {
    key = "output:" + o->name;
  }
  return std::make_unique<TextUUID>(uuidFrom(key));
}

bool RandrDisplays::displayIsActive(DisplayID display) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  return o != nullptr && active(s, *o);
}

bool RandrDisplays::displayIsBuiltin(DisplayID display) {
  const Snapshot::Output* o = connected(state(), display);
  return o != nullptr && o->panel;
}

bool RandrDisplays::displayIsInMirrorSet(DisplayID display) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  return o != nullptr && mirrored(s, *o);
}

bool RandrDisplays::displayIsInHWMirrorSet(DisplayID display) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  const Snapshot::Crtc* crtc = o != nullptr ? s.crtcOf(*o) : nullptr;
  return crtc != nullptr && crtc->mode != 0 && crtc->outputs.size() > 1;
}

ModeHandle RandrDisplays::copyDisplayMode(DisplayID display) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  const Snapshot::Crtc* crtc = o != nullptr ? s.crtcOf(*o) : nullptr;
  if (crtc == nullptr || crtc->mode == 0) return nullptr;
  auto shown = s.modes.find(crtc->mode);
  if (shown == s.modes.end()) return nullptr;
  // The mode of the output's list that stands for this timing, so that the current mode and its
  // entry in the list are one mode.
  for (xcb_randr_mode_t id : o->modes) {
    auto it = s.modes.find(id);
    if (it != s.modes.end() && sameTiming(it->second, shown->second))
      return describe(*o, it->second, id);
  }
  return describe(*o, shown->second, crtc->mode);
}

std::optional<std::vector<ModeHandle>> RandrDisplays::copyAllDisplayModes(DisplayID display, bool) {
  const Snapshot& s = state();
  const Snapshot::Output* o = connected(s, display);
  if (o == nullptr) return std::nullopt;
  std::vector<ModeHandle> out;
  for (const auto& [id, info] : distinctModes(s, *o)) out.push_back(describe(*o, *info, id));
  return out;
}

Error RandrDisplays::beginConfiguration(ConfigHandle& config) {
  config.reset();
  if (lost_) return kErrorFailure;
  config = std::make_unique<X11Config>();
  return kSuccess;
}

Error RandrDisplays::configureDisplayWithMode(DisplayConfig& config, DisplayID display,
                                              const DisplayMode* mode) {
  X11Config* open = openConfig(&config);
  const auto* m = dynamic_cast<const RandrMode*>(mode);
  if (open == nullptr || m == nullptr) return kErrorIllegalArgument;
  if (connected(state(), display) == nullptr) return kErrorIllegalArgument;
  auto it = std::find_if(open->plan.begin(), open->plan.end(),
                         [display](const auto& p) { return p.first == display; });
  if (it != open->plan.end()) {
    it->second = m->id();
  } else {
    open->plan.emplace_back(display, m->id());
  }
  return kSuccess;
}

Error RandrDisplays::completeConfiguration(ConfigHandle config, std::uint32_t) {
  X11Config* open = openConfig(config.get());
  if (open == nullptr) return kErrorIllegalArgument;
  open->open = false;
  if (lost_) return kErrorFailure;
  if (open->plan.empty()) return kSuccess;
  xcb_grab_server(c_);
  const Error result = apply(open->plan);
  xcb_ungrab_server(c_);
  xcb_flush(c_);
  cache_.reset();
  if (xcb_connection_has_error(c_)) markLost();
  return lost_ ? kErrorFailure : result;
}

Error RandrDisplays::cancelConfiguration(ConfigHandle config) {
  X11Config* open = openConfig(config.get());
  if (open == nullptr) return kErrorIllegalArgument;
  open->open = false;
  return kSuccess;
}

Error RandrDisplays::apply(
    const std::vector<std::pair<xcb_randr_output_t, xcb_randr_mode_t>>& plan) {
  // Read again under the grab: nobody changes the configuration between this and the change.
  const Snapshot s = read();
  if (lost_) return kErrorFailure;

  struct Change {
    const Snapshot::Crtc* crtc;
    xcb_randr_mode_t mode;
    std::uint16_t width, height;
  };
  std::vector<Change> changes;
  for (const auto& [output, mode] : plan) {
    const Snapshot::Output* o = connected(s, output);
    if (o == nullptr) return kErrorIllegalArgument;
    const Snapshot::Crtc* crtc = s.crtcOf(*o);
    if (crtc == nullptr || crtc->mode == 0) return kErrorCannotComplete;
    auto info = s.modes.find(mode);
    if (info == s.modes.end() ||
        std::find(o->modes.begin(), o->modes.end(), mode) == o->modes.end())
      return kErrorIllegalArgument;
    const bool swap = swapsAxes(crtc->rotation);
    changes.push_back({crtc, mode, swap ? info->second.height : info->second.width,
                       swap ? info->second.width : info->second.height});
  }

  // The area the lit CRTCs cover, before the change or after it; the screen must hold it.
  auto litArea = [&](bool changed) {
    std::uint32_t w = minWidth_, h = minHeight_;
    for (const auto& [id, crtc] : s.crtcs) {
      if (crtc.mode == 0) continue;
      std::uint32_t cw = crtc.width, ch = crtc.height;
      for (const Change& c : changes) {
        if (changed && c.crtc->id == id) {
          cw = c.width;
          ch = c.height;
        }
      }
      w = std::max<std::uint32_t>(w, static_cast<std::uint32_t>(std::max(0, int{crtc.x})) + cw);
      h = std::max<std::uint32_t>(h, static_cast<std::uint32_t>(std::max(0, int{crtc.y})) + ch);
    }
    return std::pair{w, h};
  };
  const auto [needW, needH] = litArea(true);
  if (needW > maxWidth_ || needH > maxHeight_) return kErrorIllegalArgument;

  auto mm = [](std::uint32_t px, std::uint32_t oldPx, std::uint32_t oldMm) {
    // Keep the screen's pixel density; 96 dpi when it is unknown.
    if (oldPx == 0 || oldMm == 0) return static_cast<std::uint32_t>(std::lround(px * 25.4 / 96));
    return static_cast<std::uint32_t>(std::lround(double(px) * oldMm / oldPx));
  };
  auto setScreen = [&](std::uint32_t w, std::uint32_t h) -> Error {
    xcb_void_cookie_t cookie = xcb_randr_set_screen_size_checked(
        c_, root_, static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h),
        mm(w, s.screenWidth, s.screenMmWidth), mm(h, s.screenHeight, s.screenMmHeight));
    Reply<xcb_generic_error_t> error(xcb_request_check(c_, cookie));
    ++traffic_.roundTrips;
    return error ? fromXError(error.get()) : kSuccess;
  };
  auto setCrtc = [&](const Snapshot::Crtc& crtc, xcb_randr_mode_t mode) -> Error {
    auto cookie = xcb_randr_set_crtc_config(
        c_, crtc.id, XCB_CURRENT_TIME, s.configTimestamp, crtc.x, crtc.y, mode, crtc.rotation,
        static_cast<std::uint32_t>(crtc.outputs.size()), crtc.outputs.data());
    xcb_generic_error_t* raw = nullptr;
    Reply<xcb_randr_set_crtc_config_reply_t> reply(
        xcb_randr_set_crtc_config_reply(c_, cookie, &raw));
    Reply<xcb_generic_error_t> error(raw);
    ++traffic_.roundTrips;
    if (error) return fromXError(error.get());
    if (!reply) return kErrorFailure;
    return reply->status == XCB_RANDR_SET_CONFIG_SUCCESS ? kSuccess : kErrorCannotComplete;
  };

  // The screen follows the lit area when it fitted it before, as after a desktop's own change;
  // a screen made larger on purpose only grows.
  const auto [hadW, hadH] = litArea(false);
  const std::uint32_t oldW = s.screenWidth, oldH = s.screenHeight;
  const std::uint32_t finalW = oldW == hadW ? needW : std::max(needW, oldW);
  const std::uint32_t finalH = oldH == hadH ? needH : std::max(needH, oldH);
  const bool grow = finalW > oldW || finalH > oldH;
  if (grow) {
    if (Error e = setScreen(std::max(finalW, oldW), std::max(finalH, oldH)); e != kSuccess)
      return e;
  }
  std::size_t done = 0;
  Error failed = kSuccess;
  for (; done < changes.size(); ++done) {
    failed = setCrtc(*changes[done].crtc, changes[done].mode);
    if (failed != kSuccess) break;
  }
  if (failed != kSuccess) {
    // Each CRTC change took effect at once: set back the ones made, then the screen.
    for (std::size_t i = 0; i < done; ++i) setCrtc(*changes[i].crtc, changes[i].crtc->mode);
    if (grow) setScreen(oldW, oldH);
    return failed;
  }
  // Shrinking comes after the CRTCs; a failure leaves only unused screen area.
  if (finalW < std::max(finalW, oldW) || finalH < std::max(finalH, oldH)) setScreen(finalW, finalH);
  return kSuccess;
}

std::string RandrDisplays::outputName(DisplayID display) {
  const Snapshot::Output* o = state().output(display);
  return o != nullptr ? o->name : std::string();
}

bool RandrDisplays::isPrimary(DisplayID display) {
  return state().primary == display && display != 0;
}

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
