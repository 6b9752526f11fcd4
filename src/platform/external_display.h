// The external display object: the UUID of the external display and its connection modes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df::platform {

// A connection mode. Destroying the object releases it.
class ExternalMode {
 public:
  virtual ~ExternalMode() = default;
  // nullopt: the mode object does not answer to isVRR.
  virtual std::optional<bool> isVRR() const = 0;
  virtual double refreshRate() const = 0;
  virtual std::optional<std::string> colorMode() const = 0;  // description text
  virtual std::optional<std::string> hdrMode() const = 0;    // description text
  virtual std::uint64_t width() const = 0;
  virtual std::uint64_t height() const = 0;
};
using ExternalModeHandle = std::unique_ptr<ExternalMode>;

class ExternalDisplay {
 public:
  virtual ~ExternalDisplay() = default;
  virtual std::optional<std::string> uuid() = 0;  // UUID, then its description
  // The display ID of the display this object drives; 0 when it cannot tell. The service reads
  // and switches the link only of the display it is looking at.
  virtual std::uint32_t display() = 0;
  virtual ExternalModeHandle currentMode() = 0;
  // nullopt: the platform gave no list.
  virtual std::optional<std::vector<ExternalModeHandle>> availableModes() = 0;
  // Takes a mode object obtained from this object's availableModes.
  virtual void setCurrentMode(const ExternalMode& mode) = 0;
};
using ExternalDisplayHandle = std::unique_ptr<ExternalDisplay>;

class ExternalDisplaySource {
 public:
  virtual ~ExternalDisplaySource() = default;
  // Null when the platform offers no external display object.
  virtual ExternalDisplayHandle externalDisplay() = 0;
};

}  // namespace df::platform
