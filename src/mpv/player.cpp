#include "mpv/player.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace df::mpv::player {

Log::Log(mpv_handle* mpv) {
  auto get = reinterpret_cast<void* (*)(mpv_handle*)>(dlsym(RTLD_DEFAULT, "mp_client_get_log"));
  msg_ = reinterpret_cast<Msg>(dlsym(RTLD_DEFAULT, "mp_msg"));
  if (get != nullptr && msg_ != nullptr) log_ = get(mpv);
}

void Log::operator()(int level, const std::string& text) const {
  if (log_ != nullptr) msg_(log_, level, "%s\n", text.c_str());
}

json toJson(const mpv_node& n) {
  switch (n.format) {
    case MPV_FORMAT_STRING:
      return n.u.string;
    case MPV_FORMAT_FLAG:
      return n.u.flag != 0;
    case MPV_FORMAT_INT64:
      return n.u.int64;
    case MPV_FORMAT_DOUBLE:
      return n.u.double_;
    case MPV_FORMAT_NODE_ARRAY: {
      json a = json::array();
      for (int i = 0; i < n.u.list->num; ++i) a.push_back(toJson(n.u.list->values[i]));
      return a;
    }
    case MPV_FORMAT_NODE_MAP: {
      json o = json::object();
      for (int i = 0; i < n.u.list->num; ++i) o[n.u.list->keys[i]] = toJson(n.u.list->values[i]);
      return o;
    }
    default:
      return nullptr;
  }
}

json property(mpv_handle* mpv, const char* name) {
  mpv_node node;
  if (mpv_get_property(mpv, name, MPV_FORMAT_NODE, &node) < 0) return nullptr;
  json value = toJson(node);
  mpv_free_node_contents(&node);
  return value;
}

std::string text(const json& j, const char* key) {
  const json v = member(j, key, json());
  return v.is_string() ? v.get<std::string>() : std::string();
}

std::optional<std::uint32_t> parseID(const std::string& s) {
  if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const unsigned long long v = std::stoull(s);
  if (v == 0 || v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(v);
}

bool runnable(const std::string& program) {
  if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (::access(((dir.empty() ? "." : dir) + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

// displayformatd beside this plugin (a build directory) or in the bin/ of its installation
// (lib/displayformat/ beside bin/), else the name for a PATH search.
namespace {

std::string defaultService() {
  static const int anchor = 0;
  Dl_info info;
  if (dladdr(&anchor, &info) != 0 && info.dli_fname != nullptr) {
    const std::string path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    for (const char* relative : {"/displayformatd", "/../../bin/displayformatd"})
      if (::access((dir + relative).c_str(), X_OK) == 0) return dir + relative;
  }
  return "displayformatd";
}

}  // namespace

Options readOptions(mpv_handle* mpv, const Log& log) {
  Options o;
  o.service = defaultService();
  const json opts = property(mpv, "options/script-opts");
  if (!opts.is_object()) return o;
  for (const auto& [key, value] : opts.items()) {
    if (!value.is_string() || key.rfind("displayformat-", 0) != 0) continue;
    const std::string name = key.substr(14);
    const std::string v = value.get<std::string>();
    bool ok = true;
    if (name == "service") {
      o.service = v;
    } else if (name == "args") {
      std::istringstream words(v);
      for (std::string w; words >> w;) o.args.push_back(w);
    } else if (name == "display") {
      o.display = v;
    } else if (name == "control") {
      o.control = v;
    } else if (name == "timeout") {
      char* end = nullptr;
      const double t = std::strtod(v.c_str(), &end);
      ok = end != v.c_str() && *end == '\0' && t >= 0 && t <= 3600;
      if (ok) o.timeout = t;
    } else if (name == "fullscreen-only") {
      ok = v == "yes" || v == "no";
      o.fullscreenOnly = v == "yes";
    } else if (name == "resolution") {
      ok = v == "keep" || v == "match";
      o.resolution = v == "match" ? Resolution::kMatch : Resolution::kKeep;
    } else {
      log(kWarn, "unknown option " + key);
      continue;
    }
    if (!ok) log(kWarn, "bad value for " + key + ": " + v + " (default used)");
  }
  return o;
}

std::optional<Video> videoOf(mpv_handle* mpv, std::string& why) {
  char* vid = mpv_get_property_string(mpv, "vid");
  const std::string wanted = vid != nullptr ? vid : "auto";
  mpv_free(vid);
  if (wanted == "no") {
    why = "video is off";
    return std::nullopt;
  }
  const std::optional<std::uint32_t> id = parseID(wanted);
  json tracks = property(mpv, "track-list");
  if (!tracks.is_array()) tracks = json::array();
  const json* track = nullptr;
  for (const json& t : tracks) {
    if (text(t, "type") != "video") continue;
    if (id ? member<std::int64_t>(t, "id", 0) == *id : !member(t, "albumart", false)) {
      track = &t;
      break;
    }
  }
  if (track == nullptr) {
    why = "no video";
    return std::nullopt;
  }
  if (member(*track, "image", false) || member(*track, "albumart", false)) {
    why = "a still image";
    return std::nullopt;
  }
  Video v{member(*track, "demux-fps", 0.0),
          {member(*track, "demux-w", 0), member(*track, "demux-h", 0)}};
  if (!(v.fps > 0)) {
    why = "no frame rate known";
    return std::nullopt;
  }
  return v;
}

std::string fixed(double v, int digits) {
  std::ostringstream s;
  s.setf(std::ios::fixed);
  s.precision(digits);
  s << v;
  return s.str();
}

}  // namespace df::mpv::player
