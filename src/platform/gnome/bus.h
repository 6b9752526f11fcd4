// The conversation with Mutter's DisplayConfig on the session bus, through sd-bus: the calls the
// backend makes, the signals it listens to, and the connection's descriptor for the event loop.
// Everything runs on one thread; calls block until Mutter answers.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/gnome/state.h"

namespace df::platform::gnome {

enum class Answer : std::uint8_t {
  kDone,
  kStale,    // the serial quoted is not Mutter's current one
  kRefused,  // Mutter would not do it (or gave an answer that could not be read)
  kGone,     // the bus connection or Mutter is gone
};

class MutterBus {
 public:
  // The session bus that DBUS_SESSION_BUS_ADDRESS (or XDG_RUNTIME_DIR/bus) names; null when
  // there is none.
  static std::unique_ptr<MutterBus> connect();
  ~MutterBus();
  MutterBus(const MutterBus&) = delete;
  MutterBus& operator=(const MutterBus&) = delete;

  // Whether Mutter's DisplayConfig has an owner on the bus.
  bool hasMutter();

  // Listens to MonitorsChanged (changed receives the signal's cookie, which orders it against
  // the replies: a reply with a higher cookie was made after it) and to DisplayConfig's owner
  // (gone runs once Mutter left the bus; a new owner counts as a change). False when the bus
  // refuses.
  bool listen(std::function<void(std::uint64_t cookie)> changed, std::function<void()> gone);

  // GetCurrentState into out; cookie receives the reply's cookie.
  Answer currentState(State& out, std::uint64_t& cookie);
  // ApplyMonitorsConfig with method 1: applied at once, stored nowhere, no confirmation asked;
  // cookie receives the reply's cookie.
  Answer apply(std::uint32_t serial, const std::vector<LogicalChoice>& logical,
               std::optional<std::uint32_t> layoutMode, std::uint64_t& cookie);
  // The ApplyMonitorsConfigAllowed property, read once and kept until Mutter says that its
  // properties changed; nullopt when it cannot be read.
  std::optional<bool> applyAllowed();

  // For the event loop: the descriptor, the poll events sd-bus waits for, and the absolute
  // CLOCK_MONOTONIC time in µs of its next timeout (UINT64_MAX for none).
  int fd() const;
  int events() const;
  std::uint64_t timeout() const;
  // Dispatches everything that arrived (signals, the closing of the connection) until nothing
  // is left. False once the connection is gone.
  bool process();
  bool open() const;

  // Method calls made so far (the benchmarks count them).
  std::uint64_t calls() const { return calls_; }

 private:
  explicit MutterBus(sd_bus* bus) : bus_(bus) {}
  static int onChanged(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onOwner(sd_bus_message* m, void* self, sd_bus_error* error);
  static int onProperties(sd_bus_message* m, void* self, sd_bus_error* error);
  void lost();

  sd_bus* bus_;
  sd_bus_slot* changedSlot_ = nullptr;
  sd_bus_slot* ownerSlot_ = nullptr;
  sd_bus_slot* propertiesSlot_ = nullptr;
  std::optional<bool> allowed_;
  std::function<void(std::uint64_t)> changed_;
  std::function<void()> gone_;
  bool goneSaid_ = false;
  std::uint64_t calls_ = 0;
};

}  // namespace df::platform::gnome
