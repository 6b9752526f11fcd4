// The timing tables behind the decoder (tables.cpp).
#pragma once

#include <array>
#include <string_view>

#include "edid/edid.h"

namespace df::edid {

struct RawVic {
  int code;
  Timing timing;
  std::string_view aspect;
};
struct RawDmt {
  int id;
  Timing timing;
  std::string_view aspect;
  bool reducedBlanking;
};

extern const std::array<RawVic, 154> kVicTable;
extern const std::array<RawVic, 4> kHdmiVicTable;
extern const std::array<RawDmt, 88> kDmtTable;

}  // namespace df::edid
