// Everything the service reaches of the platform, and what the platform can do.
#pragma once

#include "platform/displays.h"
#include "platform/hdmi_link.h"
#include "platform/main_queue.h"

namespace df::platform {

// What a backend can do. The service never asks a backend for what it lacks; the docs' table of
// backends is this record's.
struct Capabilities {
  bool hdmiLink = false;          // signal timings and the current one
  bool connectionModes = false;   // connection modes, and switching them
  bool scaledModes = false;       // modes whose logical size differs from their pixels
  bool mirrorSets = false;        // mirroring is reported
  bool changesEndWithProcess = false;  // the platform undoes a configuration when we exit
};

struct Platform {
  Displays& displays;
  HdmiLinks& links;  // answers nothing where the capabilities say there is no link
  Capabilities capabilities;
};

// The links of a backend that has none.
class NoLinks final : public HdmiLinks {
 public:
  std::optional<LinkReading> read(DisplayID) override { return std::nullopt; }
  std::optional<std::vector<ConnectionMode>> connectionModes(DisplayID,
                                                             const std::string&) override {
    return std::nullopt;
  }
  bool switchConnection(DisplayID, const std::string&, const ConnectionMode&) override {
    return false;
  }
};

}  // namespace df::platform
