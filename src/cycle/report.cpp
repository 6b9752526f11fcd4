#include "cycle/report.h"

namespace df {

Record actualOf(const MaybeSnapshot& snapshot) {
  if (!snapshot) return Record::object();
  Record actual = toJson(snapshot->desktop);
  const Link* link = linkOf(snapshot);
  if (link == nullptr) return actual;
  if (const Signal* signal = signalOf(link)) {
    actual["width"] = signal->width;
    actual["height"] = signal->height;
    actual["hz"] = signal->hz;
    actual["format"] = signal->format;
    actual["interlaced"] = signal->interlaced;
  } else {
    actual["format"] = "";
    actual["hz"] = 0.0;
  }
  return actual;
}

void report(Context& cx, DisplayID display, std::string_view phase,
            std::vector<std::string> formats, Record nativeModes, const MaybeSnapshot& snapshot,
            bool canPresent) {
  ++cx.counters.reports;
  const ControllerState& s = cx.state;
  Record r = Record::object();
  r["revision"] = s.revision;
  r["id"] = display != 0 ? Record(std::to_string(display)) : Record(nullptr);
  r["phase"] = phase;
  r["restoreFailed"] = s.restoreFailed;
  r["formats"] = std::move(formats);
  r["nativeModes"] = std::move(nativeModes);
  r["actual"] = actualOf(snapshot);
  r["chosen"] = s.chosen.value_or("");
  r["uuid"] = s.targetUUID.value_or("");
  r["canPresent"] = canPresent;

  if (s.lastReport && *s.lastReport == r) return;
  std::optional<std::string> text = serialize(r);
  cx.state.lastReport = std::move(r);
  if (!text) return;
  ++cx.counters.linesWritten;
  cx.writeLine(*text);
}

}  // namespace df
