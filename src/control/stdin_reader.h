// The stdin reader: reads lines, parses each one whole, and hands accepted commands to the main
// queue in line order; at the end of input (or a read error) it queues the termination handler.
// A line longer than kMaxLineBytes is skipped as it arrives, never held whole.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/main_queue.h"

namespace df {

class Service;

// The longest line, newline included, that can be a command: far more than any command needs,
// and a bound on what the reader holds.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;

// One line's bytes, newline included: a command when it is exactly one JSON object whose
// "format" is a string; nullopt otherwise.
std::optional<nlohmann::json> parseCommand(std::string_view line);

// Why a line that parseCommand refuses is not a command, in words: "blank line", "not JSON: parse
// error at line 1, column 6: ...", "no \"format\"". For diagnostics only.
std::string dropReason(std::string_view line);

// Blocks reading `in` until its end; runs on the reader's own thread and touches no controller
// state. Reads the descriptor beneath `in` directly, so that a line is handled as soon as it is
// complete. The service must outlive every block this queues.
void readCommands(std::FILE* in, platform::MainQueue& queue, Service& service);

}  // namespace df
