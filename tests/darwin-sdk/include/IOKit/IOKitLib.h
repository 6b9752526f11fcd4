// Declarations only, for compile-checking the macOS backend on other systems. Registry objects
// are Mach port names (integers), so handing one to CFRelease, or a CF object to
// IOObjectRelease, does not compile.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <mach/boolean.h>
#include <os/availability.h>

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

// The same value under two names: the first from macOS 12 on, the second before.
extern const mach_port_t kIOMainPortDefault API_AVAILABLE(macos(12.0));
extern const mach_port_t kIOMasterPortDefault API_DEPRECATED_WITH_REPLACEMENT("kIOMainPortDefault",
                                                                              macos(10.0, 12.0));

// The result is consumed by the next IOServiceGetMatchingServices call.
CFMutableDictionaryRef IOServiceMatching(const char* name) CF_RETURNS_RETAINED;
kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort,
                                           CFDictionaryRef matching CF_RELEASES_ARGUMENT,
                                           io_iterator_t* existing);
// 0 at the end, and also once the registry changed under the iteration: IOIteratorIsValid then
// answers false, and the walk must start again after IOIteratorReset.
io_object_t IOIteratorNext(io_iterator_t iterator);
boolean_t IOIteratorIsValid(io_iterator_t iterator);
void IOIteratorReset(io_iterator_t iterator);
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef allocator,
                                          IOOptionBits options) CF_RETURNS_RETAINED;
kern_return_t IOObjectRelease(io_object_t object);

#ifdef __cplusplus
}
#endif
