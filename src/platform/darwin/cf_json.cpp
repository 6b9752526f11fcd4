#include "platform/darwin/cf_json.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/darwin/cf.h"

namespace df::platform::darwin {
namespace {

using nlohmann::json;

json unconverted(CFTypeID type) {
  return json::object({{kUnconvertedKey, type}});
}

json numberValue(CFNumberRef number) {
  double real = 0;
  if (CFNumberIsFloatType(number)) {
    CFNumberGetValue(number, kCFNumberFloat64Type, &real);
    return real;
  }
  std::int64_t integer = 0;
  if (CFNumberGetValue(number, kCFNumberSInt64Type, &integer)) return integer;
  // Wider than a signed 64-bit integer. The integer reading keeps the low 64 bits; they are
  // the value when the approximate reading agrees that it lies in the upper unsigned half.
  CFNumberGetValue(number, kCFNumberFloat64Type, &real);
  const auto low = static_cast<std::uint64_t>(integer);
  if (low >= (std::uint64_t{1} << 63) && static_cast<double>(low) == real) return low;
  return real;
}

class Converter {
 public:
  json convert(CFTypeRef value) {
    if (value == nullptr) return unconverted(0);
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFBooleanGetTypeID()) {
      return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0;
    }
    if (type == CFNumberGetTypeID()) return numberValue(static_cast<CFNumberRef>(value));
    if (type == CFStringGetTypeID()) {
      auto text = utf8String(static_cast<CFStringRef>(value));
      return text ? json(std::move(*text)) : unconverted(type);
    }
    const bool isArray = type == CFArrayGetTypeID();
    if (!isArray && type != CFDictionaryGetTypeID()) return unconverted(type);
    // Mutable containers can hold themselves; a registry value is never legitimately that deep.
    if (open_.size() >= kMaxNesting ||
        std::find(open_.begin(), open_.end(), value) != open_.end()) {
      return unconverted(type);
    }
    open_.push_back(value);
    json result = isArray ? array(static_cast<CFArrayRef>(value))
                          : object(static_cast<CFDictionaryRef>(value));
    open_.pop_back();
    return result;
  }

 private:
  json array(CFArrayRef array) {
    json result = json::array();
    const CFIndex count = CFArrayGetCount(array);
    for (CFIndex i = 0; i < count; ++i) result.push_back(convert(CFArrayGetValueAtIndex(array, i)));
    return result;
  }

  json object(CFDictionaryRef dictionary) {
    json result = json::object();
    const CFIndex count = CFDictionaryGetCount(dictionary);
    if (count <= 0) return result;
    std::vector<const void*> keys(static_cast<std::size_t>(count));
    std::vector<const void*> values(keys.size());
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == nullptr || CFGetTypeID(keys[i]) != CFStringGetTypeID()) continue;
      auto key = utf8String(static_cast<CFStringRef>(keys[i]));
      if (!key) continue;
      result[*key] = convert(values[i]);
    }
    return result;
  }

  std::vector<CFTypeRef> open_;  // the containers being converted, outermost first
};

}  // namespace

json jsonFromCF(CFTypeRef value) {
  return Converter().convert(value);
}

std::optional<json> takeJSON(CFTypeRef owned) {
  // Owned before anything can throw, so the value is released on every path.
  const auto value = CFRef<CFTypeRef>::adopt(owned);
  if (!value) return std::nullopt;
  return jsonFromCF(value.get());
}

}  // namespace df::platform::darwin
