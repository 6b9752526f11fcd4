// The external display object on macOS. The platform offers no public interface for it, so the
// source yields none unless it is given a provider, and the link is then absent.
#pragma once

#include <functional>
#include <utility>

#include "platform/darwin/calls.h"

namespace df::platform::darwin {

class ExternalDisplayProvider final : public ExternalDisplaySource {
 public:
  using Provider = std::function<ExternalDisplayHandle()>;

  ExternalDisplayProvider() = default;
  explicit ExternalDisplayProvider(Provider provider) : provider_(std::move(provider)) {}

  // Null unless a provider is set and finds the object.
  ExternalDisplayHandle externalDisplay() override;

 private:
  Provider provider_;
};

}  // namespace df::platform::darwin
