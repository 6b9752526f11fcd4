#include "control/display_list.h"

#include <vector>

#include <nlohmann/json.hpp>

#include "control/service.h"
#include "modes/records.h"

namespace df {

int writeDisplayList(platform::Displays& displays, const DisplayNaming& naming, std::FILE* out) {
  std::vector<platform::DisplayID> ids;
  if (!displays.list(ids)) return 1;
  for (platform::DisplayID id : ids) {
    nlohmann::ordered_json line;
    line["id"] = id;
    line["name"] = naming.name(id);
    std::optional<std::string> uuid = displays.uuid(id);
    line["uuid"] = uuid ? nlohmann::ordered_json(*uuid) : nlohmann::ordered_json();
    line["builtin"] = displays.isBuiltin(id);
    line["primary"] = naming.primary(id);
    platform::ModeHandle mode = displays.currentMode(id);
    line["mode"] =
        mode ? nlohmann::ordered_json(reportedMode(mode.get())) : nlohmann::ordered_json();
    const std::string text = line.dump() + "\n";
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) break;
  }
  return std::fflush(out) == 0 && !std::ferror(out) ? 0 : kOutputClosedStatus;
}

}  // namespace df
