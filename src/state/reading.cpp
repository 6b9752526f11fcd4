#include "state/reading.h"

namespace df {

std::optional<double> Link::rate1080p(std::string_view format) const {
  if (format == "1080p59.94") return rate1080p5994;
  if (format == "1080p60.00") return rate1080p6000;
  return std::nullopt;
}

const Link* linkOf(const MaybeSnapshot& snapshot) {
  return snapshot ? linkOf(*snapshot) : nullptr;
}

MaybeSnapshot snapshot(const platform::Mode* mode, std::optional<Link> link) {
  if (mode == nullptr) return std::nullopt;
  return Snapshot{reportedMode(mode), std::move(link)};
}

Record toJson(const Signal& signal) {
  Record r = Record::object();
  r["width"] = signal.width;
  r["height"] = signal.height;
  r["hz"] = signal.hz;
  r["format"] = signal.format;
  r["interlaced"] = signal.interlaced;
  return r;
}

Record toJson(const Connection& connection) {
  Record r = Record::object();
  r["width"] = connection.width;
  r["height"] = connection.height;
  r["nominalHz"] = connection.nominalHz;
  r["color"] = connection.color;
  r["hdr"] = connection.hdr;
  return r;
}

Record toJson(const Link& link) {
  Record r = Record::object();
  if (!link.full) return r;
  Record rates = Record::object();
  if (link.rate1080p5994) rates["1080p59.94"] = *link.rate1080p5994;
  if (link.rate1080p6000) rates["1080p60.00"] = *link.rate1080p6000;
  r["uuid"] = link.uuid;
  r["progressive1080Rates"] = std::move(rates);
  r["signal"] = link.signal ? toJson(*link.signal) : Record::object();
  r["mode"] = link.mode ? toJson(*link.mode) : Record::object();
  return r;
}

Record toJson(const Snapshot& snapshot) {
  return {{"desktop", toJson(snapshot.desktop)},
          {"link", snapshot.link ? toJson(*snapshot.link) : Record(nullptr)}};
}

}  // namespace df
