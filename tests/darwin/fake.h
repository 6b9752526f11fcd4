// A small fake of the macOS calls that the darwin backend makes, for its unit tests on Linux. It
// implements the functions declared in tests/darwin-sdk/include and counts references: every
// object it hands out stays inspectable after its last release, so a leak, a release too many,
// CFRelease(NULL) or the use of a consumed object is recorded as a misuse.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>
#include <IOKit/IOKitLib.h>
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>

namespace fake {

// Fake objects alive now, the immortal constants (kCFBooleanTrue, ...) not counted.
long liveObjects();
// References held on one object; 0 once it is freed.
long references(const void* object);
// What the code under test did that the platform would crash on or leak from.
const std::vector<std::string>& misuses();
// Releases the world's own references (displays, modes, registry properties) and clears it.
void releaseWorld();
// Forgets every object and misuse.
void reset();

// Makers: each returns one reference that the caller owns. array and dictionary take over the
// references passed to them, so nested values are built in one expression.
CFStringRef string(const char* utf8);
CFStringRef unencodableString();  // its UTF-8 conversion fails
CFNumberRef integer(std::int64_t value);
CFNumberRef real(double value);
// An integer beyond the signed 64-bit range: its Float64 reading and the low 64 bits that its
// SInt64 reading leaves behind.
CFNumberRef wideInteger(double approximate, std::uint64_t lowBits);
CFTypeRef otherObject();    // a CF type that has no JSON form (its type ID is kOtherTypeID)
CFTypeRef failingObject();  // asking its type throws std::bad_alloc, as an allocation can
inline constexpr CFTypeID kOtherTypeID = 99;
CFArrayRef array(std::initializer_list<CFTypeRef> items);
CFDictionaryRef dictionary(std::initializer_list<std::pair<CFTypeRef, CFTypeRef>> entries);
void append(CFArrayRef array, CFTypeRef item);  // retains item
void clear(CFArrayRef array);                   // releases the items
CFUUIDRef uuid(const char* text);

struct ModeValues {
  std::size_t width = 0, height = 0, pixelWidth = 0, pixelHeight = 0;
  double refreshRate = 0;
  std::uint32_t ioFlags = 0;
  std::int32_t ioDisplayModeID = 0;
};
CGDisplayModeRef mode(const ModeValues& values);

// CoreGraphics and ColorSync. The world holds one reference to each object given to it.
struct Display {
  CFUUIDRef uuid = nullptr;
  CGDisplayModeRef current = nullptr;
  CFArrayRef modes = nullptr;
  boolean_t active = 0, builtin = 0, inMirrorSet = 0, inHWMirrorSet = 0;
};
struct Graphics {
  std::map<CGDirectDisplayID, Display> displays;
  CGError registerResult = kCGErrorSuccess;
  CGError listResult = kCGErrorSuccess;
  CGError beginResult = kCGErrorSuccess;
  CGError configureResult = kCGErrorSuccess;
  CGError completeResult = kCGErrorSuccess;
  CGError cancelResult = kCGErrorSuccess;
  // Recordings
  CGDisplayReconfigurationCallBack callback = nullptr;
  void* userInfo = nullptr;
  std::vector<CFDictionaryRef> modeListOptions;  // the options of each mode list, borrowed
  int begins = 0, configures = 0, completes = 0, cancels = 0;
  std::vector<std::pair<CGDirectDisplayID, CGDisplayModeRef>> configured;
  std::vector<CGConfigureOption> completeOptions;
};
Graphics& graphics();

// IOKit: services of a class with their properties. The world holds the property values.
struct Service {
  std::string className;
  std::map<std::string, CFTypeRef> properties;
};
struct Registry {
  std::vector<Service> services;
  kern_return_t matchingResult = KERN_SUCCESS;
  // Walks cut short by a registry change: while positive, an iterator turns invalid after
  // handing out one service, and each such walk counts it down.
  int interruptedWalks = 0;
  // Recordings
  std::vector<std::string> matchedClasses;
  int resets = 0;
  std::vector<std::string> propertiesRead;
};
Registry& registry();

// libdispatch: what was queued, run on demand.
struct Queued {
  dispatch_queue_t queue;
  std::optional<dispatch_time_t> when;  // set for dispatch_after_f
  void* context;
  dispatch_function_t work;
};
std::vector<Queued>& queued();
void runQueued();  // runs and forgets everything queued, in order

// Fixture: after each test, once the world has let go, no object may be left alive and
// nothing may have been misused.
class Test : public ::testing::Test {
 protected:
  void TearDown() override {
    releaseWorld();
    EXPECT_EQ(liveObjects(), 0) << "objects leaked";
    for (const auto& m : misuses()) ADD_FAILURE() << m;
    reset();
  }
};

}  // namespace fake
