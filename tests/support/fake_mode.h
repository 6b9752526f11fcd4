// A display mode made of plain values, for tests of the pure naming and record functions. Its
// flag word is read with the report's bit meanings (platform::reportFlags).
#pragma once

#include <cstdint>

#include "platform/displays.h"

namespace df::test {

struct FakeMode final : platform::Mode {
  std::size_t w = 1920, h = 1080;  // pixel size
  std::size_t lw = 0, lh = 0;      // logical size; 0 means the pixel size
  double hz = 60.0;
  std::uint32_t flags = 0x100003;
  std::int32_t id = 1;

  const platform::ModeInfo& info() const override {
    auto bit = [this](std::uint32_t b) { return (flags & b) != 0; };
    info_ = {id,
             w,
             h,
             lw != 0 ? lw : w,
             lh != 0 ? lh : h,
             hz,
             bit(0x40),
             bit(0x100000),
             bit(0x1),
             bit(0x2),
             bit(0x20),
             bit(0x80),
             bit(0x800),
             flags};
    return info_;
  }

 private:
  mutable platform::ModeInfo info_;
};

}  // namespace df::test
