// Developer diagnostics: one JSON object per line saying why the service did not act on
// something (a dropped input line, a target it may not touch). Written only when the entry point
// has set Context::writeDiagnostic; reports and the platform calls made are the same either way.
#pragma once

#include <string>

#include "common/record.h"
#include "state/context.h"

namespace df {

inline bool diagnosing(const Context& cx) {
  return static_cast<bool>(cx.writeDiagnostic);
}

// Writes entry as one compact line; text that is not valid UTF-8 is replaced, not refused.
inline void diagnose(Context& cx, const Record& entry) {
  if (!diagnosing(cx)) return;
  cx.writeDiagnostic(entry.dump(-1, ' ', false, Record::error_handler_t::replace));
}

}  // namespace df
