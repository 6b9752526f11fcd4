#include "platform/gnome/bus.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <string_view>

namespace df::platform::gnome {

namespace {

constexpr const char* kName = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kPath = "/org/gnome/Mutter/DisplayConfig";
constexpr const char* kInterface = "org.gnome.Mutter.DisplayConfig";
// Long enough for a mode set that trains an HDMI link; the loop waits meanwhile.
constexpr std::uint64_t kCallTimeoutUs = 10'000'000;

// Owns a message reference.
struct Message {
  sd_bus_message* m = nullptr;
  Message() = default;
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
  ~Message() { sd_bus_message_unref(m); }
};

// Owns an error's texts.
struct Error {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  Error() = default;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  ~Error() { sd_bus_error_free(&e); }
};

// Reads a message, remembering the first failure instead of checking each step.
class Reader {
 public:
  explicit Reader(sd_bus_message* m) : m_(m) {}
  bool ok() const { return ok_; }

  bool enter(char type, const char* contents) {
    return step(sd_bus_message_enter_container(m_, type, contents));
  }
  void exit() { step(sd_bus_message_exit_container(m_)); }
  // Enters the next element of the array being read; false at its end (or after a failure).
  bool more(char type, const char* contents) {
    if (!ok_) return false;
    const int r = sd_bus_message_enter_container(m_, type, contents);
    if (r < 0) ok_ = false;
    return r > 0;
  }
  // The next double of the array being read; false at its end.
  bool next(double& value) {
    if (!ok_) return false;
    const int r = sd_bus_message_read_basic(m_, 'd', &value);
    if (r < 0) ok_ = false;
    return r > 0;
  }
  void skip(const char* types) { step(sd_bus_message_skip(m_, types)); }

  std::string text() {
    const char* s = nullptr;
    step(sd_bus_message_read_basic(m_, 's', &s));
    return ok_ && s != nullptr ? std::string(s) : std::string();
  }
  std::int32_t int32() { return basic<std::int32_t>('i'); }
  std::uint32_t uint32() { return basic<std::uint32_t>('u'); }
  double real() { return basic<double>('d'); }
  bool boolean() { return basic<int>('b') != 0; }

  // Reads an a{sv}, giving each key and the variant's signature to visit, which reads the
  // value (with the reader's typed reads) and returns true, or returns false to have it skipped.
  template <typename Visit>
  void properties(Visit visit) {
    if (!enter('a', "{sv}")) return;
    while (more('e', "sv")) {
      const std::string key = text();
      char type = 0;
      const char* contents = nullptr;
      step(sd_bus_message_peek_type(m_, &type, &contents));
      if (!ok_) return;
      if (enter('v', contents)) {
        if (!visit(key, std::string_view(contents))) skip(contents);
        exit();
      }
      exit();
    }
    exit();
  }

  // The fields of a monitor's identity, in the structure just entered, which this leaves.
  void identity(MonitorIdentity& s) {
    s.connector = text();
    s.vendor = text();
    s.product = text();
    s.serial = text();
    exit();
  }

 private:
  template <typename T>
  T basic(char type) {
    T value{};
    step(sd_bus_message_read_basic(m_, type, &value));
    return value;
  }
  bool step(int r) {
    if (r <= 0) ok_ = false;
    return ok_;
  }

  sd_bus_message* m_;
  bool ok_ = true;
};

bool readState(sd_bus_message* reply, State& s) {
  Reader r(reply);
  s = State{};
  s.serial = r.uint32();
  if (r.enter('a', "((ssss)a(siiddada{sv})a{sv})")) {
    while (r.more('r', "(ssss)a(siiddada{sv})a{sv}")) {
      Monitor m;
      if (r.enter('r', "ssss")) r.identity(m.identity);
      if (r.enter('a', "(siiddada{sv})")) {
        while (r.more('r', "siiddada{sv}")) {
          MutterMode mode;
          mode.id = r.text();
          mode.width = r.int32();
          mode.height = r.int32();
          mode.refresh = r.real();
          mode.preferredScale = r.real();
          if (r.enter('a', "d")) {
            double scale = 0;
            while (r.next(scale)) mode.scales.push_back(scale);
            r.exit();
          }
          r.properties([&](const std::string& key, std::string_view type) {
            if (type != "b") return false;
            const bool value = r.boolean();
            if (key == "is-current") mode.current = value;
            if (key == "is-preferred") mode.preferred = value;
            if (key == "is-interlaced") mode.interlaced = value;
            return true;
          });
          r.exit();
          m.modes.push_back(std::move(mode));
        }
        r.exit();
      }
      r.properties([&](const std::string& key, std::string_view type) {
        if (key == "is-builtin" && type == "b") {
          m.builtin = r.boolean();
          return true;
        }
        if (key == "display-name" && type == "s") {
          m.displayName = r.text();
          return true;
        }
        return false;
      });
      r.exit();
      s.monitors.push_back(std::move(m));
    }
    r.exit();
  }
  if (r.enter('a', "(iiduba(ssss)a{sv})")) {
    while (r.more('r', "iiduba(ssss)a{sv}")) {
      LogicalMonitor l;
      l.x = r.int32();
      l.y = r.int32();
      l.scale = r.real();
      l.transform = r.uint32();
      l.primary = r.boolean();
      if (r.enter('a', "(ssss)")) {
        while (r.more('r', "ssss")) {
          MonitorIdentity identity;
          r.identity(identity);
          l.monitors.push_back(std::move(identity));
        }
        r.exit();
      }
      r.skip("a{sv}");
      r.exit();
      s.logical.push_back(std::move(l));
    }
    r.exit();
  }
  r.properties([&](const std::string& key, std::string_view type) {
    if (key == "layout-mode" && type == "u") {
      s.layoutMode = r.uint32();
      return true;
    }
    if (key == "supports-changing-layout-mode" && type == "b") {
      s.layoutModeChangeable = r.boolean();
      return true;
    }
    return false;
  });
  return r.ok();
}

bool appendConfig(sd_bus_message* m, std::uint32_t serial,
                  const std::vector<LogicalChoice>& logical,
                  std::optional<std::uint32_t> layoutMode) {
  int r = sd_bus_message_append(m, "uu", serial, std::uint32_t{1});
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(iiduba(ssa{sv}))");
  for (const LogicalChoice& l : logical) {
    if (r >= 0) r = sd_bus_message_open_container(m, 'r', "iiduba(ssa{sv})");
    if (r >= 0)
      r = sd_bus_message_append(m, "iidub", l.x, l.y, l.scale, l.transform, int{l.primary});
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(ssa{sv})");
    for (const MonitorChoice& c : l.monitors)
      if (r >= 0) r = sd_bus_message_append(m, "(ssa{sv})", c.connector.c_str(), c.mode.c_str(), 0);
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_close_container(m);
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r < 0) return false;
  if (layoutMode) return sd_bus_message_append(m, "a{sv}", 1, "layout-mode", "u", *layoutMode) >= 0;
  return sd_bus_message_append(m, "a{sv}", 0) >= 0;
}

bool gone(int r, const sd_bus_error& e) {
  // The connection failed, or nobody owns Mutter's name any more.
  return r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || r == -ESHUTDOWN ||
         sd_bus_error_has_names(&e, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER,
                                SD_BUS_ERROR_DISCONNECTED);
}

}  // namespace

std::unique_ptr<MutterBus> MutterBus::connect() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return nullptr;
  return std::unique_ptr<MutterBus>(new MutterBus(bus));
}

MutterBus::~MutterBus() {
  sd_bus_slot_unref(changedSlot_);
  sd_bus_slot_unref(ownerSlot_);
  sd_bus_slot_unref(propertiesSlot_);
  sd_bus_flush_close_unref(bus_);
}

bool MutterBus::hasMutter() {
  Message reply;
  Error error;
  ++calls_;
  const int r =
      sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", &error.e, &reply.m, "s", kName);
  int has = 0;
  return r >= 0 && sd_bus_message_read_basic(reply.m, 'b', &has) > 0 && has != 0;
}

bool MutterBus::listen(std::function<void(std::uint64_t)> changed, std::function<void()> gone) {
  changed_ = std::move(changed);
  gone_ = std::move(gone);
  // Matched by path and interface: the daemon routes by the sender's unique name, which a match
  // on Mutter's well-known name would need resolving first.
  if (sd_bus_match_signal(bus_, &changedSlot_, nullptr, kPath, kInterface, "MonitorsChanged",
                          &MutterBus::onChanged, this) < 0)
    return false;
  const std::string owner =
      std::string(
          "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
          "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
      kName + "'";
  if (sd_bus_add_match(bus_, &ownerSlot_, owner.c_str(), &MutterBus::onOwner, this) < 0)
    return false;
  const std::string properties =
      std::string("type='signal',path='") + kPath +
      "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',arg0='" +
      kInterface + "'";
  return sd_bus_add_match(bus_, &propertiesSlot_, properties.c_str(), &MutterBus::onProperties,
                          this) >= 0;
}

int MutterBus::onProperties(sd_bus_message*, void* self, sd_bus_error*) {
  static_cast<MutterBus*>(self)->allowed_.reset();
  return 0;
}

int MutterBus::onChanged(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* bus = static_cast<MutterBus*>(self);
  std::uint64_t cookie = 0;
  sd_bus_message_get_cookie(m, &cookie);
  if (bus->changed_) bus->changed_(cookie);
  return 0;
}

int MutterBus::onOwner(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* bus = static_cast<MutterBus*>(self);
  const char* name = nullptr;
  const char* before = nullptr;
  const char* after = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0 || after == nullptr) return 0;
  if (*after == '\0') {
    bus->lost();
  } else {
    // Another Mutter took over (mutter --replace): what it shows is to be read again.
    bus->allowed_.reset();
    if (bus->changed_) bus->changed_(UINT64_MAX);
  }
  return 0;
}

void MutterBus::lost() {
  if (goneSaid_) return;
  goneSaid_ = true;
  if (gone_) gone_();
}

Answer MutterBus::currentState(State& out, std::uint64_t& cookie) {
  Message reply;
  Error error;
  ++calls_;
  const int r =
      sd_bus_call_method(bus_, kName, kPath, kInterface, "GetCurrentState", &error.e, &reply.m, "");
  if (r < 0) {
    if (!gone(r, error.e)) return Answer::kRefused;
    lost();
    return Answer::kGone;
  }
  cookie = 0;
  sd_bus_message_get_cookie(reply.m, &cookie);
  return readState(reply.m, out) ? Answer::kDone : Answer::kRefused;
}

Answer MutterBus::apply(std::uint32_t serial, const std::vector<LogicalChoice>& logical,
                        std::optional<std::uint32_t> layoutMode, std::uint64_t& cookie) {
  Message call;
  Message reply;
  Error error;
  if (sd_bus_message_new_method_call(bus_, &call.m, kName, kPath, kInterface,
                                     "ApplyMonitorsConfig") < 0 ||
      !appendConfig(call.m, serial, logical, layoutMode))
    return Answer::kRefused;
  ++calls_;
  const int r = sd_bus_call(bus_, call.m, kCallTimeoutUs, &error.e, &reply.m);
  if (r >= 0) {
    cookie = 0;
    sd_bus_message_get_cookie(reply.m, &cookie);
    return Answer::kDone;
  }
  if (gone(r, error.e)) {
    lost();
    return Answer::kGone;
  }
  // Mutter answers a configuration based on an old serial with AccessDenied.
  return sd_bus_error_has_name(&error.e, SD_BUS_ERROR_ACCESS_DENIED) ? Answer::kStale
                                                                     : Answer::kRefused;
}

std::optional<bool> MutterBus::applyAllowed() {
  if (allowed_) return allowed_;
  Error error;
  int allowed = 0;
  ++calls_;
  const int r = sd_bus_get_property_trivial(bus_, kName, kPath, kInterface,
                                            "ApplyMonitorsConfigAllowed", &error.e, 'b', &allowed);
  if (r < 0) {
    if (gone(r, error.e)) lost();
    return std::nullopt;
  }
  allowed_ = allowed != 0;
  return allowed_;
}

int MutterBus::fd() const {
  return sd_bus_get_fd(bus_);
}

int MutterBus::events() const {
  return sd_bus_get_events(bus_);
}

std::uint64_t MutterBus::timeout() const {
  std::uint64_t t = UINT64_MAX;
  if (sd_bus_get_timeout(bus_, &t) < 0) return UINT64_MAX;
  return t;
}

bool MutterBus::process() {
  int r = 0;
  while ((r = sd_bus_process(bus_, nullptr)) > 0) {
  }
  if (r < 0 || !open()) {
    lost();
    return false;
  }
  return true;
}

bool MutterBus::open() const {
  return sd_bus_is_open(bus_) > 0;
}

}  // namespace df::platform::gnome
