#include "platform/darwin/registry.h"

#include <new>
#include <vector>

#include "darwin/fake.h"

namespace df::platform::darwin {
namespace {

using RegistryTest = fake::Test;

constexpr const char* kShim = "IOMobileFramebufferShim";

class Foreign final : public RegistryObject {};

void addService(const char* className, const char* uuid) {
  fake::registry().services.push_back(
      {className, {{"IOMFBUUID", fake::string(uuid)}, {"external", CFRetain(kCFBooleanTrue)}}});
}

TEST_F(RegistryTest, WalksTheMatchingServicesInOrderAndReleasesThem) {
  addService(kShim, "A");
  addService("AppleCLCD2", "B");
  addService(kShim, "C");
  IOKitRegistry registry;
  RegistryHandle iterator;
  ASSERT_EQ(registry.servicesMatching(kShim, iterator), KERN_SUCCESS);
  ASSERT_NE(iterator, nullptr);
  std::vector<nlohmann::json> uuids;
  while (RegistryHandle service = registry.iteratorNext(*iterator)) {
    uuids.push_back(copyOf(registry.registryProperty(*service, "IOMFBUUID")).value_or(nullptr));
    EXPECT_EQ(copyOf(registry.registryProperty(*service, "external")), true);
    EXPECT_EQ(registry.registryProperty(*service, "DPTimingModeId"), nullptr);
  }
  EXPECT_EQ(uuids, (std::vector<nlohmann::json>{"A", "C"}));
  EXPECT_EQ(fake::registry().matchedClasses, std::vector<std::string>{kShim});
  iterator.reset();
  // Only the world's own references are left: every service, key and value was released.
  for (const auto& service : fake::registry().services) {
    for (const auto& [key, value] : service.properties) EXPECT_EQ(fake::references(value), 1);
  }
  EXPECT_EQ(fake::liveObjects(), 3);  // the three UUID strings; the booleans are constants
}

TEST_F(RegistryTest, WalkStartsAgainWhenTheRegistryChangesUnderIt) {
  addService(kShim, "A");
  addService("AppleCLCD2", "B");
  addService(kShim, "C");
  fake::registry().interruptedWalks = 2;
  IOKitRegistry registry;
  RegistryHandle iterator;
  ASSERT_EQ(registry.servicesMatching(kShim, iterator), KERN_SUCCESS);
  std::vector<nlohmann::json> uuids;
  while (RegistryHandle service = registry.iteratorNext(*iterator)) {
    uuids.push_back(copyOf(registry.registryProperty(*service, "IOMFBUUID")).value_or(nullptr));
  }
  EXPECT_EQ(uuids, (std::vector<nlohmann::json>{"A", "C"}));  // each once, in order
  EXPECT_EQ(fake::registry().resets, 2);

  // A registry that never holds still long enough: no services rather than a partial list.
  fake::registry().interruptedWalks = 100;
  EXPECT_NE(registry.servicesMatching(kShim, iterator), KERN_SUCCESS);
  EXPECT_EQ(iterator, nullptr);
}

TEST_F(RegistryTest, ValueIsReleasedWhenItsConversionThrows) {
  addService(kShim, "A");
  const CFTypeRef value = fake::array({fake::integer(1), fake::failingObject()});
  fake::registry().services[0].properties["Broken"] = value;
  IOKitRegistry registry;
  RegistryHandle iterator;
  ASSERT_EQ(registry.servicesMatching(kShim, iterator), KERN_SUCCESS);
  const RegistryHandle service = registry.iteratorNext(*iterator);
  ASSERT_NE(service, nullptr);
  EXPECT_THROW(registry.registryProperty(*service, "Broken"), std::bad_alloc);
  EXPECT_EQ(fake::references(value), 1);  // the world's own
}

TEST_F(RegistryTest, FailedMatchingGivesItsCodeAndNoIterator) {
  addService(kShim, "A");
  fake::registry().matchingResult = static_cast<kern_return_t>(0xe00002c7);
  IOKitRegistry registry;
  RegistryHandle iterator = std::make_unique<Foreign>();
  EXPECT_EQ(registry.servicesMatching(kShim, iterator), static_cast<KernReturn>(0xe00002c7));
  EXPECT_EQ(iterator, nullptr);
}

TEST_F(RegistryTest, ObjectsFromElsewhereReachNoPlatformCall) {
  addService(kShim, "A");
  IOKitRegistry registry;
  Foreign foreign;
  EXPECT_EQ(registry.iteratorNext(foreign), nullptr);
  EXPECT_EQ(registry.registryProperty(foreign, "IOMFBUUID"), nullptr);
  EXPECT_TRUE(fake::registry().propertiesRead.empty());
}

}  // namespace
}  // namespace df::platform::darwin
