// A display mode made of plain values, for tests of the pure naming and record functions.
#pragma once

#include <cstdint>

#include "platform/display_services.h"

namespace df::test {

struct FakeMode final : platform::DisplayMode {
  std::size_t w = 1920, h = 1080;  // pixel size
  std::size_t lw = 0, lh = 0;      // logical size; 0 means the pixel size
  double hz = 60.0;
  std::uint32_t flags = 0x100003;
  std::int32_t id = 1;

  std::size_t width() const override { return lw != 0 ? lw : w; }
  std::size_t height() const override { return lh != 0 ? lh : h; }
  std::size_t pixelWidth() const override { return w; }
  std::size_t pixelHeight() const override { return h; }
  double refreshRate() const override { return hz; }
  std::uint32_t ioFlags() const override { return flags; }
  std::int32_t ioDisplayModeID() const override { return id; }
};

}  // namespace df::test
