// The connection to the X server and the state kept from it. The state is read once, in few
// round trips, and then kept current from RandR events: what an event carries is applied as it
// comes, and only what no event carries (the primary output, a changed property, a new mode
// list) is read again, when next used.
//
// By concern: connection.cpp (connecting, reading, losing the connection) and notices.cpp
// (applying events, and the change notices they make).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include "platform/displays.h"
#include "platform/main_queue.h"
#include "platform/x11/state.h"

namespace df::platform::x11 {

// Counts of what talking to the server costs, for the benchmarks.
struct Traffic {
  std::uint64_t roundTrips = 0;
  std::uint64_t replyBytes = 0;
};

class Connection {
 public:
  // Null when there is no server, or no RandR 1.3 on it. The queue receives the deliveries of
  // notices and the loss of the connection.
  static std::unique_ptr<Connection> connect(const char* display, MainQueue& queue);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The kept state, first brought up to date with what arrived on the connection. Empty once
  // the connection is lost.
  const State& state();

  // Starts notices: after each batch of events, each output that changed since the last
  // delivery, once.
  bool watch(NoticeFn notice, void* user);

  // The connection's file descriptor: readable when events (or the end) arrive.
  int fd() const;
  // Applies what arrived on the connection. Runs on the main queue.
  void readEvents() { pollConnection(true); }
  // Set once; runs on the main queue when the connection to the server is lost.
  void onLost(std::function<void()> handler);
  bool lost() const { return lost_; }
  // Drops the kept state, as after an event that says everything changed.
  void forget() { staleAll_ = true; }
  const Traffic& traffic() const { return traffic_; }

  // For requests of the backend's own on this connection.
  xcb_connection_t* raw() const { return c_; }
  xcb_window_t root() const { return root_; }
  xcb_atom_t colourAtom(ColourKey key) const { return colourAtoms_[key]; }
  std::uint16_t minWidth() const { return minWidth_; }
  std::uint16_t minHeight() const { return minHeight_; }
  std::uint16_t maxWidth() const { return maxWidth_; }
  std::uint16_t maxHeight() const { return maxHeight_; }
  // One round trip after which every event the server sent before it has been applied: under a
  // server grab, the kept state is then the server's. False when the connection is lost.
  bool sync();
  // Counts one round trip, and marks the connection lost when it broke. False when lost.
  bool counted();
  // The name of an atom (one round trip the first time; an atom's name never changes).
  const std::string& atomName(std::int32_t atom);

 private:
  struct PropertyCookies {
    xcb_randr_get_output_property_cookie_t edid, connector;
    std::array<xcb_randr_get_output_property_cookie_t, kColourKeys> colour;
  };

  Connection(xcb_connection_t* connection, xcb_window_t root, MainQueue& queue);
  State readAll();
  void refresh();
  PropertyCookies askProperties(xcb_randr_output_t output);
  void takeProperties(State::Output& o, const PropertyCookies& cookies);
  void queryColour(State& s, const std::set<xcb_randr_output_t>* only);
  void pollConnection(bool force = false);
  void apply(const xcb_generic_event_t& event);
  void deliver();
  void markLost();

  xcb_connection_t* c_;
  xcb_window_t root_;
  MainQueue& queue_;
  xcb_atom_t edidAtom_ = 0, connectorTypeAtom_ = 0, panelAtom_ = 0, hdmiAtom_ = 0;
  std::array<xcb_atom_t, kColourKeys> colourAtoms_{};
  std::map<std::int32_t, std::string> atomNames_;
  int eventBase_ = 0;
  std::chrono::steady_clock::time_point lastRead_;
  std::uint16_t minWidth_ = 1, minHeight_ = 1, maxWidth_ = 32767, maxHeight_ = 32767;
  std::uint32_t mmWidth_ = 0, mmHeight_ = 0;  // of the screen, as the last event gave them

  State state_;
  // What the events said that they could not carry themselves.
  bool staleAll_ = true;
  bool stalePrimary_ = false;
  std::set<xcb_randr_output_t> staleProperties_;

  NoticeFn notice_ = nullptr;
  void* user_ = nullptr;
  std::optional<State> notified_;  // the state the last delivery described
  bool deliveryPosted_ = false;
  bool lost_ = false;
  std::function<void()> lostHandler_;
  Traffic traffic_;
};

}  // namespace df::platform::x11
