#include "state/catalogue.h"

#include <algorithm>

namespace df {

bool Catalogue::offers(std::string_view key) const {
  if (std::find(formats.begin(), formats.end(), key) != formats.end()) return true;
  auto it = std::lower_bound(nativeModes.begin(), nativeModes.end(), key,
                             [](const NativeMode& m, std::string_view k) { return m.key < k; });
  return it != nativeModes.end() && it->key == key;
}

std::optional<std::size_t> Catalogue::holder(std::string_view key) const {
  for (const auto& [name, index] : names)
    if (name == key) return index;
  auto it = std::lower_bound(nativeModes.begin(), nativeModes.end(), key,
                             [](const NativeMode& m, std::string_view k) { return m.key < k; });
  if (it != nativeModes.end() && it->key == key) return it->holder;
  return std::nullopt;
}

Record toJson(const Catalogue& catalogue) {
  Record natives = Record::object();
  Record formats = Record::array();
  for (const NativeMode& m : catalogue.nativeModes) natives[m.key] = m.label;
  for (const std::string& f : catalogue.formats) formats.push_back(f);
  return {{"formats", std::move(formats)}, {"nativeModes", std::move(natives)}};
}

}  // namespace df
