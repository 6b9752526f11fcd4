// Readings written as JSON in tests, read into the typed records: a record with keys is full,
// {} is the empty record, and a snapshot's "link": null is a null link. Missing keys read as 0,
// false or "".
#pragma once

#include <nlohmann/json.hpp>

#include "state/reading.h"

namespace df::test {

inline Signal signalFromJson(const nlohmann::json& j) {
  return {j.value("width", std::uint64_t{0}), j.value("height", std::uint64_t{0}),
          j.value("hz", 0.0), j.value("format", std::string()), j.value("interlaced", false)};
}

inline Connection connectionFromJson(const nlohmann::json& j) {
  return {j.value("width", std::uint64_t{0}), j.value("height", std::uint64_t{0}),
          j.value("nominalHz", 0.0), j.value("color", std::string()),
          j.value("hdr", std::string())};
}

inline Link linkFromJson(const nlohmann::json& j) {
  Link link;
  if (j.empty()) return link;
  link.full = true;
  link.uuid = j.value("uuid", std::string());
  const nlohmann::json rates = j.value("progressive1080Rates", nlohmann::json::object());
  if (rates.contains("1080p59.94")) link.rate1080p5994 = rates["1080p59.94"].get<double>();
  if (rates.contains("1080p60.00")) link.rate1080p6000 = rates["1080p60.00"].get<double>();
  const nlohmann::json signal = j.value("signal", nlohmann::json::object());
  if (!signal.empty()) link.signal = signalFromJson(signal);
  const nlohmann::json mode = j.value("mode", nlohmann::json::object());
  if (!mode.empty()) link.mode = connectionFromJson(mode);
  return link;
}

inline Desktop desktopFromJson(const nlohmann::json& j) {
  Desktop d;
  if (j.empty()) return d;
  d.empty = false;
  d.modeId = j.value("modeId", 0);
  d.width = j.value("width", std::uint64_t{0});
  d.height = j.value("height", std::uint64_t{0});
  d.logicalWidth = j.value("logicalWidth", std::uint64_t{0});
  d.logicalHeight = j.value("logicalHeight", std::uint64_t{0});
  d.flags = j.value("flags", std::uint32_t{0});
  d.hz = j.value("hz", 0.0);
  d.format = j.value("format", std::string());
  return d;
}

inline Snapshot snapshotFromJson(const nlohmann::json& j) {
  Snapshot s{desktopFromJson(j.at("desktop")), std::nullopt};
  if (!j.at("link").is_null()) s.link = linkFromJson(j.at("link"));
  return s;
}

}  // namespace df::test
