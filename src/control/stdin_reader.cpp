#include "control/stdin_reader.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "control/service.h"

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
  const int fd = fileno(in);
  const bool diagnosing = service.diagnosing();
  std::uint64_t lineNumber = 0;
  std::string line;
  bool tooLong = false;  // the current line passed the limit; the rest of it is skipped

  // Queued like a command, so that the diagnostics keep the order of the input.
  auto dropped = [&](std::string why) {
    if (!diagnosing) return;
    auto entry = std::make_shared<const nlohmann::json>(
        nlohmann::json{{"event", "dropped"}, {"line", lineNumber}, {"why", std::move(why)}});
    queue.post([&service, entry] { service.diagnose(*entry); });
  };
  auto endOfLine = [&] {
    ++lineNumber;
    if (tooLong) {
      dropped("longer than " + std::to_string(kMaxLineBytes) + " bytes");
    } else if (auto command = parseCommand(line)) {
      auto shared = std::make_shared<const nlohmann::json>(std::move(*command));
      queue.post([&service, shared] { service.handleCommand(*shared); });
    } else {
      dropped(dropReason(line));
    }
    line.clear();
    tooLong = false;
  };

  std::vector<char> chunk(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the end of input, or a read error
    const char* p = chunk.data();
    const char* const end = p + n;
    while (p != end) {
      const auto* newline =
          static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* stop = newline != nullptr ? newline + 1 : end;
      const auto size = static_cast<std::size_t>(stop - p);
      if (!tooLong && line.size() + size > kMaxLineBytes) {
        tooLong = true;
        line.clear();
      }
      if (!tooLong) line.append(p, size);
      p = stop;
      if (newline != nullptr) endOfLine();
    }
  }
  if (!line.empty() || tooLong) endOfLine();  // a last line without its newline
  queue.post([&service] { service.terminate(); });
}

}  // namespace df
