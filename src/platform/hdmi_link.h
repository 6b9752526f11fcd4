// The HDMI link of a display: the timings its transmitter can send with the one it sends now,
// and the connection modes (the signal's size, rate and encoding) with the current one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/displays.h"

namespace df::platform {

// A timing of the transmitter.
struct SignalTiming {
  std::uint64_t width = 0;  // active pixels
  std::uint64_t height = 0;
  std::uint64_t hTotal = 0;
  std::uint64_t vTotal = 0;
  double hz = 0;  // exact
  bool interlaced = false;
  std::uint32_t vic = 0;  // the CTA-861 video identification code; 0 for none

  bool operator==(const SignalTiming&) const = default;
};

// The transmitter's timings. A backend hands out the same object for as long as they stay the
// same, so that what the service derives from them is derived once.
using SignalTimings = std::shared_ptr<const std::vector<SignalTiming>>;

// A connection mode. An empty text is a mode that gives none.
struct ConnectionMode {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  double nominalHz = 0;  // finite and above 0
  std::string color;
  std::string hdr;

  bool operator==(const ConnectionMode&) const = default;
};

// One reading of a display's link.
struct LinkReading {
  std::string uuid;  // the sink's UUID text, never empty
  // Null when the transmitter gives no timing data at all (then nothing below is read).
  SignalTimings timings;
  std::optional<std::size_t> current;  // index into timings of the timing sent now
  std::optional<ConnectionMode> mode;  // the current connection mode, when it is a usable one
};

class HdmiLinks {
 public:
  virtual ~HdmiLinks() = default;
  // The display's link; nullopt when the display has none, or none that can be told apart.
  virtual std::optional<LinkReading> read(DisplayID display) = 0;
  // The usable connection modes, in the platform's order, of the link whose sink has this UUID
  // (variable-rate modes and modes without a usable rate left out); nullopt when there is no
  // such link or no list.
  virtual std::optional<std::vector<ConnectionMode>> connectionModes(DisplayID display,
                                                                     const std::string& uuid) = 0;
  // Switches the display's link, when its sink has this UUID, to its first connection mode
  // equal to mode; false when nothing was asked of the platform.
  virtual bool switchConnection(DisplayID display, const std::string& uuid,
                                const ConnectionMode& mode) = 0;
};

}  // namespace df::platform
