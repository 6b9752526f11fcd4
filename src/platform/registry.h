// The device registry: services matching a class name, and their properties as JSON values.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace df::platform {

using KernReturn = std::int32_t;  // 0 is success

// A property value: read-only and shared, so that a backend that keeps its values (the simulated
// machine) hands them out without copying. Null is an absent property.
using PropertyValue = std::shared_ptr<const nlohmann::json>;

// A copy of the value, nullopt for an absent property.
inline std::optional<nlohmann::json> copyOf(const PropertyValue& value) {
  return value ? std::optional<nlohmann::json>(*value) : std::nullopt;
}

// A registry object (service or iterator). Destroying it releases it.
class RegistryObject {
 public:
  virtual ~RegistryObject() = default;
};
using RegistryHandle = std::unique_ptr<RegistryObject>;

class DeviceRegistry {
 public:
  virtual ~DeviceRegistry() = default;
  // An iterator over the services that match the class name, in matching order.
  virtual KernReturn servicesMatching(const std::string& className, RegistryHandle& iterator) = 0;
  // The next service, or null at the end.
  virtual RegistryHandle iteratorNext(RegistryObject& iterator) = 0;
  // The property's value converted to JSON, or null when it is absent. The platform's own
  // value object is released before this returns. Values the platform cannot express in JSON
  // come back as a value that equals nothing the probe looks for.
  virtual PropertyValue registryProperty(RegistryObject& service, const std::string& key) = 0;
};

}  // namespace df::platform
