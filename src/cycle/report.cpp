#include "cycle/report.h"

namespace df {

Record actualOf(const Maybe& snapshot) {
  Maybe desktop = member(snapshot, "desktop");
  Record actual = desktop && desktop->is_object() ? *desktop : Record::object();
  Maybe link = member(snapshot, "link");
  if (!link || !link->is_object()) return actual;
  Maybe signal = member(link, "signal");
  if (signal && signal->is_object() && !signal->empty()) {
    for (const auto& [key, value] : signal->items()) actual[key] = value;
  } else {
    actual["format"] = "";
    actual["hz"] = 0.0;
  }
  return actual;
}

void report(Context& cx, DisplayID display, std::string_view phase,
            std::vector<std::string> formats, Record nativeModes, const Maybe& snapshot,
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
