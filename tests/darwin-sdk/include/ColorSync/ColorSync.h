// Declarations only, for compile-checking the macOS backend on other systems.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

// Create rule; NULL when the display has no UUID.
CFUUIDRef CGDisplayCreateUUIDFromDisplayID(uint32_t displayID) CF_RETURNS_RETAINED;

#ifdef __cplusplus
}
#endif
