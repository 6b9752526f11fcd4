#include "shell/stdin_reader.h"

#include <sys/types.h>

#include <cstdlib>
#include <memory>

#include "shell/service.h"

namespace df {

std::optional<nlohmann::json> parseCommand(std::string_view line) {
  nlohmann::json value = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  auto format = value.find("format");
  if (format == value.end() || !format->is_string()) return std::nullopt;
  return value;
}

void readCommands(std::FILE* in, platform::MainQueue& queue, Service& service) {
  char* buffer = nullptr;
  std::size_t capacity = 0;
  for (;;) {
    const ssize_t n = ::getline(&buffer, &capacity, in);
    if (n <= 0) break;  // the end of input, or a read error
    auto command = parseCommand(std::string_view(buffer, static_cast<std::size_t>(n)));
    if (!command) continue;
    auto shared = std::make_shared<const nlohmann::json>(std::move(*command));
    queue.post([&service, shared] { service.handleCommand(*shared); });
  }
  std::free(buffer);
  queue.post([&service] { service.terminate(); });
}

}  // namespace df
