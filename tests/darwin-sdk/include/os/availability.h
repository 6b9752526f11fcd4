// Declarations only, for compile-checking the macOS backend on other systems: the availability
// markup of the platform's headers, for the declarations that carry a first macOS version that
// matters. Under Clang with a macOS target, a use newer than the deployment target fails under
// -Werror as it does against the platform's SDK; other compilers and targets ignore it.
#pragma once

#if defined(__clang__)
#define __API_AVAILABLE_PLATFORM_macos(v) macos, introduced = v
#define __API_DEPRECATED_PLATFORM_macos(from, to) macos, introduced = from, deprecated = to
// API_AVAILABLE(macos(12.0))
#define API_AVAILABLE(platform) __attribute__((availability(__API_AVAILABLE_PLATFORM_##platform)))
// API_DEPRECATED_WITH_REPLACEMENT("newName", macos(10.0, 12.0))
#define API_DEPRECATED_WITH_REPLACEMENT(newName, platform) \
  __attribute__((availability(__API_DEPRECATED_PLATFORM_##platform, replacement = newName)))
#else
#define API_AVAILABLE(platform)
#define API_DEPRECATED_WITH_REPLACEMENT(newName, platform)
#endif
