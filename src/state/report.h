// The status report: the service's only output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "state/catalogue.h"
#include "state/reading.h"

namespace df {

// "actual" as it is written: the desktop record with the HDMI signal laid over it. Only what is
// written is kept, so that two of them are equal exactly when their JSON is.
struct Actual {
  bool desktopKeys = false;  // "modeId", the logical size and "flags"
  bool sizeKeys = false;     // "width" and "height"
  bool rateKeys = false;     // "hz" and "format"
  // "interlaced": not written, the desktop's integer 0 or 1, or the signal's boolean
  enum class Scan : std::uint8_t { kNone, kInteger, kBoolean } scan = Scan::kNone;
  std::int32_t modeId = 0;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint64_t logicalWidth = 0;
  std::uint64_t logicalHeight = 0;
  std::uint32_t flags = 0;
  bool interlaced = false;
  double hz = 0;
  std::string format;

  bool operator==(const Actual&) const = default;
};

// The ten-key report; "formats" and "nativeModes" are those of the catalogue (none: empty).
struct Report {
  std::int64_t revision = 0;
  platform::DisplayID id = 0;  // 0 is written as null
  std::string_view phase;      // one of the fixed phase names
  bool restoreFailed = false;
  std::shared_ptr<const Catalogue> catalogue;
  Actual actual;
  std::string chosen;
  std::string uuid;
  bool canPresent = false;

  bool operator==(const Report& other) const;
};

Actual actualOf(const MaybeSnapshot& snapshot);

// The report's JSON, keys in order, as it is written.
Record toJson(const Actual& actual);
Record toJson(const Report& report);

}  // namespace df
