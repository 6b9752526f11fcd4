#include "platform/darwin/registry.h"

#include <memory>

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
  iterator = std::make_unique<IOObject>(found);
  return result;
}

RegistryHandle IOKitRegistry::iteratorNext(RegistryObject& iterator) {
  const io_iterator_t own = objectOf(iterator);
  if (own == 0) return nullptr;
  const io_object_t next = IOIteratorNext(own);
  if (next == 0) return nullptr;
  return std::make_unique<IOObject>(next);
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
