// What the plugin reads from mpv: its log, its properties as JSON, the script options and the
// video about to play. Nothing here throws on what mpv or the service hands over.
#pragma once

#include <mpv/client.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "mpv/rule.h"

namespace df::mpv::player {

using json = nlohmann::json;

// mpv's levels (common/msg.h).
enum Level { kError = 1, kWarn = 2, kInfo = 3, kVerbose = 5, kDebug = 6 };

// mpv's own log under the client's name ("displayformat"), so msg-level and log-file apply.
// The client API has no log call; mpv exports its internal one for C plugins. Without it the
// plugin stays silent rather than print to the terminal.
class Log {
 public:
  explicit Log(mpv_handle* mpv);
  void operator()(int level, const std::string& text) const;

 private:
  using Msg = void (*)(void*, int, const char*, ...);
  Msg msg_ = nullptr;
  void* log_ = nullptr;
};

json toJson(const mpv_node& n);
// The property as JSON; null when mpv has none.
json property(mpv_handle* mpv, const char* name);

// A member of the kind asked for, else the fallback: nothing from mpv or the service throws.
template <class T>
T member(const json& j, const char* key, T fallback) {
  if (!j.is_object()) return fallback;
  const auto it = j.find(key);
  if (it == j.end()) return fallback;
  if constexpr (std::is_same_v<T, bool>) {
    return it->is_boolean() ? it->get<bool>() : fallback;
  } else if constexpr (std::is_same_v<T, json>) {
    return *it;
  } else {
    return it->is_number() ? it->get<T>() : fallback;
  }
}

std::string text(const json& j, const char* key);
// A display ID written as decimal (1 to 2^32-1), else nullopt.
std::optional<std::uint32_t> parseID(const std::string& s);
// Whether posix_spawnp can run the program: a path, or a name on PATH.
bool runnable(const std::string& program);

struct Options {
  std::string service;
  std::vector<std::string> args;
  std::string display;
  std::string control;
  double timeout = 3;
  bool fullscreenOnly = false;
  Resolution resolution = Resolution::kKeep;
};

// The "displayformat-…" script options; a bad value keeps the default and is logged.
Options readOptions(mpv_handle* mpv, const Log& log);

struct Display {
  std::uint32_t id = 0;
  std::string name;
  std::string uuid;
  bool builtin = false;
  bool primary = false;
};

struct Video {
  double fps = 0;
  Raster size;
};

// The video track mpv will play, read before it selects one: the "vid" option's track, else
// the first video track that is not cover art. Nothing (and why) for no video or a still image.
std::optional<Video> videoOf(mpv_handle* mpv, std::string& why);

std::string fixed(double v, int digits);

}  // namespace df::mpv::player
