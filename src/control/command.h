// How the keys of a command are read. A command is a full statement of what is wanted: an
// absent key reads as 0, false or empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/displays.h"

namespace df {

// Booleans: true, false, or a number (true when not 0). Anything else reads as absent.
bool commandFlag(const nlohmann::json& command, std::string_view key);

// Display IDs: a whole number from 0 to 2^32-1, or a boolean (1 or 0). Anything else, a
// negative, fractional or larger number included, reads as 0, which selects no display.
platform::DisplayID commandDisplay(const nlohmann::json& command, std::string_view key);

// The revision: a signed 64-bit integer. A fraction is cut toward zero, a number beyond the
// range is held at its end, a boolean reads as 1 or 0; anything else reads as 0.
std::int64_t commandRevision(const nlohmann::json& command);

// A non-empty string; anything else reads as absent.
std::optional<std::string> commandText(const nlohmann::json& command, std::string_view key);

}  // namespace df
