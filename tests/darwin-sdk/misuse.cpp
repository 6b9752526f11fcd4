// Mistakes that the declaration headers must reject, one per MISUSE case; with MISUSE 0 the
// same calls are made correctly and the file must compile, so a rejection can only come from
// the mistake.
#include <ColorSync/ColorSync.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>
#include <IOKit/IOKitLib.h>
#include <dispatch/dispatch.h>

#include <charconv>
#include <cstdint>

// Cases 11 and 12 are rejected only for a macOS target, through availability markup.

// Each case leaves most parameters unused; that must not be what fails it.
void uses([[maybe_unused]] CFStringRef string, [[maybe_unused]] CFArrayRef array,
          [[maybe_unused]] CFDictionaryRef dictionary, [[maybe_unused]] CFNumberRef number,
          [[maybe_unused]] CFUUIDRef uuid, [[maybe_unused]] CGDisplayModeRef mode,
          [[maybe_unused]] CGDisplayConfigRef config, [[maybe_unused]] io_object_t service,
          [[maybe_unused]] dispatch_source_t source, [[maybe_unused]] dispatch_function_t work) {
  [[maybe_unused]] std::int64_t value = 0;
  [[maybe_unused]] char text[32];
#if MISUSE == 1
  CGDisplayModeGetWidth(string);  // a string where a mode is expected
#elif MISUSE == 2
  CFRelease(service);  // a registry object released as a CF object
#elif MISUSE == 3
  CGDisplayModeRelease(array);  // the mode list released as a mode
#elif MISUSE == 4
  IOObjectRelease(array);  // a CF object released as a registry object
#elif MISUSE == 5
  CFArrayGetCount(dictionary);  // a dictionary where an array is expected
#elif MISUSE == 6
  dispatch_async_f(source, nullptr, work);  // a source where a queue is expected
#elif MISUSE == 7
  CGError error = 1001;  // a plain integer where a CGError is expected
  (void)error;
#elif MISUSE == 8
  CFNumberGetValue(number, 4, &value);  // a plain integer where a number type is expected
#elif MISUSE == 9
  CGConfigureDisplayWithDisplayMode(config, 1, mode, array);  // options that are not a dictionary
#elif MISUSE == 10
  CFStringGetLength(uuid);  // a UUID where its string is expected
#elif MISUSE == 11
  std::to_chars(text, text + sizeof text, 60.0, std::chars_format::fixed, 6);  // macOS 13.3 on
#elif MISUSE == 12
  [[maybe_unused]] mach_port_t port = kIOMasterPortDefault;  // the name before macOS 12
#else
  std::to_chars(text, text + sizeof text, 60);
  [[maybe_unused]] mach_port_t port = kIOMainPortDefault;
  CGDisplayModeGetWidth(mode);
  IOObjectRelease(service);
  CGDisplayModeRelease(mode);
  CFRelease(array);
  CFArrayGetCount(array);
  CFDictionaryGetCount(dictionary);
  dispatch_async_f(dispatch_get_main_queue(), nullptr, work);
  dispatch_set_context(source, nullptr);
  CGError error = kCGErrorIllegalArgument;
  (void)error;
  CFNumberGetValue(number, kCFNumberSInt64Type, &value);
  CGConfigureDisplayWithDisplayMode(config, 1, mode, dictionary);
  CFRelease(uuid);
  CFStringGetLength(string);
#endif
}
