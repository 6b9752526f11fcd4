// The HDMI link of an HDMI output: its modes are the transmitter's timings and its CRTC's
// timing is the one sent; connection modes come from the output's colour properties.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/hdmi_link.h"
#include "platform/x11/connection.h"

namespace df::platform::x11 {

class RandrLinks final : public HdmiLinks {
 public:
  explicit RandrLinks(Connection& x) : x_(x) {}

  std::optional<LinkReading> read(DisplayID display) override;
  std::optional<std::vector<ConnectionMode>> connectionModes(DisplayID display,
                                                             const std::string& uuid) override;
  bool switchConnection(DisplayID display, const std::string& uuid,
                        const ConnectionMode& mode) override;

 private:
  // A connection mode with the colour properties' values that make it.
  struct Choice {
    ConnectionMode mode;
    std::array<std::int32_t, kColourKeys> values;
  };
  // The connection modes the colour properties allow, or only the current one; nullopt when
  // the output is dark or exposes none of them.
  // Reads no state of its own: s is the state o belongs to, taken once by the caller.
  std::optional<std::vector<Choice>> choices(const State& s, const State::Output& o,
                                             bool currentOnly);
  // The display when it is a connected HDMI output, with this UUID unless uuid is null.
  static const State::Output* link(const State& s, DisplayID display, const std::string* uuid);

  Connection& x_;
};

}  // namespace df::platform::x11
