// The display services on X11 RandR 1.5 (xcb): outputs are displays, the output's XID is the
// display ID, and a CRTC change under a server grab is the configuration transaction.
//
// The definitions live by concern: connection.cpp (the connection and the state read from it),
// notices.cpp (events and reconfiguration notices), randr.cpp (the display queries),
// transaction.cpp and hdmi_link.cpp (registry, external display, colour properties).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <nlohmann/json.hpp>

#include "platform/display_services.h"
#include "platform/external_display.h"
#include "platform/main_queue.h"
#include "platform/registry.h"
#include "platform/x11/edid_facts.h"

namespace df::platform::x11 {

// One mode as the output lists it, deduplicated by timing: RandR reports as current the first
// mode of the output's list whose timing equals the one set, so modes with equal timings are
// one mode here and carry the first one's XID.
class RandrMode final : public DisplayMode {
 public:
  RandrMode(xcb_randr_mode_t id, std::size_t width, std::size_t height, double hz,
            std::uint32_t flags)
      : id_(id), width_(width), height_(height), hz_(hz), flags_(flags) {}
  std::size_t width() const override { return width_; }
  std::size_t height() const override { return height_; }
  std::size_t pixelWidth() const override { return width_; }
  std::size_t pixelHeight() const override { return height_; }
  double refreshRate() const override { return hz_; }
  std::uint32_t ioFlags() const override { return flags_; }
  std::int32_t ioDisplayModeID() const override { return static_cast<std::int32_t>(id_); }
  xcb_randr_mode_t id() const { return id_; }

 private:
  xcb_randr_mode_t id_;
  std::size_t width_, height_;
  double hz_;
  std::uint32_t flags_;
};

// One of an output's colour properties as the driver exposes it (RRQueryOutputProperty): a
// 32-bit INTEGER range ("max bpc") or ATOM list ("Colorspace", "Broadcast RGB"). Most drivers,
// the dummy among them, expose none.
struct ColourProperty {
  xcb_atom_t type = 0;  // 0: not exposed
  std::int32_t value = 0;
  bool pending = false;  // takes its new value only at the next CRTC set
  bool range = false;
  std::vector<std::int32_t> valid;
};
enum ColourKey : std::size_t { kMaxBpc, kColorspace, kBroadcastRgb, kColourKeys };

// A connection mode of an HDMI output: the signal's size and rate with one combination of the
// colour properties' values.
class RandrConnectionMode final : public ExternalMode {
 public:
  RandrConnectionMode(std::uint64_t width, std::uint64_t height, double hz, std::string color,
                      std::array<std::int32_t, kColourKeys> values)
      : width_(width), height_(height), hz_(hz), color_(std::move(color)), values_(values) {}
  std::optional<bool> isVRR() const override { return false; }
  double refreshRate() const override { return hz_; }
  std::optional<std::string> colorMode() const override { return color_; }
  // The transfer function (PQ, HLG) is not among these properties: every mode is SDR.
  std::optional<std::string> hdrMode() const override { return "SDR"; }
  std::uint64_t width() const override { return width_; }
  std::uint64_t height() const override { return height_; }
  const std::array<std::int32_t, kColourKeys>& values() const { return values_; }

 private:
  std::uint64_t width_, height_;
  double hz_;
  std::string color_;
  std::array<std::int32_t, kColourKeys> values_;
};

// The server's state as one read sees it.
struct Snapshot {
  struct Crtc {
    xcb_randr_crtc_t id = 0;
    xcb_timestamp_t timestamp = 0;
    std::int16_t x = 0, y = 0;
    std::uint16_t width = 0, height = 0;
    xcb_randr_mode_t mode = 0;
    std::uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;
    std::vector<xcb_randr_output_t> outputs;
  };
  struct Output {
    xcb_randr_output_t id = 0;
    std::string name;
    bool connected = false;
    xcb_randr_crtc_t crtc = 0;
    std::vector<xcb_randr_crtc_t> crtcs;
    std::vector<xcb_randr_mode_t> modes;  // the output's list, duplicates removed
    bool panel = false;
    bool hdmi = false;  // ConnectorType "HDMI", or an HDMI connector name
    EdidFacts edid;
    std::array<ColourProperty, kColourKeys> colour;
  };
  xcb_timestamp_t configTimestamp = 0;
  std::uint16_t screenWidth = 0, screenHeight = 0;
  std::uint32_t screenMmWidth = 0, screenMmHeight = 0;
  xcb_randr_output_t primary = 0;
  std::vector<Output> outputs;
  std::map<xcb_randr_crtc_t, Crtc> crtcs;
  std::map<xcb_randr_mode_t, xcb_randr_mode_info_t> modes;

  const Output* output(xcb_randr_output_t id) const;
  const Crtc* crtcOf(const Output& output) const;  // lit or not; null without one
};

// Counts of what reading costs, for the benchmarks.
struct Traffic {
  std::uint64_t roundTrips = 0;
  std::uint64_t replyBytes = 0;
};

class RandrDisplays final : public DisplayServices {
 public:
  // Null when there is no server, or no RandR 1.5 on it. The queue receives the event
  // deliveries that reading the connection makes necessary.
  static std::unique_ptr<RandrDisplays> connect(const char* display, MainQueue& queue);
  ~RandrDisplays() override;

  Error registerReconfigurationCallback(ReconfigurationCallback callback, void* userInfo) override;
  Error getOnlineDisplayList(std::uint32_t capacity, DisplayID* displays,
                             std::uint32_t* count) override;
  UUIDHandle createUUIDFromDisplayID(DisplayID display) override;
  bool displayIsActive(DisplayID display) override;
  bool displayIsBuiltin(DisplayID display) override;
  bool displayIsInMirrorSet(DisplayID display) override;
  bool displayIsInHWMirrorSet(DisplayID display) override;
  ModeHandle copyDisplayMode(DisplayID display) override;
  std::optional<std::vector<ModeHandle>> copyAllDisplayModes(
      DisplayID display, bool showDuplicateLowResolutionModes) override;
  Error beginConfiguration(ConfigHandle& config) override;
  Error configureDisplayWithMode(DisplayConfig& config, DisplayID display,
                                 const DisplayMode* mode) override;
  Error completeConfiguration(ConfigHandle config, std::uint32_t option) override;
  Error cancelConfiguration(ConfigHandle config) override;

  // The connection's file descriptor: readable when events (or the end) arrive.
  int fd() const;
  // Reads what arrived on the connection and delivers the changes it announces. Runs on the
  // main queue.
  void readEvents();
  // Set once; runs on the main queue when the connection to the server is lost.
  void onLost(std::function<void()> handler);
  bool lost() const { return lost_; }

  // Output name, and whether it is the primary output.
  std::string outputName(DisplayID display);
  bool isPrimary(DisplayID display);
  const Traffic& traffic() const { return traffic_; }
  // Connected HDMI outputs, and the properties of the framebuffer service that describes one.
  std::vector<DisplayID> hdmiOutputs();
  nlohmann::json linkProperty(DisplayID display, const std::string& key);
  // The connection modes that the output's colour properties allow, or only the current one;
  // nullopt when the output is dark or exposes none of them.
  std::optional<std::vector<ExternalModeHandle>> connectionModes(DisplayID display,
                                                                 bool currentOnly);
  // Sets the properties that differ and, when one of them is pending, sets the CRTC's current
  // configuration again so that the driver applies it.
  void setConnectionMode(DisplayID display, const RandrConnectionMode& mode);
  // Drops what was read, as an event would: the next call reads the server again.
  void forget() { cache_.reset(); }

 private:
  RandrDisplays(xcb_connection_t* connection, xcb_window_t root, MainQueue& queue);
  const Snapshot& state();
  Snapshot read();
  void pollConnection();
  void deliver();
  void markLost();
  void keepEdids(Snapshot& s);
  Error apply(const std::vector<std::pair<xcb_randr_output_t, xcb_randr_mode_t>>& plan);
  void readColour(Snapshot& s);
  const std::string& atomName(std::int32_t atom);
  std::unique_ptr<RandrMode> describe(const Snapshot::Output& output,
                                      const xcb_randr_mode_info_t& info, xcb_randr_mode_t id) const;

  xcb_connection_t* c_;
  xcb_window_t root_;
  MainQueue& queue_;
  xcb_atom_t edidAtom_ = 0, connectorTypeAtom_ = 0, panelAtom_ = 0, hdmiAtom_ = 0;
  std::array<xcb_atom_t, kColourKeys> colourAtoms_{};
  std::map<std::int32_t, std::string> atomNames_;  // an atom's name never changes
  int eventBase_ = 0;
  std::uint16_t minWidth_ = 1, minHeight_ = 1, maxWidth_ = 32767, maxHeight_ = 32767;
  std::uint32_t mmWidth_ = 0, mmHeight_ = 0;
  std::optional<Snapshot> cache_;
  std::optional<Snapshot> notified_;                   // the state the last delivery described
  std::map<xcb_randr_output_t, EdidFacts> keptEdids_;  // of the lit outputs
  bool deliveryPosted_ = false;
  bool lost_ = false;
  std::function<void()> lostHandler_;
  ReconfigurationCallback callback_ = nullptr;
  void* userInfo_ = nullptr;
  Traffic traffic_;
};

// The HDMI link where RandR can tell it: an HDMI output's current CRTC timing is its signal and
// its modes are the timing elements, presented as the device registry's framebuffer services.
class RandrRegistry final : public DeviceRegistry {
 public:
  explicit RandrRegistry(RandrDisplays& displays) : displays_(displays) {}
  KernReturn servicesMatching(const std::string& className, RegistryHandle& iterator) override;
  RegistryHandle iteratorNext(RegistryObject& iterator) override;
  PropertyValue registryProperty(RegistryObject& service, const std::string& key) override;

 private:
  RandrDisplays& displays_;
};

class RandrExternalDisplays final : public ExternalDisplaySource {
 public:
  explicit RandrExternalDisplays(RandrDisplays& displays) : displays_(displays) {}
  ExternalDisplayHandle externalDisplay() override;

 private:
  RandrDisplays& displays_;
};

}  // namespace df::platform::x11
