// The stdin reader: reads lines, parses each one whole, and hands accepted commands to the main
// queue in line order; at the end of input (or a read error) it queues the termination handler.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/main_queue.h"

namespace df {

class Service;

// One line's bytes, newline included: a command when it is exactly one JSON object whose
// "format" is a string; nullopt otherwise.
std::optional<nlohmann::json> parseCommand(std::string_view line);

// Why a line that parseCommand refuses is not a command, in words: "blank line", "not JSON: parse
// error at line 1, column 6: ...", "no \"format\"". For diagnostics only.
std::string dropReason(std::string_view line);

// Blocks reading `in` until its end; runs on the reader's own thread and touches no controller
// state. The service must outlive every block this queues.
void readCommands(std::FILE* in, platform::MainQueue& queue, Service& service);

}  // namespace df
