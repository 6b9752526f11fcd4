// The device registry over IOKit.
#pragma once

#include <optional>
#include <string>

#include <IOKit/IOKitLib.h>
#include <nlohmann/json.hpp>

#include "platform/darwin/calls.h"

namespace df::platform::darwin {

// Holds one registry object (a service or an iterator); destroying it releases the object.
class IOObject final : public RegistryObject {
 public:
  explicit IOObject(io_object_t object) : object_(object) {}  // takes over the reference
  IOObject(const IOObject&) = delete;
  IOObject& operator=(const IOObject&) = delete;
  ~IOObject() override;

  io_object_t get() const { return object_; }

 private:
  io_object_t object_;
};

class IOKitRegistry final : public DeviceRegistry {
 public:
  KernReturn servicesMatching(const std::string& className, RegistryHandle& iterator) override;
  RegistryHandle iteratorNext(RegistryObject& iterator) override;
  PropertyValue registryProperty(RegistryObject& service, const std::string& key) override;
};

}  // namespace df::platform::darwin
