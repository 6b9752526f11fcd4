#include "platform/gnome/state.h"

#include <algorithm>
#include <cmath>

namespace df::platform::gnome {

const MutterMode* Monitor::mode(std::string_view id) const {
  for (const MutterMode& m : modes)
    if (m.id == id) return &m;
  return nullptr;
}

const MutterMode* Monitor::current() const {
  for (const MutterMode& m : modes)
    if (m.current) return &m;
  return nullptr;
}

bool LogicalMonitor::holds(std::string_view connector) const {
  return std::any_of(monitors.begin(), monitors.end(),
                     [connector](const MonitorIdentity& s) { return s.connector == connector; });
}

const Monitor* State::monitor(std::string_view connector) const {
  for (const Monitor& m : monitors)
    if (m.identity.connector == connector) return &m;
  return nullptr;
}

const LogicalMonitor* State::logicalOf(std::string_view connector) const {
  for (const LogicalMonitor& l : logical)
    if (l.holds(connector)) return &l;
  return nullptr;
}

const MutterMode* State::shown(std::string_view connector) const {
  const Monitor* m = monitor(connector);
  return m != nullptr && logicalOf(connector) != nullptr ? m->current() : nullptr;
}

namespace {

// The size a logical monitor takes in the layout with this mode, scale and transform.
std::pair<std::int32_t, std::int32_t> extent(const State& s, const MutterMode& mode, double scale,
                                             std::uint32_t transform) {
  double w = mode.width;
  double h = mode.height;
  if (s.layoutMode == 1u && scale > 0) {
    w /= scale;
    h /= scale;
  }
  if (transform % 2 == 1) std::swap(w, h);
  return {static_cast<std::int32_t>(std::lround(w)), static_cast<std::int32_t>(std::lround(h))};
}

}  // namespace

std::vector<LogicalChoice> withMode(const State& state, std::string_view connector,
                                    std::string_view mode) {
  const Monitor* monitor = state.monitor(connector);
  const LogicalMonitor* target = state.logicalOf(connector);
  const MutterMode* now = state.shown(connector);
  const MutterMode* next = monitor != nullptr ? monitor->mode(mode) : nullptr;
  if (target == nullptr || now == nullptr || next == nullptr) return {};

  double scale = target->scale;
  const bool supported = std::any_of(next->scales.begin(), next->scales.end(),
                                     [scale](double s) { return std::abs(s - scale) < 1e-6; });
  if (!supported) scale = next->preferredScale;
  const auto [oldW, oldH] = extent(state, *now, target->scale, target->transform);
  const auto [newW, newH] = extent(state, *next, scale, target->transform);

  std::vector<LogicalChoice> out;
  for (const LogicalMonitor& l : state.logical) {
    LogicalChoice c{l.x, l.y, l.scale, l.transform, l.primary, {}};
    if (&l == target) {
      c.scale = scale;
    } else {
      if (l.x >= target->x + oldW) c.x += newW - oldW;
      if (l.y >= target->y + oldH) c.y += newH - oldH;
    }
    for (const MonitorIdentity& identity : l.monitors) {
      if (identity.connector == connector) {
        c.monitors.push_back({identity.connector, next->id});
        continue;
      }
      // A monitor of the layout shows a mode; one without (Mutter lost track of it) cannot be
      // passed as it is, so the configuration cannot be made.
      const MutterMode* shown = state.shown(identity.connector);
      if (shown == nullptr) return {};
      c.monitors.push_back({identity.connector, shown->id});
    }
    out.push_back(std::move(c));
  }
  return out;
}

void applied(State& state, const std::vector<LogicalChoice>& logical) {
  for (std::size_t i = 0; i < logical.size() && i < state.logical.size(); ++i) {
    LogicalMonitor& l = state.logical[i];
    l.x = logical[i].x;
    l.y = logical[i].y;
    l.scale = logical[i].scale;
    for (const MonitorChoice& c : logical[i].monitors) {
      for (Monitor& m : state.monitors) {
        if (m.identity.connector != c.connector) continue;
        for (MutterMode& mode : m.modes) mode.current = mode.id == c.mode;
      }
    }
  }
}

}  // namespace df::platform::gnome
