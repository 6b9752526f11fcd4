#include "state/report.h"

#include <utility>

namespace df {

Actual actualOf(const MaybeSnapshot& snapshot) {
  Actual a;
  if (!snapshot) return a;
  const Desktop& d = snapshot->desktop;
  if (!d.empty) {
    a.desktopKeys = a.sizeKeys = a.rateKeys = true;
    a.scan = Actual::Scan::kInteger;
    a.modeId = d.modeId;
    a.width = d.width;
    a.height = d.height;
    a.logicalWidth = d.logicalWidth;
    a.logicalHeight = d.logicalHeight;
    a.flags = d.flags;
    a.interlaced = d.interlaced;
    a.hz = d.hz;
    a.format = d.format;
  }
  const Link* link = linkOf(snapshot);
  if (link == nullptr) return a;
  a.rateKeys = true;
  if (const Signal* signal = signalOf(link)) {
    a.sizeKeys = true;
    a.scan = Actual::Scan::kBoolean;
    a.width = signal->width;
    a.height = signal->height;
    a.interlaced = signal->interlaced;
    a.hz = signal->hz;
    a.format = signal->format;
  } else {
    a.hz = 0.0;
    a.format.clear();
  }
  return a;
}

Record toJson(const Actual& a) {
  Record r = Record::object();
  if (a.desktopKeys) {
    r["modeId"] = a.modeId;
    r["logicalWidth"] = a.logicalWidth;
    r["logicalHeight"] = a.logicalHeight;
    r["flags"] = a.flags;
  }
  if (a.sizeKeys) {
    r["width"] = a.width;
    r["height"] = a.height;
  }
  if (a.rateKeys) {
    r["hz"] = a.hz;
    r["format"] = a.format;
  }
  if (a.scan == Actual::Scan::kInteger) r["interlaced"] = a.interlaced ? 1 : 0;
  if (a.scan == Actual::Scan::kBoolean) r["interlaced"] = a.interlaced;
  return r;
}

bool Report::operator==(const Report& o) const {
  static const Catalogue none;
  const Catalogue& c = catalogue ? *catalogue : none;
  const Catalogue& oc = o.catalogue ? *o.catalogue : none;
  return revision == o.revision && id == o.id && phase == o.phase &&
         restoreFailed == o.restoreFailed && (&c == &oc || c == oc) && actual == o.actual &&
         chosen == o.chosen && uuid == o.uuid && canPresent == o.canPresent;
}

Record toJson(const Report& report) {
  Record lists = toJson(report.catalogue ? *report.catalogue : Catalogue{});
  Record r = Record::object();
  r["revision"] = report.revision;
  r["id"] = report.id != 0 ? Record(std::to_string(report.id)) : Record(nullptr);
  r["phase"] = report.phase;
  r["restoreFailed"] = report.restoreFailed;
  r["formats"] = std::move(lists["formats"]);
  r["nativeModes"] = std::move(lists["nativeModes"]);
  r["actual"] = toJson(report.actual);
  r["chosen"] = report.chosen;
  r["uuid"] = report.uuid;
  r["canPresent"] = report.canPresent;
  return r;
}

}  // namespace df
