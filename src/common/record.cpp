#include "common/record.h"

#include <cmath>

namespace df {

std::optional<std::uint64_t> asUnsigned(const Maybe& value) {
  if (!value) return std::nullopt;
  if (value->is_number_unsigned()) return value->get<std::uint64_t>();
  if (value->is_number_integer()) {
    auto v = value->get<std::int64_t>();
    if (v < 0) return std::nullopt;
    return static_cast<std::uint64_t>(v);
  }
  if (value->is_number_float()) {
    double d = value->get<double>();
    // 2^64 itself does not fit.
    if (!std::isfinite(d) || d < 0 || d >= 18446744073709551616.0 || std::floor(d) != d)
      return std::nullopt;
    return static_cast<std::uint64_t>(d);
  }
  return std::nullopt;
}

std::optional<double> asNumber(const Maybe& value) {
  if (!value || !value->is_number()) return std::nullopt;
  return value->get<double>();
}

bool isString(const Record* value, std::string_view text) {
  return value && value->is_string() && value->get_ref<const std::string&>() == text;
}

std::optional<std::string> serialize(const Record& value) {
  try {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

}  // namespace df
