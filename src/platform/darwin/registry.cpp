#include "platform/darwin/registry.h"

#include <cstddef>
#include <memory>
#include <vector>

#include <CoreFoundation/CoreFoundation.h>

#include "platform/darwin/cf.h"
#include "platform/darwin/cf_json.h"

namespace df::platform::darwin {
namespace {

// The registry object of a handle this backend made; 0 (no object) otherwise.
io_object_t objectOf(RegistryObject& object) {
  auto* own = dynamic_cast<IOObject*>(&object);
  return own != nullptr ? own->get() : 0;
}

// A handle of its own for an object the caller owns; the object is released should making the
// handle fail.
std::unique_ptr<IOObject> adoptObject(io_object_t object) {
  try {
    return std::make_unique<IOObject>(object);
  } catch (...) {
    IOObjectRelease(object);
    throw;
  }
}

// The services of one complete walk of a matching iterator, handed out in order.
class ServiceList final : public RegistryObject {
 public:
  std::vector<std::unique_ptr<IOObject>> services;
  std::size_t next = 0;
};

// Walks of an iterator that the registry invalidates before one completes. The registry changes
// when a display or framebuffer comes or goes; a handful of walks outlasts any such burst.
constexpr int kMaxWalks = 4;
// kIOReturnNotReady: what the caller sees when no walk completed.
constexpr KernReturn kRegistryKeptChanging = static_cast<KernReturn>(0xe00002d8);

}  // namespace

IOObject::~IOObject() {
  if (object_ != 0) IOObjectRelease(object_);
}

KernReturn IOKitRegistry::servicesMatching(const std::string& className, RegistryHandle& iterator) {
  iterator.reset();
  io_iterator_t found = 0;
  // The matching dictionary is consumed by the call, whatever it returns.
  const kern_return_t result = IOServiceGetMatchingServices(
      kIOMainPortDefault, IOServiceMatching(className.c_str()), &found);
  if (result != KERN_SUCCESS) return result;
  const std::unique_ptr<IOObject> walk = adoptObject(found);
  // An iterator that the registry invalidates mid-walk ends early; its services may then be
  // incomplete or repeat, so the walk starts again from a reset iterator.
  auto list = std::make_unique<ServiceList>();
  for (int attempt = 0; attempt < kMaxWalks; ++attempt) {
    if (attempt > 0) IOIteratorReset(walk->get());
    list->services.clear();
    while (const io_object_t service = IOIteratorNext(walk->get())) {
      list->services.push_back(adoptObject(service));
    }
    if (IOIteratorIsValid(walk->get()) != 0) {
      iterator = std::move(list);
      return KERN_SUCCESS;
    }
  }
  return kRegistryKeptChanging;
}

RegistryHandle IOKitRegistry::iteratorNext(RegistryObject& iterator) {
  auto* list = dynamic_cast<ServiceList*>(&iterator);
  if (list == nullptr || list->next >= list->services.size()) return nullptr;
  return std::move(list->services[list->next++]);
}

PropertyValue IOKitRegistry::registryProperty(RegistryObject& service, const std::string& key) {
  const io_registry_entry_t entry = objectOf(service);
  if (entry == 0) return nullptr;
  const auto name = CFRef<CFStringRef>::adopt(
      CFStringCreateWithCString(kCFAllocatorDefault, key.c_str(), kCFStringEncodingUTF8));
  if (!name) return nullptr;
  auto value = takeJSON(IORegistryEntryCreateCFProperty(entry, name.get(), kCFAllocatorDefault, 0));
  if (!value) return nullptr;
  return std::make_shared<const nlohmann::json>(std::move(*value));
}

}  // namespace df::platform::darwin
