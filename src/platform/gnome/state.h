// Mutter's display configuration as one GetCurrentState call describes it: monitors (a
// connector with its sink's identity and modes) and logical monitors (the desktop's arrangement
// of the lit monitors), with the serial that an apply must quote.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace df::platform::gnome {

struct MutterMode {
  std::string id;  // Mutter's name for it, "1920x1080@59.940" or "1920x1080i@50.000"
  std::int32_t width = 0;
  std::int32_t height = 0;
  double refresh = 0;  // a float32's value
  double preferredScale = 1;
  std::vector<double> scales;  // the desktop scales it supports
  bool current = false;
  bool preferred = false;
  bool interlaced = false;

  bool operator==(const MutterMode&) const = default;
};

// A monitor's identity: its connector and the vendor, product and serial Mutter read from its
// EDID ("unknown" where it has none).
struct MonitorIdentity {
  std::string connector;
  std::string vendor;
  std::string product;
  std::string serial;

  bool operator==(const MonitorIdentity&) const = default;
  auto operator<=>(const MonitorIdentity&) const = default;
};

struct Monitor {
  MonitorIdentity identity;
  std::vector<MutterMode> modes;
  bool builtin = false;
  std::string displayName;

  bool operator==(const Monitor&) const = default;
  const MutterMode* mode(std::string_view id) const;
  const MutterMode* current() const;
};

struct LogicalMonitor {
  std::int32_t x = 0;
  std::int32_t y = 0;
  double scale = 1;
  std::uint32_t transform = 0;  // 0 normal, 1 to 3 rotated by 90° steps, 4 to 7 flipped
  bool primary = false;
  std::vector<MonitorIdentity> monitors;

  bool operator==(const LogicalMonitor&) const = default;
  bool holds(std::string_view connector) const;
};

struct State {
  std::uint32_t serial = 0;
  std::vector<Monitor> monitors;
  std::vector<LogicalMonitor> logical;
  std::optional<std::uint32_t> layoutMode;  // 1 logical (sizes divided by the scale), 2 physical
  bool layoutModeChangeable = false;

  const Monitor* monitor(std::string_view connector) const;
  const LogicalMonitor* logicalOf(std::string_view connector) const;
  // The mode the monitor shows: its current mode while it is part of the desktop, else none.
  const MutterMode* shown(std::string_view connector) const;
};

// One monitor of a requested configuration and the mode it is to show.
struct MonitorChoice {
  std::string connector;
  std::string mode;
};

// One logical monitor of a requested configuration.
struct LogicalChoice {
  std::int32_t x = 0;
  std::int32_t y = 0;
  double scale = 1;
  std::uint32_t transform = 0;
  bool primary = false;
  std::vector<MonitorChoice> monitors;
};

// The configuration that shows `mode` on `connector` and leaves everything else as it is, but
// for the logical monitors wholly right of (below) the target, which move by the change of its
// width (height): Mutter refuses a layout with gaps or overlaps. The target keeps its scale
// when the new mode supports it, else takes the mode's preferred one. Empty when the connector
// is not lit or has no such mode.
std::vector<LogicalChoice> withMode(const State& state, std::string_view connector,
                                    std::string_view mode);

// The state as Mutter shows it once it has applied a configuration made by withMode from it:
// each logical monitor where the configuration puts it, each monitor's current mode the one
// chosen. The serial stays the old one: an apply quoting it is refused as stale.
void applied(State& state, const std::vector<LogicalChoice>& logical);

}  // namespace df::platform::gnome
