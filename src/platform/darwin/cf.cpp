#include "platform/darwin/cf.h"

#include <cstring>
#include <vector>

namespace df::platform::darwin {

std::optional<std::string> utf8String(CFStringRef string) {
  if (string == nullptr) return std::nullopt;
  // The length counts UTF-16 units; the encoding's maximum size covers any text of that many.
  const CFIndex size =
      CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8);
  if (size < 0) return std::nullopt;  // the platform's overflow answer
  std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
  if (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()),
                          kCFStringEncodingUTF8)) {
    return std::nullopt;
  }
  return std::string(buffer.data(), std::strlen(buffer.data()));
}

}  // namespace df::platform::darwin
