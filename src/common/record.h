// Records are JSON values, built once and never edited. Absent is std::nullopt, never JSON null.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace df {

using Record = nlohmann::json;
using Maybe = std::optional<nlohmann::json>;

// Deep equality of two possibly absent values: numbers by value, lists in order, objects key by
// key. Absent equals nothing, not even absent.
inline bool same(const Maybe& a, const Maybe& b) {
  return a && b && *a == *b;
}
template <typename T>
bool same(const std::optional<T>& a, const std::optional<T>& b) {
  return a && b && *a == *b;
}

// value[key] read in place, when value is an object that has key; null otherwise.
inline const Record* lookup(const Record* value, std::string_view key) {
  if (value == nullptr || !value->is_object()) return nullptr;
  auto it = value->find(key);
  return it == value->end() ? nullptr : &*it;
}

// value[key] when value is an object that has key; absent otherwise.
inline Maybe member(const Maybe& value, std::string_view key) {
  const Record* found = lookup(value ? &*value : nullptr, key);
  return found ? Maybe(*found) : std::nullopt;
}

// The value as an unsigned integer when it is a non-negative whole number that fits.
std::optional<std::uint64_t> asUnsigned(const Maybe& value);
// The value as a double when it is a number; booleans do not count.
std::optional<double> asNumber(const Maybe& value);
// True when the value is a string equal to text.
bool isString(const Record* value, std::string_view text);
inline bool isString(const Maybe& value, std::string_view text) {
  return isString(value ? &*value : nullptr, text);
}
// Compact UTF-8 JSON; nullopt when the value cannot be written.
std::optional<std::string> serialize(const Record& value);

}  // namespace df
