#include "shell/stdin_reader.h"

#include <sys/types.h>

#include <cstdlib>
#include <memory>

#include "shell/service.h"

namespace df {

namespace {

using Json = nlohmann::json;

// Walks a line without building it, to learn where and why it is not one JSON text. The
// walk keeps no stack of its own, so deep nesting costs nothing.
struct SyntaxCheck : nlohmann::json_sax<Json> {
  std::string error;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    // "[json.exception.parse_error.101] parse error at line 1, column 6: ..." without its tag.
    std::string_view what = e.what();
    if (auto tag = what.find("] "); tag != std::string_view::npos) what.remove_prefix(tag + 2);
    error = what;
    return false;
  }
};

std::string_view kindName(const Json& value) {
  switch (value.type()) {
    case Json::value_t::array:
      return "a list";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::null:
      return "null";
    case Json::value_t::object:
      return "an object";
    default:
      return "a number";
  }
}

}  // namespace

std::optional<nlohmann::json> parseCommand(std::string_view line) {
  nlohmann::json value = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  auto format = value.find("format");
  if (format == value.end() || !format->is_string()) return std::nullopt;
  return value;
}

std::string dropReason(std::string_view line) {
  if (line.find_first_not_of(" \t\r\n") == std::string_view::npos) return "blank line";
  SyntaxCheck check;
  if (!Json::sax_parse(line.begin(), line.end(), &check) || !check.error.empty()) {
    // A parse error quotes what it last read, which may be the whole line.
    constexpr std::size_t kLimit = 200;
    if (check.error.size() > kLimit) check.error = check.error.substr(0, kLimit) + "…";
    return "not JSON: " + check.error;
  }
  const Json value = Json::parse(line.begin(), line.end(), nullptr, false);
  if (!value.is_object()) return "not a JSON object but " + std::string(kindName(value));
  auto format = value.find("format");
  if (format == value.end()) return "no \"format\"";
  return "\"format\" is " + std::string(kindName(*format)) + ", not a string";
}

void readCommands(std::FILE* in, platform::MainQueue& queue, Service& service) {
  char* buffer = nullptr;
  std::size_t capacity = 0;
  const bool diagnosing = service.diagnosing();
  std::uint64_t lineNumber = 0;
  for (;;) {
    const ssize_t n = ::getline(&buffer, &capacity, in);
    if (n <= 0) break;  // the end of input, or a read error
    ++lineNumber;
    const std::string_view line(buffer, static_cast<std::size_t>(n));
    auto command = parseCommand(line);
    if (!command) {
      if (diagnosing) {
        // Queued like a command, so that the diagnostics keep the order of the input.
        auto entry = std::make_shared<const nlohmann::json>(
            nlohmann::json{{"event", "dropped"}, {"line", lineNumber}, {"why", dropReason(line)}});
        queue.post([&service, entry] { service.diagnose(*entry); });
      }
      continue;
    }
    auto shared = std::make_shared<const nlohmann::json>(std::move(*command));
    queue.post([&service, shared] { service.handleCommand(*shared); });
  }
  std::free(buffer);
  queue.post([&service] { service.terminate(); });
}

}  // namespace df
