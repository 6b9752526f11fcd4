// Registry property values (CoreFoundation objects) as JSON values, so that the link probe reads
// one kind of value whatever the backend. Needs CoreFoundation only.
#pragma once

#include <cstddef>
#include <optional>

#include <CoreFoundation/CoreFoundation.h>
#include <nlohmann/json.hpp>

namespace df::platform::darwin {

// Containers nested deeper than this are not converted.
inline constexpr std::size_t kMaxNesting = 32;
// The one key of the object that stands for a value that is not converted: {"$unconverted":
// CFTypeID}. No registry property is spelled with a '$', so it equals nothing the probe seeks.
inline constexpr const char* kUnconvertedKey = "$unconverted";

// Converts a borrowed value:
//   CFBoolean    -> boolean
//   CFNumber     -> double when it is a float type; otherwise a signed 64-bit integer, or for
//                   larger positive values an unsigned one, or a double beyond that
//   CFString     -> UTF-8 string
//   CFArray      -> array, element by element
//   CFDictionary -> object; entries whose key is not a string (or not encodable) are dropped
// Anything else, a string that cannot be encoded, a container nested more than kMaxNesting
// deep and a container that contains itself become {kUnconvertedKey: its CFTypeID}.
nlohmann::json jsonFromCF(CFTypeRef value);

// Converts a value the caller owns, then releases it. Null (an absent property): nullopt.
std::optional<nlohmann::json> takeJSON(CFTypeRef owned);

}  // namespace df::platform::darwin
