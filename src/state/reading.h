// What one reading of the target gives: the HDMI link record with its signal and connection
// records, and the snapshot that pairs it with the desktop record. Value types with the deep
// equality of records: two empty records are equal, an empty record equals no record with
// keys, and a rate that is NaN equals nothing, not even itself. Absent is std::nullopt (or a
// null pointer), never one of these values.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/record.h"
#include "modes/records.h"
#include "platform/displays.h"
#include "platform/hdmi_link.h"

namespace df {

// The timing that the HDMI transmitter sends now.
struct Signal {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  double hz = 0;
  std::string format;  // "" when the timing has no broadcast format name
  bool interlaced = false;

  bool operator==(const Signal&) const = default;
};

// One connection mode of the link.
using Connection = platform::ConnectionMode;

// The link record. An HDMI service without its timing data gives the empty record, a value of
// its own whose members all read as absent; then `full` is false and the rest is default.
struct Link {
  bool full = false;
  std::string uuid;
  // "progressive1080Rates": the exact rate of each 1080p format that passes the strict check.
  std::optional<double> rate1080p5994;
  std::optional<double> rate1080p6000;
  std::optional<Signal> signal;    // nullopt: the empty record, no current timing
  std::optional<Connection> mode;  // nullopt: the empty record, no usable current mode

  bool operator==(const Link&) const = default;

  // The rate kept for a 1080p format name ("1080p59.94" or "1080p60.00"), when there is one.
  std::optional<double> rate1080p(std::string_view format) const;
};

// {"desktop", "link"}: the desktop record of a present mode and the link record, where
// nullopt is JSON null (no link record was obtained), and two nulls are equal.
struct Snapshot {
  Desktop desktop;
  std::optional<Link> link;

  bool operator==(const Snapshot&) const = default;
};

using MaybeSnapshot = std::optional<Snapshot>;

// What the link's timings give, kept with the timings they were derived from: a backend hands
// out the same timings object for as long as they stay the same, and then nothing is derived
// again.
struct TimingMemo {
  platform::SignalTimings timings;
  std::vector<std::string> formats;  // per timing, after the strict 1080p check; "" for none
  std::optional<double> rate1080p5994;
  std::optional<double> rate1080p6000;
};

// The snapshot's link record; null when the snapshot is absent or its link is JSON null.
const Link* linkOf(const MaybeSnapshot& snapshot);
inline const Link* linkOf(const Snapshot& snapshot) {
  return snapshot.link ? &*snapshot.link : nullptr;
}
// The link's signal record when it is one with keys; null otherwise (absent or empty link,
// empty signal), where every query of it reads absent.
inline const Signal* signalOf(const Link* link) {
  return link && link->full && link->signal ? &*link->signal : nullptr;
}
// The link's connection record when it is one with keys; null otherwise.
inline const Connection* connectionOf(const Link* link) {
  return link && link->full && link->mode ? &*link->mode : nullptr;
}

// The snapshot of a mode and link; nullopt for no mode.
MaybeSnapshot snapshot(const platform::Mode* mode, std::optional<Link> link);

// The records as JSON, for diagnostics and tests: keys as the records are specified, numbers
// of the kinds they are written with, the empty record as {} and a null link as null.
Record toJson(const Signal& signal);
Record toJson(const Connection& connection);
Record toJson(const Link& link);
Record toJson(const Snapshot& snapshot);

}  // namespace df
