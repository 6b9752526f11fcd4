#include "darwin/fake.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include <ColorSync/ColorSync.h>

namespace fake {
namespace {

enum class Kind {
  String,
  Number,
  Boolean,
  Array,
  Dictionary,
  UUID,
  Other,
  Failing,
  Mode,
  Config,
  Iterator,
  Service
};

struct Object {
  Kind kind = Kind::Other;
  long refs = 1;
  bool immortal = false;
  io_object_t handle = 0;  // registry objects only
  std::string text;        // strings and UUIDs
  bool unencodable = false;
  bool isFloat = false, wide = false, boolean = false;
  double real = 0;
  std::int64_t integer = 0;
  std::uint64_t lowBits = 0;
  std::vector<const void*> items;
  std::vector<std::pair<const void*, const void*>> entries;
  ModeValues mode;
  std::vector<std::size_t> matched;  // an iterator's services
  std::size_t next = 0;
  bool invalid = false;
  std::string className;  // an iterator's
  std::size_t service = 0;
};

struct State {
  std::vector<std::unique_ptr<Object>> objects;  // never freed before reset, to catch late uses
  std::vector<std::string> misuses;
  Graphics graphics;
  Registry registry;
  std::vector<Queued> queued;
};

State& state() {
  static State s;
  return s;
}

void misuse(const std::string& what) {
  state().misuses.push_back(what);
}

Object* make(Kind kind) {
  auto& objects = state().objects;
  objects.push_back(std::make_unique<Object>());
  objects.back()->kind = kind;
  return objects.back().get();
}

Object* object(const void* ref) {
  return static_cast<Object*>(const_cast<void*>(ref));
}

template <typename Ref>
Ref as(Object* o) {
  return reinterpret_cast<Ref>(o);
}

Object immortal(Kind kind, const char* text = "", bool value = false) {
  Object o;
  o.kind = kind;
  o.immortal = true;
  o.text = text;
  o.boolean = value;
  return o;
}

// The live object behind a reference, of the given kind; a misuse otherwise.
Object* use(const void* ref, Kind kind, const char* call) {
  if (ref == nullptr) {
    misuse(std::string(call) + " given NULL");
    return nullptr;
  }
  Object* o = object(ref);
  if (!o->immortal && o->refs <= 0) {
    misuse(std::string(call) + " given a freed or consumed object");
    return nullptr;
  }
  if (o->kind != kind) {
    misuse(std::string(call) + " given an object of another type");
    return nullptr;
  }
  return o;
}

void releaseObject(Object* o, const char* call) {
  if (o->immortal) return;
  if (o->refs <= 0) {
    misuse(std::string(call) + " of a freed object");
    return;
  }
  if (--o->refs > 0) return;
  for (const void* item : o->items) releaseObject(object(item), "release of an item");
  for (auto [key, value] : o->entries) {
    releaseObject(object(key), "release of a key");
    releaseObject(object(value), "release of a value");
  }
  o->items.clear();
  o->entries.clear();
}

void retainObject(Object* o) {
  if (!o->immortal) ++o->refs;
}

Object* registryObject(io_object_t handle, const char* call) {
  auto& objects = state().objects;
  if (handle == 0 || handle > objects.size()) {
    misuse(std::string(call) + " given no registry object");
    return nullptr;
  }
  Object* o = objects[handle - 1].get();
  if ((o->kind != Kind::Iterator && o->kind != Kind::Service) || o->refs <= 0) {
    misuse(std::string(call) + " given a released registry object");
    return nullptr;
  }
  return o;
}

Object* makeRegistryObject(Kind kind) {
  Object* o = make(kind);
  o->handle = static_cast<io_object_t>(state().objects.size());
  return o;
}

Display* display(CGDirectDisplayID id) {
  auto& displays = state().graphics.displays;
  auto it = displays.find(id);
  return it == displays.end() ? nullptr : &it->second;
}

bool sameKey(const void* a, const void* b) {
  if (a == b) return true;
  const Object* x = object(a);
  const Object* y = object(b);
  return x->kind == Kind::String && y->kind == Kind::String && x->text == y->text;
}

Object trueObject = immortal(Kind::Boolean, "", true);
Object falseObject = immortal(Kind::Boolean, "", false);
Object showDuplicatesKey = immortal(Kind::String, "kCGDisplayShowDuplicateLowResolutionModes");
alignas(16) unsigned char mainQueue[16];
alignas(16) unsigned char globalQueue[16];

}  // namespace

long liveObjects() {
  long live = 0;
  for (const auto& o : state().objects) live += o->refs > 0 ? 1 : 0;
  return live;
}

long references(const void* ref) {
  return object(ref)->refs;
}

const std::vector<std::string>& misuses() {
  return state().misuses;
}

void releaseWorld() {
  State& s = state();
  for (auto& [id, d] : s.graphics.displays) {
    for (const void* held : {static_cast<const void*>(d.uuid), static_cast<const void*>(d.current),
                             static_cast<const void*>(d.modes)}) {
      if (held != nullptr) releaseObject(object(held), "reset");
    }
  }
  for (auto& service : s.registry.services) {
    for (auto& [key, value] : service.properties) releaseObject(object(value), "reset");
  }
  s.graphics = Graphics{};
  s.registry = Registry{};
  s.queued.clear();
}

void reset() {
  state().objects.clear();
  state().misuses.clear();
}

CFStringRef string(const char* utf8) {
  Object* o = make(Kind::String);
  o->text = utf8;
  return as<CFStringRef>(o);
}

CFStringRef unencodableString() {
  Object* o = make(Kind::String);
  o->text = "?";
  o->unencodable = true;
  return as<CFStringRef>(o);
}

CFNumberRef integer(std::int64_t value) {
  Object* o = make(Kind::Number);
  o->integer = value;
  return as<CFNumberRef>(o);
}

CFNumberRef real(double value) {
  Object* o = make(Kind::Number);
  o->isFloat = true;
  o->real = value;
  return as<CFNumberRef>(o);
}

CFNumberRef wideInteger(double approximate, std::uint64_t lowBits) {
  Object* o = make(Kind::Number);
  o->wide = true;
  o->real = approximate;
  o->lowBits = lowBits;
  return as<CFNumberRef>(o);
}

CFTypeRef otherObject() {
  return make(Kind::Other);
}

CFTypeRef failingObject() {
  return make(Kind::Failing);
}

CFArrayRef array(std::initializer_list<CFTypeRef> items) {
  Object* o = make(Kind::Array);
  o->items.assign(items.begin(), items.end());
  return as<CFArrayRef>(o);
}

CFDictionaryRef dictionary(std::initializer_list<std::pair<CFTypeRef, CFTypeRef>> entries) {
  Object* o = make(Kind::Dictionary);
  o->entries.assign(entries.begin(), entries.end());
  return as<CFDictionaryRef>(o);
}

void append(CFArrayRef array, CFTypeRef item) {
  retainObject(object(item));
  object(array)->items.push_back(item);
}

void clear(CFArrayRef array) {
  Object* o = object(array);
  auto items = std::move(o->items);
  o->items.clear();
  for (const void* item : items) releaseObject(object(item), "clear");
}

CFUUIDRef uuid(const char* text) {
  Object* o = make(Kind::UUID);
  o->text = text;
  return as<CFUUIDRef>(o);
}

CGDisplayModeRef mode(const ModeValues& values) {
  Object* o = make(Kind::Mode);
  o->mode = values;
  return as<CGDisplayModeRef>(o);
}

Graphics& graphics() {
  return state().graphics;
}
Registry& registry() {
  return state().registry;
}
std::vector<Queued>& queued() {
  return state().queued;
}

void runQueued() {
  auto batch = std::move(state().queued);
  state().queued.clear();
  for (const Queued& q : batch) q.work(q.context);
}

}  // namespace fake

using fake::Kind;
using fake::Object;

// CoreFoundation
const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFBooleanRef kCFBooleanTrue = fake::as<CFBooleanRef>(&fake::trueObject);
const CFBooleanRef kCFBooleanFalse = fake::as<CFBooleanRef>(&fake::falseObject);
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {};

CFTypeID CFGetTypeID(CFTypeRef cf) {
  if (cf == nullptr) {
    fake::misuse("CFGetTypeID given NULL");
    return 0;
  }
  switch (fake::object(cf)->kind) {
    case Kind::String:
      return CFStringGetTypeID();
    case Kind::Number:
      return CFNumberGetTypeID();
    case Kind::Boolean:
      return CFBooleanGetTypeID();
    case Kind::Array:
      return CFArrayGetTypeID();
    case Kind::Dictionary:
      return CFDictionaryGetTypeID();
    case Kind::UUID:
      return 32;
    case Kind::Mode:
      return 300;
    case Kind::Other:
      return fake::kOtherTypeID;
    case Kind::Failing:
      throw std::bad_alloc();
    default:
      return 0;
  }
}

CFTypeRef CFRetain(CFTypeRef cf) {
  if (cf == nullptr) {
    fake::misuse("CFRetain(NULL)");
    return cf;
  }
  Object* o = fake::object(cf);
  if (!o->immortal && o->refs <= 0) fake::misuse("CFRetain of a freed object");
  fake::retainObject(o);
  return cf;
}

void CFRelease(CFTypeRef cf) {
  if (cf == nullptr) {
    fake::misuse("CFRelease(NULL)");
    return;
  }
  if (fake::object(cf)->kind == Kind::Config) {
    fake::misuse("CFRelease of a display configuration");
    return;
  }
  fake::releaseObject(fake::object(cf), "CFRelease");
}

CFTypeID CFStringGetTypeID(void) {
  return 7;
}
CFTypeID CFNumberGetTypeID(void) {
  return 22;
}
CFTypeID CFBooleanGetTypeID(void) {
  return 21;
}
CFTypeID CFArrayGetTypeID(void) {
  return 19;
}
CFTypeID CFDictionaryGetTypeID(void) {
  return 18;
}

CFIndex CFStringGetLength(CFStringRef theString) {
  const Object* o = fake::use(theString, Kind::String, "CFStringGetLength");
  if (o == nullptr) return 0;
  CFIndex units = 0;  // UTF-16 units: one per code point, two beyond the BMP
  for (unsigned char c : o->text) {
    if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
  if (encoding != kCFStringEncodingUTF8) fake::misuse("an encoding other than UTF-8");
  return length * 3;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
  const Object* o = fake::use(theString, Kind::String, "CFStringGetCString");
  if (encoding != kCFStringEncodingUTF8) fake::misuse("an encoding other than UTF-8");
  if (o == nullptr || o->unencodable) return false;
  if (static_cast<CFIndex>(o->text.size()) + 1 > bufferSize) return false;
  std::memcpy(buffer, o->text.c_str(), o->text.size() + 1);
  return true;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
  if (encoding != kCFStringEncodingUTF8) fake::misuse("an encoding other than UTF-8");
  return fake::string(cStr);
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  const Object* o = fake::use(boolean, Kind::Boolean, "CFBooleanGetValue");
  return o != nullptr && o->boolean;
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
  const Object* o = fake::use(number, Kind::Number, "CFNumberIsFloatType");
  return o != nullptr && o->isFloat;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
  const Object* o = fake::use(number, Kind::Number, "CFNumberGetValue");
  if (o == nullptr) return false;
  if (theType == kCFNumberSInt64Type) {
    auto* out = static_cast<std::int64_t*>(valuePtr);
    if (o->wide) {
      *out = static_cast<std::int64_t>(o->lowBits);
      return false;
    }
    if (o->isFloat) {
      *out = static_cast<std::int64_t>(o->real);
      return std::trunc(o->real) == o->real;
    }
    *out = o->integer;
    return true;
  }
  if (theType == kCFNumberFloat64Type) {
    *static_cast<double*>(valuePtr) =
        o->isFloat || o->wide ? o->real : static_cast<double>(o->integer);
    return !o->wide;
  }
  fake::misuse("CFNumberGetValue with an unexpected type");
  return false;
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
  const Object* o = fake::use(theArray, Kind::Array, "CFArrayGetCount");
  return o == nullptr ? 0 : static_cast<CFIndex>(o->items.size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
  const Object* o = fake::use(theArray, Kind::Array, "CFArrayGetValueAtIndex");
  if (o == nullptr || idx < 0 || idx >= static_cast<CFIndex>(o->items.size())) {
    fake::misuse("CFArrayGetValueAtIndex out of range");
    return nullptr;
  }
  return o->items[static_cast<std::size_t>(idx)];
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
  const Object* o = fake::use(theDict, Kind::Dictionary, "CFDictionaryGetCount");
  return o == nullptr ? 0 : static_cast<CFIndex>(o->entries.size());
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
  const Object* o = fake::use(theDict, Kind::Dictionary, "CFDictionaryGetValue");
  if (o == nullptr) return nullptr;
  for (auto [k, v] : o->entries) {
    if (fake::sameKey(k, key)) return v;
  }
  return nullptr;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
  const Object* o = fake::use(theDict, Kind::Dictionary, "CFDictionaryGetKeysAndValues");
  if (o == nullptr) return;
  for (std::size_t i = 0; i < o->entries.size(); ++i) {
    keys[i] = o->entries[i].first;
    values[i] = o->entries[i].second;
  }
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
  if (keyCallBacks != &kCFTypeDictionaryKeyCallBacks ||
      valueCallBacks != &kCFTypeDictionaryValueCallBacks) {
    fake::misuse("a dictionary that does not retain its contents");
  }
  Object* o = fake::make(Kind::Dictionary);
  for (CFIndex i = 0; i < numValues; ++i) {
    CFRetain(keys[i]);
    CFRetain(values[i]);
    o->entries.emplace_back(keys[i], values[i]);
  }
  return fake::as<CFDictionaryRef>(o);
}

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid) {
  const Object* o = fake::use(uuid, Kind::UUID, "CFUUIDCreateString");
  // A UUID made with empty text stands for one whose string cannot be made.
  if (o == nullptr || o->text.empty()) return nullptr;
  return fake::string(o->text.c_str());
}

// CoreGraphics and ColorSync
const CFStringRef kCGDisplayShowDuplicateLowResolutionModes =
    fake::as<CFStringRef>(&fake::showDuplicatesKey);

CGError CGDisplayRegisterReconfigurationCallback(CGDisplayReconfigurationCallBack callback,
                                                 void* userInfo) {
  auto& g = fake::graphics();
  g.callback = callback;
  g.userInfo = userInfo;
  return g.registerResult;
}

CGError CGGetOnlineDisplayList(uint32_t maxDisplays, CGDirectDisplayID* onlineDisplays,
                               uint32_t* displayCount) {
  auto& g = fake::graphics();
  uint32_t n = 0;
  for (const auto& [id, d] : g.displays) {
    if (onlineDisplays != nullptr) {
      if (n == maxDisplays) break;
      onlineDisplays[n] = id;
    }
    ++n;
  }
  *displayCount = n;
  return g.listResult;
}

CFUUIDRef CGDisplayCreateUUIDFromDisplayID(uint32_t displayID) {
  const fake::Display* d = fake::display(displayID);
  if (d == nullptr || d->uuid == nullptr) return nullptr;
  CFRetain(d->uuid);
  return d->uuid;
}

CFArrayRef CGDisplayCopyAllDisplayModes(CGDirectDisplayID display, CFDictionaryRef options) {
  fake::graphics().modeListOptions.push_back(options);
  const fake::Display* d = fake::display(display);
  if (d == nullptr || d->modes == nullptr) return nullptr;
  CFRetain(d->modes);
  return d->modes;
}

CGDisplayModeRef CGDisplayCopyDisplayMode(CGDirectDisplayID display) {
  const fake::Display* d = fake::display(display);
  if (d == nullptr || d->current == nullptr) return nullptr;
  CFRetain(d->current);
  return d->current;
}

namespace {
const fake::ModeValues* values(CGDisplayModeRef mode) {
  const Object* o = fake::use(mode, Kind::Mode, "a CGDisplayModeGet call");
  return o == nullptr ? nullptr : &o->mode;
}
}  // namespace

size_t CGDisplayModeGetWidth(CGDisplayModeRef mode) {
  return values(mode) ? values(mode)->width : 0;
}
size_t CGDisplayModeGetHeight(CGDisplayModeRef mode) {
  return values(mode) ? values(mode)->height : 0;
}
size_t CGDisplayModeGetPixelWidth(CGDisplayModeRef mode) {
  return values(mode) ? values(mode)->pixelWidth : 0;
}
size_t CGDisplayModeGetPixelHeight(CGDisplayModeRef mode) {
  return values(mode) ? values(mode)->pixelHeight : 0;
}
double CGDisplayModeGetRefreshRate(CGDisplayModeRef mode) {
  return values(mode) ? values(mode)->refreshRate : 0;
}
uint32_t CGDisplayModeGetIOFlags(CGDisplayModeRef mode) {
  return values(mode) ? values(mode)->ioFlags : 0;
}
int32_t CGDisplayModeGetIODisplayModeID(CGDisplayModeRef mode) {
  return values(mode) ? values(mode)->ioDisplayModeID : 0;
}

CGDisplayModeRef CGDisplayModeRetain(CGDisplayModeRef mode) {
  if (mode != nullptr && fake::use(mode, Kind::Mode, "CGDisplayModeRetain") != nullptr) {
    fake::retainObject(fake::object(mode));
  }
  return mode;
}

void CGDisplayModeRelease(CGDisplayModeRef mode) {
  if (mode == nullptr) return;
  if (fake::object(mode)->kind != Kind::Mode) fake::misuse("CGDisplayModeRelease of another type");
  fake::releaseObject(fake::object(mode), "CGDisplayModeRelease");
}

namespace {
boolean_t flag(CGDirectDisplayID id, boolean_t fake::Display::*member) {
  const fake::Display* d = fake::display(id);
  return d == nullptr ? 0 : d->*member;
}
}  // namespace

boolean_t CGDisplayIsActive(CGDirectDisplayID d) {
  return flag(d, &fake::Display::active);
}
boolean_t CGDisplayIsBuiltin(CGDirectDisplayID d) {
  return flag(d, &fake::Display::builtin);
}
boolean_t CGDisplayIsInMirrorSet(CGDirectDisplayID d) {
  return flag(d, &fake::Display::inMirrorSet);
}
boolean_t CGDisplayIsInHWMirrorSet(CGDirectDisplayID d) {
  return flag(d, &fake::Display::inHWMirrorSet);
}

CGError CGBeginDisplayConfiguration(CGDisplayConfigRef* config) {
  auto& g = fake::graphics();
  ++g.begins;
  if (g.beginResult != kCGErrorSuccess) return g.beginResult;
  *config = fake::as<CGDisplayConfigRef>(fake::make(Kind::Config));
  return kCGErrorSuccess;
}

CGError CGConfigureDisplayWithDisplayMode(CGDisplayConfigRef config, CGDirectDisplayID display,
                                          CGDisplayModeRef mode, CFDictionaryRef options) {
  auto& g = fake::graphics();
  ++g.configures;
  fake::use(config, Kind::Config, "CGConfigureDisplayWithDisplayMode");
  fake::use(mode, Kind::Mode, "CGConfigureDisplayWithDisplayMode");
  if (options != nullptr) fake::misuse("configuration options given");
  g.configured.emplace_back(display, mode);
  return g.configureResult;
}

namespace {
// Complete and Cancel both consume the configuration, whatever they return.
void consume(CGDisplayConfigRef config, const char* call) {
  if (Object* o = fake::use(config, Kind::Config, call)) o->refs = 0;
}
}  // namespace

CGError CGCompleteDisplayConfiguration(CGDisplayConfigRef config, CGConfigureOption option) {
  auto& g = fake::graphics();
  ++g.completes;
  g.completeOptions.push_back(option);
  consume(config, "CGCompleteDisplayConfiguration");
  return g.completeResult;
}

CGError CGCancelDisplayConfiguration(CGDisplayConfigRef config) {
  auto& g = fake::graphics();
  ++g.cancels;
  consume(config, "CGCancelDisplayConfiguration");
  return g.cancelResult;
}

// IOKit
const mach_port_t kIOMainPortDefault = 0;
const mach_port_t kIOMasterPortDefault = 0;

CFMutableDictionaryRef IOServiceMatching(const char* name) {
  CFDictionaryRef matching =
      fake::dictionary({{fake::string("IOProviderClass"), fake::string(name)}});
  return const_cast<CFMutableDictionaryRef>(matching);
}

kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, CFDictionaryRef matching,
                                           io_iterator_t* existing) {
  if (mainPort != kIOMainPortDefault) fake::misuse("a main port other than the default");
  auto& r = fake::registry();
  const Object* m = fake::use(matching, Kind::Dictionary, "IOServiceGetMatchingServices");
  if (m == nullptr) return static_cast<kern_return_t>(0xe00002c2);  // kIOReturnBadArgument
  const std::string className = fake::object(m->entries.at(0).second)->text;
  r.matchedClasses.push_back(className);
  CFRelease(matching);  // consumed on every path
  if (r.matchingResult != KERN_SUCCESS) return r.matchingResult;
  Object* it = fake::makeRegistryObject(Kind::Iterator);
  it->className = className;
  IOIteratorReset(it->handle);
  r.resets = 0;
  *existing = it->handle;
  return KERN_SUCCESS;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
  Object* it = fake::registryObject(iterator, "IOIteratorNext");
  if (it == nullptr || it->kind != Kind::Iterator || it->invalid) return 0;
  auto& r = fake::registry();
  if (it->next == 1 && r.interruptedWalks > 0) {
    --r.interruptedWalks;
    it->invalid = true;
    return 0;
  }
  if (it->next == it->matched.size()) return 0;
  const std::size_t service = it->matched[it->next++];
  Object* o = fake::makeRegistryObject(Kind::Service);
  o->service = service;
  return o->handle;
}

boolean_t IOIteratorIsValid(io_iterator_t iterator) {
  Object* it = fake::registryObject(iterator, "IOIteratorIsValid");
  return it != nullptr && it->kind == Kind::Iterator && !it->invalid;
}

void IOIteratorReset(io_iterator_t iterator) {
  Object* it = fake::registryObject(iterator, "IOIteratorReset");
  if (it == nullptr || it->kind != Kind::Iterator) return;
  auto& r = fake::registry();
  ++r.resets;
  // The walk starts over on the registry as it is now.
  it->matched.clear();
  for (std::size_t i = 0; i < r.services.size(); ++i) {
    if (r.services[i].className == it->className) it->matched.push_back(i);
  }
  it->next = 0;
  it->invalid = false;
}

CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef, IOOptionBits options) {
  const Object* service = fake::registryObject(entry, "IORegistryEntryCreateCFProperty");
  const Object* name = fake::use(key, Kind::String, "IORegistryEntryCreateCFProperty");
  if (options != 0) fake::misuse("property options given");
  if (service == nullptr || service->kind != Kind::Service || name == nullptr) return nullptr;
  auto& r = fake::registry();
  r.propertiesRead.push_back(name->text);
  const auto& properties = r.services[service->service].properties;
  auto it = properties.find(name->text);
  if (it == properties.end()) return nullptr;
  return CFRetain(it->second);
}

kern_return_t IOObjectRelease(io_object_t object) {
  if (Object* o = fake::registryObject(object, "IOObjectRelease")) {
    fake::releaseObject(o, "IOObjectRelease");
  }
  return KERN_SUCCESS;
}

// libdispatch
dispatch_queue_main_t dispatch_get_main_queue(void) {
  return reinterpret_cast<dispatch_queue_main_t>(&fake::mainQueue);
}

dispatch_queue_global_t dispatch_get_global_queue(intptr_t, uintptr_t) {
  return reinterpret_cast<dispatch_queue_global_t>(&fake::globalQueue);
}

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
  return when + static_cast<dispatch_time_t>(delta);
}

void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work) {
  fake::queued().push_back({queue, std::nullopt, context, work});
}

void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work) {
  fake::queued().push_back({queue, when, context, work});
}
