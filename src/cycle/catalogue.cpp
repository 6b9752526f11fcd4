#include "cycle/catalogue.h"

#include <algorithm>

#include "modes/format.h"
#include "modes/records.h"

namespace df {

std::shared_ptr<const Catalogue> makeCatalogue(const std::vector<platform::ModeHandle>& modes,
                                               const platform::Mode* current,
                                               const std::optional<std::string>& uuid,
                                               std::span<const std::string_view> extra) {
  auto c = std::make_shared<Catalogue>();
  auto add = [&c, &uuid, current](const platform::Mode* m, std::size_t index) {
    if (auto name = formatOf(m)) {
      // The first mode holds each name, except that the current mode takes its own.
      auto it = std::find_if(c->names.begin(), c->names.end(),
                             [&name](const auto& n) { return n.first == *name; });
      if (it == c->names.end())
        c->names.emplace_back(std::move(*name), index);
      else if (m == current)
        it->second = index;
    }
    NativeMode entry;
    if (!writeNativeKey(entry.key, m, uuid)) return;
    writeNativeLabel(entry.label, *m);
    entry.holder = index;
    c->nativeModes.push_back(std::move(entry));
  };
  for (std::size_t i = 0; i < modes.size(); ++i)
    if (modes[i]) add(modes[i].get(), i);
  if (current) add(current, modes.size());

  // By key, each key once: of two entries with one key (the current mode is usually listed
  // too), the later one stands, as in a map written in turn.
  auto& natives = c->nativeModes;
  std::stable_sort(natives.begin(), natives.end(),
                   [](const NativeMode& a, const NativeMode& b) { return a.key < b.key; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < natives.size(); ++i) {
    if (i + 1 < natives.size() && natives[i + 1].key == natives[i].key) continue;
    if (kept != i) natives[kept] = std::move(natives[i]);
    ++kept;
  }
  natives.resize(kept);

  for (const auto& [name, index] : c->names) c->formats.push_back(name);
  for (std::string_view name : extra)
    if (std::find(c->formats.begin(), c->formats.end(), name) == c->formats.end())
      c->formats.emplace_back(name);
  std::sort(c->formats.begin(), c->formats.end(),
            [](const std::string& a, const std::string& b) { return naturalLess(a, b); });
  return c;
}

std::shared_ptr<const Catalogue> catalogueFor(CatalogueMemo& memo,
                                              const std::vector<platform::ModeHandle>& modes,
                                              const platform::Mode* current,
                                              const std::optional<std::string>& uuid,
                                              std::span<const std::string_view> extra) {
  bool same = memo.catalogue && memo.uuid == uuid && memo.facts.size() == modes.size() + 1 &&
              std::equal(extra.begin(), extra.end(), memo.extra.begin(), memo.extra.end());
  auto facts = [](const platform::Mode* m) {
    return m ? std::optional<platform::ModeInfo>(m->info()) : std::nullopt;
  };
  for (std::size_t i = 0; same && i < modes.size(); ++i)
    same = memo.facts[i] == facts(modes[i].get());
  if (same && memo.facts.back() == facts(current)) return memo.catalogue;

  memo.facts.clear();
  for (const platform::ModeHandle& m : modes) memo.facts.push_back(facts(m.get()));
  memo.facts.push_back(facts(current));
  memo.uuid = uuid;
  memo.extra.assign(extra.begin(), extra.end());
  memo.catalogue = makeCatalogue(modes, current, uuid, extra);
  return memo.catalogue;
}

bool naturalLess(std::string_view a, std::string_view b) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ei = i;
      std::size_t ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      std::string_view ra = a.substr(i, ei - i);
      std::string_view rb = b.substr(j, ej - j);
      ra.remove_prefix(std::min(ra.find_first_not_of('0'), ra.size()));
      rb.remove_prefix(std::min(rb.find_first_not_of('0'), rb.size()));
      if (ra.size() != rb.size()) return ra.size() < rb.size();
      if (ra != rb) return ra < rb;
      i = ei;
      j = ej;
      continue;
    }
    // Letters fold to lower case as in the C locale; other bytes compare as they are.
    auto lower = [](char c) {
      const auto u = static_cast<unsigned char>(c);
      return u >= 'A' && u <= 'Z' ? u + ('a' - 'A') : u;
    };
    const unsigned ca = lower(a[i]);
    const unsigned cb = lower(b[j]);
    if (ca != cb) return ca < cb;
    ++i;
    ++j;
  }
  if ((a.size() - i) != (b.size() - j)) return (a.size() - i) < (b.size() - j);
  return a < b;  // equal for people: any fixed order keeps the sort strict
}

}  // namespace df
