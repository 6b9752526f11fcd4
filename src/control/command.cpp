#include "control/command.h"

#include <cmath>
#include <limits>

namespace df {

namespace {

const nlohmann::json* find(const nlohmann::json& command, std::string_view key) {
  auto it = command.find(key);
  return it == command.end() ? nullptr : &*it;
}

}  // namespace

bool commandFlag(const nlohmann::json& command, std::string_view key) {
  const nlohmann::json* v = find(command, key);
  if (v == nullptr) return false;
  if (v->is_boolean()) return v->get<bool>();
  if (v->is_number()) return v->get<double>() != 0;
  return false;
}

platform::DisplayID commandDisplay(const nlohmann::json& command, std::string_view key) {
  const nlohmann::json* v = find(command, key);
  if (v == nullptr) return 0;
  if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
  constexpr auto kMax = std::numeric_limits<platform::DisplayID>::max();
  if (v->is_number_unsigned()) {
    auto n = v->get<std::uint64_t>();
    return n <= kMax ? static_cast<platform::DisplayID>(n) : 0;
  }
  if (v->is_number_integer()) {
    auto n = v->get<std::int64_t>();
    return n >= 0 && n <= kMax ? static_cast<platform::DisplayID>(n) : 0;
  }
  if (v->is_number_float()) {
    double d = v->get<double>();
    if (d >= 0 && d <= kMax && std::floor(d) == d) return static_cast<platform::DisplayID>(d);
  }
  return 0;
}

std::int64_t commandRevision(const nlohmann::json& command) {
  const nlohmann::json* v = find(command, "revision");
  if (v == nullptr) return 0;
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
  if (v->is_number_unsigned()) {
    auto n = v->get<std::uint64_t>();
    return n > static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int64_t>(n);
  }
  if (v->is_number_integer()) return v->get<std::int64_t>();
  if (v->is_number_float()) {
    double d = std::trunc(v->get<double>());
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775808.0) return kMax;
    if (d < -9223372036854775808.0) return kMin;
    return static_cast<std::int64_t>(d);
  }
  return 0;
}

std::optional<std::string> commandText(const nlohmann::json& command, std::string_view key) {
  const nlohmann::json* v = find(command, key);
  if (v == nullptr || !v->is_string() || v->get_ref<const std::string&>().empty())
    return std::nullopt;
  return v->get<std::string>();
}

}  // namespace df
