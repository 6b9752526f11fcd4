#include "cycle/report.h"

#include <utility>

namespace df {

void report(Context& cx, platform::DisplayID display, std::string_view phase,
            std::shared_ptr<const Catalogue> catalogue, const MaybeSnapshot& snapshot,
            bool canPresent) {
  ++cx.counters.reports;
  const ControllerState& s = cx.state;
  Report& r = cx.draft;
  r.revision = s.revision;
  r.id = display;
  r.phase = phase;
  r.restoreFailed = s.restoreFailed;
  r.catalogue = std::move(catalogue);
  r.actual = actualOf(snapshot);
  // Assigned in place: the draft's strings keep their storage from one report to the next.
  if (s.chosen)
    r.chosen = *s.chosen;
  else
    r.chosen.clear();
  if (s.targetUUID)
    r.uuid = *s.targetUUID;
  else
    r.uuid.clear();
  r.canPresent = canPresent;

  if (cx.state.lastReport && *cx.state.lastReport == r) return;
  std::optional<std::string> text = serialize(toJson(r));
  // The draft becomes the last report; the last one's storage serves the next draft.
  if (!cx.state.lastReport) cx.state.lastReport.emplace();
  std::swap(*cx.state.lastReport, r);
  if (!text) return;
  ++cx.counters.linesWritten;
  cx.writeLine(*text);
}

}  // namespace df
