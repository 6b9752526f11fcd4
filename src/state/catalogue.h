// The format catalogue of a display: the broadcast format names and native keys its modes
// offer, with the mode that holds each key. A catalogue is an immutable value shared by the
// reports that show it; an inspection whose modes have not changed takes the last one again.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/record.h"
#include "platform/displays.h"

namespace df {

struct NativeMode {
  std::string key;
  std::string label;
  std::size_t holder = 0;  // the listing index of the mode that holds the key; not reported

  bool operator==(const NativeMode& other) const {
    return key == other.key && label == other.label;
  }
};

struct Catalogue {
  std::vector<std::string> formats;     // "formats": in natural order
  std::vector<NativeMode> nativeModes;  // "nativeModes": in the order of the keys, each once
  // Each broadcast name with the listing index of the mode that holds it.
  std::vector<std::pair<std::string, std::size_t>> names;

  // What the report shows: the formats and the native modes.
  bool operator==(const Catalogue& other) const {
    return formats == other.formats && nativeModes == other.nativeModes;
  }

  bool offers(std::string_view key) const;
  // The listing index of the mode that holds a name or native key; nullopt for a key without
  // a mode (a format offered only through the HDMI connection) or one not offered.
  std::optional<std::size_t> holder(std::string_view key) const;
};

// {"formats", "nativeModes"} as the status report writes them.
Record toJson(const Catalogue& catalogue);

// The last catalogue made and what it was made of.
struct CatalogueMemo {
  std::vector<std::optional<platform::ModeInfo>> facts;  // a NaN rate never equals: made afresh
  std::optional<std::string> uuid;
  std::vector<std::string_view> extra;  // names of static storage
  std::shared_ptr<const Catalogue> catalogue;
};

}  // namespace df
