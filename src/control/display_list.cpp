#include "control/display_list.h"

#include <vector>

#include <nlohmann/json.hpp>

#include "control/service.h"
#include "modes/records.h"

namespace df {

int writeDisplayList(platform::DisplayServices& displays, const DisplayNaming& naming,
                     std::FILE* out) {
  std::uint32_t count = 0;
  if (displays.getOnlineDisplayList(0, nullptr, &count) != platform::kSuccess) return 1;
  std::vector<platform::DisplayID> ids(count);
  if (count != 0 && displays.getOnlineDisplayList(count, ids.data(), &count) != platform::kSuccess)
    return 1;
  ids.resize(count);
  for (platform::DisplayID id : ids) {
    nlohmann::ordered_json line;
    line["id"] = id;
    line["name"] = naming.name(id);
    platform::UUIDHandle uuid = displays.createUUIDFromDisplayID(id);
    line["uuid"] = uuid ? nlohmann::ordered_json(uuid->string()) : nlohmann::ordered_json();
    line["builtin"] = displays.displayIsBuiltin(id);
    line["primary"] = naming.primary(id);
    platform::ModeHandle mode = displays.copyDisplayMode(id);
    line["mode"] =
        mode ? nlohmann::ordered_json(reportedMode(mode.get())) : nlohmann::ordered_json();
    const std::string text = line.dump() + "\n";
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) break;
  }
  return std::fflush(out) == 0 && !std::ferror(out) ? 0 : kOutputClosedStatus;
}

}  // namespace df
