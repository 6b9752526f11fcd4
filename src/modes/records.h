// Mode records: the desktop record, native keys and labels.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/record.h"
#include "platform/displays.h"

namespace df {

// The nine-key desktop record of a mode, or the empty record of no mode. Two modes with equal
// records count as the same mode. "flags" is the platform's word, carried unread.
struct Desktop {
  bool empty = true;  // the empty record; it equals the record of no real mode
  std::int32_t modeId = 0;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint64_t logicalWidth = 0;
  std::uint64_t logicalHeight = 0;
  std::uint32_t flags = 0;
  bool interlaced = false;
  double hz = 0;  // finite: a rate that is not reads as 0
  std::string format;

  bool operator==(const Desktop&) const = default;
};

Desktop reportedMode(const platform::Mode* mode);

// The record as the status report writes it: {} for the empty record.
Record toJson(const Desktop& desktop);
// Lets nlohmann::json and ordered_json take a Desktop; the keys come in the order of toJson's
// object, whose keys are sorted.
template <typename BasicJson>
void to_json(BasicJson& out, const Desktop& desktop) {
  out = BasicJson(toJson(desktop));
}

// The native key of an unscaled, valid and safe mode of the display with that UUID string.
std::optional<std::string> nativeKey(const platform::Mode* mode,
                                     const std::optional<std::string>& uuid);

// The label shown for a native key, e.g. "1920×1080p · 60.000000 Hz · #2a".
std::string nativeLabel(const platform::Mode& mode);

// The same two written over out, whose storage is kept: a catalogue made on every inspection
// reuses the strings of the one before. writeNativeKey leaves out empty when there is no key.
bool writeNativeKey(std::string& out, const platform::Mode* mode,
                    const std::optional<std::string>& uuid);
void writeNativeLabel(std::string& out, const platform::Mode& mode);

}  // namespace df
