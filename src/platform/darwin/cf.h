// Ownership of CoreFoundation objects and their text. Needs CoreFoundation only.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include <CoreFoundation/CoreFoundation.h>

namespace df::platform::darwin {

// Holds one reference to a CF object and releases it when destroyed. A null reference is
// allowed and never released: CFRelease(NULL) crashes.
template <typename Ref>
class CFRef {
 public:
  CFRef() = default;
  // Takes over a reference the caller owns (the Create and Copy rules).
  static CFRef adopt(Ref ref) { return CFRef(ref); }
  // Takes a reference of its own to a borrowed object (the Get rule).
  static CFRef retain(Ref ref) {
    if (ref != nullptr) CFRetain(ref);
    return CFRef(ref);
  }

  CFRef(CFRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  CFRef& operator=(CFRef&& other) noexcept {
    if (this != &other) {
      reset();
      ref_ = std::exchange(other.ref_, nullptr);
    }
    return *this;
  }
  CFRef(const CFRef&) = delete;
  CFRef& operator=(const CFRef&) = delete;
  ~CFRef() { reset(); }

  Ref get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }
  void reset() {
    if (ref_ != nullptr) CFRelease(ref_);
    ref_ = nullptr;
  }

 private:
  explicit CFRef(Ref ref) : ref_(ref) {}
  Ref ref_ = nullptr;
};

// The string's text in UTF-8; nullopt when it is null or cannot be encoded.
std::optional<std::string> utf8String(CFStringRef string);

}  // namespace df::platform::darwin
