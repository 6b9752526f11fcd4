// Making the format catalogue of a display from its modes, and the natural order of its names.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/displays.h"
#include "state/catalogue.h"

namespace df {

// The listing is the display's modes in the platform's order (null entries are skipped but
// keep their index), then the current mode (index modes.size(), or none), which takes its own
// name and key. extra holds the formats offered through the connection, added once each.
std::shared_ptr<const Catalogue> makeCatalogue(const std::vector<platform::ModeHandle>& modes,
                                               const platform::Mode* current,
                                               const std::optional<std::string>& uuid,
                                               std::span<const std::string_view> extra);

// The catalogue of the listing, taken from the memo when nothing it is made of has changed.
std::shared_ptr<const Catalogue> catalogueFor(CatalogueMemo& memo,
                                              const std::vector<platform::ModeHandle>& modes,
                                              const platform::Mode* current,
                                              const std::optional<std::string>& uuid,
                                              std::span<const std::string_view> extra);

// Orders strings as file names are ordered for people: runs of digits by value, letters
// without regard to case.
bool naturalLess(std::string_view a, std::string_view b);

}  // namespace df
