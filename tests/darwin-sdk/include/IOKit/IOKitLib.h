// Declarations only, for compile-checking the macOS backend on other systems. Registry objects
// are Mach port names (integers), so handing one to CFRelease, or a CF object to
// IOObjectRelease, does not compile.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int mach_port_t;
typedef int kern_return_t;
typedef uint32_t IOOptionBits;
typedef mach_port_t io_object_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_service_t;
typedef io_object_t io_registry_entry_t;

#define KERN_SUCCESS 0

extern const mach_port_t kIOMainPortDefault;    // macOS 12 SDK on
extern const mach_port_t kIOMasterPortDefault;  // before; the same value

// The result is consumed by the next IOServiceGetMatchingServices call.
CFMutableDictionaryRef IOServiceMatching(const char* name);
kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);
io_object_t IOIteratorNext(io_iterator_t iterator);  // 0 at the end
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef allocator,
                                          IOOptionBits options);  // Create rule
kern_return_t IOObjectRelease(io_object_t object);

#ifdef __cplusplus
}
#endif
