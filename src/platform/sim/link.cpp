// The link model: the device registry's framebuffer services, the external display object and
// the link timing that follows the desktop's mode.
#include <algorithm>

#include "platform/sim/machine.h"
#include "platform/sim/machine_internal.h"

namespace df::sim {

using darwin::Error;
using darwin::kErrorFailure;
using darwin::kErrorIllegalArgument;
using darwin::kSuccess;
using nlohmann::json;
using platform::DisplayID;

// --- Handle objects ---

class SimMachine::IteratorObject final : public darwin::RegistryObject {
 public:
  IteratorObject(std::shared_ptr<std::atomic<std::int64_t>> live,
                 std::vector<std::shared_ptr<ServiceData>> services)
      : token_(std::move(live)), services(std::move(services)) {}

 private:
  LiveToken token_;

 public:
  const std::vector<std::shared_ptr<ServiceData>> services;
  std::size_t next = 0;
};

class SimMachine::ServiceObject final : public darwin::RegistryObject {
 public:
  ServiceObject(std::shared_ptr<std::atomic<std::int64_t>> live, std::shared_ptr<ServiceData> data)
      : token_(std::move(live)), data(std::move(data)) {}

 private:
  LiveToken token_;

 public:
  // Live: a service's properties change under it (the link follows the desktop).
  const std::shared_ptr<ServiceData> data;
};

class SimMachine::ExternalModeObject final : public darwin::ExternalMode {
 public:
  ExternalModeObject(std::shared_ptr<std::atomic<std::int64_t>> live, ExternalModeData data,
                     std::size_t index, std::uint64_t version)
      : token_(std::move(live)), data(std::move(data)), index(index), version(version) {}
  std::optional<bool> isVRR() const override { return data.isVRR; }
  double refreshRate() const override { return data.refreshRate; }
  std::optional<std::string> colorMode() const override { return data.colorMode; }
  std::optional<std::string> hdrMode() const override { return data.hdrMode; }
  std::uint64_t width() const override { return data.width; }
  std::uint64_t height() const override { return data.height; }

 private:
  LiveToken token_;

 public:
  const ExternalModeData data;
  const std::size_t index;      // in availableModes
  const std::uint64_t version;  // of the external display it was read from
};

// Asks the machine afresh on every call, so it follows a replaced or removed external display.
class SimMachine::ExternalObject final : public darwin::ExternalDisplay {
 public:
  ExternalObject(std::shared_ptr<std::atomic<std::int64_t>> live, std::weak_ptr<SimMachine*> owner)
      : token_(std::move(live)), owner_(std::move(owner)) {}
  std::optional<std::string> uuid() override {
    auto m = machine();
    return m ? m->externalUUID() : std::nullopt;
  }
  std::uint32_t display() override {
    auto m = machine();
    return m ? m->externalDisplayID() : 0;
  }
  darwin::ExternalModeHandle currentMode() override {
    auto m = machine();
    return m ? m->externalCurrentMode() : nullptr;
  }
  std::optional<std::vector<darwin::ExternalModeHandle>> availableModes() override {
    auto m = machine();
    if (!m) return std::nullopt;
    return m->externalAvailableModes();
  }
  void setCurrentMode(const darwin::ExternalMode& mode) override {
    if (auto m = machine()) m->externalSetCurrentMode(mode);
  }

 private:
  SimMachine* machine() const {
    auto owner = owner_.lock();
    return owner ? *owner : nullptr;
  }
  LiveToken token_;
  std::weak_ptr<SimMachine*> owner_;
};

const SimMachine::DisplayData* SimMachine::externalOwner() const {
  if (!external_) return nullptr;
  if (external_->display) return find(*external_->display);
  for (const auto& d : displays_)
    if (!d.builtin) return &d;
  return nullptr;
}

DisplayID SimMachine::externalOwnerID() const {
  const auto* owner = externalOwner();
  return owner ? owner->id : 0;
}

void SimMachine::followLink(const DisplayData& d, Nanos now) {
  if (!external_ || externalOwnerID() != d.id || !d.current) return;
  const auto& timing = d.modes[*d.current].timing;
  if (!timing) return;
  if (external_->linkSettle.count() == 0) {
    setLinkTiming(*timing);
    return;
  }
  if (!external_->linkDrop) {
    scheduleStep(now + external_->linkSettle,
                 [this, value = *timing](Nanos, Notices&) { setLinkTiming(value); });
    return;
  }
  const std::uint64_t retrain = dropLinkTiming();
  scheduleStep(now + external_->linkSettle, [this, value = *timing, retrain](Nanos, Notices&) {
    if (retrain == linkGeneration_) setLinkTiming(value);
  });
}

std::uint64_t SimMachine::dropLinkTiming() {
  if (external_ && external_->uuid) {
    for (auto& service : registry_) {
      const json& props = *service->properties;
      if (!props.is_object()) continue;
      auto it = props.find("IOMFBUUID");
      if (it == props.end() || *it != *external_->uuid || !props.contains("DPTimingModeId"))
        continue;
      auto changed = std::make_shared<json>(props);
      changed->erase("DPTimingModeId");
      service->properties = std::move(changed);
    }
  }
  return ++linkGeneration_;
}

void SimMachine::setLinkTiming(const json& timing) {
  if (!external_ || !external_->uuid) return;
  for (auto& service : registry_) {
    const json& props = *service->properties;
    if (!props.is_object()) continue;
    auto it = props.find("IOMFBUUID");
    if (it == props.end() || *it != *external_->uuid) continue;
    auto changed = std::make_shared<json>(props);
    (*changed)["DPTimingModeId"] = timing;
    service->properties = std::move(changed);
  }
}

void SimMachine::switchConnection(std::size_t index, std::uint64_t version,
                                  std::optional<std::uint64_t> retrain, Notices& out) {
  if (!external_ || version != externalVersion_ || index >= external_->modes.size()) return;
  beginNotices(out);
  external_->current = static_cast<std::int64_t>(index);
  const auto& timing = external_->modes[index].timing;
  if (timing && (!retrain || *retrain == linkGeneration_)) setLinkTiming(*timing);
  if (const auto* owner = externalOwner(); owner && owner->online)
    out.push_back({owner->id, darwin::kSetModeFlag});
}

// --- Device registry ---

darwin::KernReturn SimMachine::servicesMatching(const std::string& className,
                                                darwin::RegistryHandle& iterator) {
  static constexpr std::string_view kCall = "servicesMatching";
  darwin::RegistryHandle fresh;
  const auto result = guarded<darwin::KernReturn>(kCall, kErrorFailure, [&] {
    Session s(*this, kCall);
    if (auto e = fault(kCall, {})) return *e;
    std::vector<std::shared_ptr<ServiceData>> matching;
    for (const auto& service : registry_)
      if (service->className == className) matching.push_back(service);
    fresh = std::make_unique<IteratorObject>(live_, std::move(matching));
    return kSuccess;
  });
  iterator = std::move(fresh);
  return result;
}

darwin::RegistryHandle SimMachine::iteratorNext(darwin::RegistryObject& iterator) {
  static constexpr std::string_view kCall = "iteratorNext";
  return guarded<darwin::RegistryHandle>(kCall, nullptr, [&]() -> darwin::RegistryHandle {
    Session s(*this, kCall);
    if (fault(kCall, {})) return nullptr;
    auto* it = dynamic_cast<IteratorObject*>(&iterator);
    if (!it || it->next >= it->services.size()) return nullptr;
    return std::make_unique<ServiceObject>(live_, it->services[it->next++]);
  });
}

darwin::PropertyValue SimMachine::registryProperty(darwin::RegistryObject& service,
                                                   const std::string& key) {
  static constexpr std::string_view kCall = "registryProperty";
  return guarded<darwin::PropertyValue>(kCall, nullptr, [&]() -> darwin::PropertyValue {
    Session s(*this, kCall);
    if (fault(kCall, {})) return nullptr;
    const auto* object = dynamic_cast<ServiceObject*>(&service);
    if (!object) return nullptr;
    const std::shared_ptr<const json>& props = object->data->properties;
    if (!props->is_object()) return nullptr;
    auto it = props->find(key);
    if (it == props->end()) return nullptr;
    // Shares the properties it points into, so it outlives any later change to them.
    return darwin::PropertyValue(props, &*it);
  });
}

// --- External display object ---

namespace {
std::vector<DisplayID> about(DisplayID display) {
  return display ? std::vector<DisplayID>{display} : std::vector<DisplayID>{};
}
}  // namespace

darwin::ExternalDisplayHandle SimMachine::externalDisplay() {
  static constexpr std::string_view kCall = "externalDisplay";
  return guarded<darwin::ExternalDisplayHandle>(
      kCall, nullptr, [&]() -> darwin::ExternalDisplayHandle {
        Session s(*this, kCall);
        if (fault(kCall, about(externalOwnerID()))) return nullptr;
        if (!external_) return nullptr;
        return std::make_unique<ExternalObject>(live_, self_);
      });
}

platform::DisplayID SimMachine::externalDisplayID() {
  static constexpr std::string_view kCall = "display";
  return guarded<platform::DisplayID>(kCall, 0, [&]() -> platform::DisplayID {
    Session s(*this, kCall);
    if (fault(kCall, about(externalOwnerID()))) return 0;
    return external_ ? externalOwnerID() : 0;
  });
}

std::optional<std::string> SimMachine::externalUUID() {
  static constexpr std::string_view kCall = "uuid";
  return guarded<std::optional<std::string>>(kCall, std::nullopt,
                                             [&]() -> std::optional<std::string> {
                                               Session s(*this, kCall);
                                               if (fault(kCall, about(externalOwnerID())))
                                                 return std::nullopt;
                                               if (!external_) return std::nullopt;
                                               return external_->uuid;
                                             });
}

darwin::ExternalModeHandle SimMachine::externalCurrentMode() {
  static constexpr std::string_view kCall = "currentMode";
  return guarded<darwin::ExternalModeHandle>(kCall, nullptr, [&]() -> darwin::ExternalModeHandle {
    Session s(*this, kCall);
    if (fault(kCall, about(externalOwnerID()))) return nullptr;
    if (!external_ || !external_->current || *external_->current < 0 ||
        static_cast<std::size_t>(*external_->current) >= external_->modes.size())
      return nullptr;
    const auto index = static_cast<std::size_t>(*external_->current);
    return std::make_unique<ExternalModeObject>(live_, external_->modes[index], index,
                                                externalVersion_);
  });
}

std::optional<std::vector<darwin::ExternalModeHandle>> SimMachine::externalAvailableModes() {
  static constexpr std::string_view kCall = "availableModes";
  using Result = std::optional<std::vector<darwin::ExternalModeHandle>>;
  return guarded<Result>(kCall, std::nullopt, [&]() -> Result {
    Session s(*this, kCall);
    if (fault(kCall, about(externalOwnerID()))) return std::nullopt;
    if (!external_) return std::nullopt;
    std::vector<darwin::ExternalModeHandle> modes;
    modes.reserve(external_->modes.size());
    for (std::size_t i = 0; i < external_->modes.size(); ++i)
      modes.push_back(
          std::make_unique<ExternalModeObject>(live_, external_->modes[i], i, externalVersion_));
    return modes;
  });
}

void SimMachine::externalSetCurrentMode(const darwin::ExternalMode& mode) {
  static constexpr std::string_view kCall = "setCurrentMode";
  guarded<int>(kCall, 0, [&] {
    Session s(*this, kCall);
    const DisplayID owner = externalOwnerID();
    const auto* sim = dynamic_cast<const ExternalModeObject*>(&mode);
    json detail = {{"mode", sim ? *sim->data.source : json(nullptr)}, {"index", nullptr}};
    if (external_) checkEligible(kCall, owner, s.now);
    std::optional<std::size_t> index;
    Error result = kSuccess;
    if (auto e = fault(kCall, about(owner))) {
      detail["faulted"] = true;
      result = *e;
    } else if (!external_ || !sim) {
      result = kErrorIllegalArgument;
    } else {
      // The handle knows where it came from; if the modes were replaced since, an equal mode
      // stands for it.
      if (sim->version == externalVersion_ && sim->index < external_->modes.size()) {
        index = sim->index;
      } else {
        index = firstIndex(external_->modes, [&](const ExternalModeData& m) {
          return *m.source == *sim->data.source;
        });
      }
      if (!index) result = kErrorIllegalArgument;
    }
    if (index) detail["index"] = *index;
    detail["result"] = result;
    log(s.now, std::string(kCall), owner, std::move(detail));
    if (!index) return 0;
    const std::uint64_t version = externalVersion_;
    if (external_->linkSettle.count() == 0) {
      switchConnection(*index, version, std::nullopt, s.notices);
    } else {
      std::optional<std::uint64_t> retrain;
      if (external_->linkDrop && external_->modes[*index].timing) retrain = dropLinkTiming();
      scheduleStep(s.now + external_->linkSettle,
                   [this, i = *index, version, retrain](Nanos, Notices& out) {
                     switchConnection(i, version, retrain, out);
                   });
    }
    return 0;
  });
}

// --- Inspection ---

std::optional<json> SimMachine::linkTimingModeId() const {
  std::lock_guard lock(mutex_);
  if (!external_ || !external_->uuid) return std::nullopt;
  for (const auto& service : registry_) {
    const json& props = *service->properties;
    if (!props.is_object()) continue;
    auto uuid = props.find("IOMFBUUID");
    if (uuid == props.end() || *uuid != *external_->uuid) continue;
    auto timing = props.find("DPTimingModeId");
    if (timing == props.end()) return std::nullopt;
    return *timing;
  }
  return std::nullopt;
}

std::optional<std::size_t> SimMachine::externalCurrentModeIndex() const {
  std::lock_guard lock(mutex_);
  if (!external_ || !external_->current || *external_->current < 0 ||
      static_cast<std::size_t>(*external_->current) >= external_->modes.size())
    return std::nullopt;
  return static_cast<std::size_t>(*external_->current);
}

}  // namespace df::sim
