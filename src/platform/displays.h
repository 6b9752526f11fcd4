// The displays as the service needs them: the online list, each display's facts, its modes as
// typed records, its current mode, one configuration transaction and change notices. Every
// backend answers these in its own way; none of them is one platform's call surface.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df::platform {

using DisplayID = std::uint32_t;  // 0 is no display

// What a mode is, as the service reads it.
struct ModeInfo {
  std::int32_t id = 0;      // the platform's number for the mode ("modeId")
  std::uint64_t width = 0;  // pixels
  std::uint64_t height = 0;
  std::uint64_t logicalWidth = 0;  // points of the desktop; equal to the pixels when unscaled
  std::uint64_t logicalHeight = 0;
  double hz = 0;  // the exact rate; may be 0, NaN or infinite when unknown
  bool interlaced = false;
  bool television = false;  // a timing the display declares as a television format
  bool valid = false;
  bool safe = false;
  bool needsPanning = false;
  bool neverShow = false;
  bool stretched = false;
  // The report's "flags": the platform's own flag word where it has one, carried unread;
  // otherwise reportFlags() of the booleans above.
  std::uint32_t flags = 0;

  bool operator==(const ModeInfo&) const = default;  // a NaN rate equals nothing
};

// The report's flag word for a platform that has none of its own: the bits the status report
// documents for the booleans of a mode.
constexpr std::uint32_t reportFlags(const ModeInfo& m) {
  return (m.valid ? 0x1u : 0u) | (m.safe ? 0x2u : 0u) | (m.needsPanning ? 0x20u : 0u) |
         (m.interlaced ? 0x40u : 0u) | (m.neverShow ? 0x80u : 0u) | (m.stretched ? 0x800u : 0u) |
         (m.television ? 0x100000u : 0u);
}

// A mode obtained from the platform. Destroying it releases it, so a mode is released on every
// path; the object is what a configuration is asked for, so keep it while it is needed.
class Mode {
 public:
  virtual ~Mode() = default;
  virtual const ModeInfo& info() const = 0;
};
using ModeHandle = std::unique_ptr<Mode>;  // null: no mode

// What changed, as a notice says it.
enum class Change : std::uint8_t {
  kAdded,    // the display came online
  kRemoved,  // the display went offline
  kMode,     // its mode changed
  kOther,    // anything else: activity, mirroring, arrangement, identity
};

// Called for every change of a display, on any thread; user is what watch was given.
using NoticeFn = void (*)(DisplayID display, Change change, void* user);

class Displays {
 public:
  virtual ~Displays() = default;

  // Starts notices; false when the platform refuses.
  virtual bool watch(NoticeFn notice, void* user) = 0;

  // The online displays in the platform's order, written over out (whose storage is kept);
  // false, with out empty, when the platform cannot list them.
  virtual bool list(std::vector<DisplayID>& out) = 0;

  // The display's UUID text (36 characters), nullopt when the platform gives it none.
  virtual std::optional<std::string> uuid(DisplayID display) = 0;
  virtual bool isActive(DisplayID display) = 0;
  virtual bool isBuiltin(DisplayID display) = 0;
  virtual bool isMirrored(DisplayID display) = 0;          // in a mirror set
  virtual bool isHardwareMirrored(DisplayID display) = 0;  // in a hardware mirror set

  virtual ModeHandle currentMode(DisplayID display) = 0;
  // Every mode the display offers, low-resolution duplicates included; nullopt when the
  // platform gives no list.
  virtual std::optional<std::vector<ModeHandle>> modes(DisplayID display) = 0;

  // One configuration transaction: the display shows mode, a mode of this object's, until
  // this process ends; or, when any step fails, nothing changes and the answer is false. A
  // null mode fails.
  virtual bool configure(DisplayID display, const Mode* mode) = 0;
};

}  // namespace df::platform
