#include "cycle/cycle.h"

#include <algorithm>
#include <array>
#include <map>

#include "apply/apply.h"
#include "common/diagnostics.h"
#include "cycle/report.h"
#include "display/display.h"
#include "link/connection.h"
#include "link/probe.h"
#include "modes/format.h"
#include "modes/records.h"

namespace df {

namespace {

constexpr std::array<std::string_view, 2> k1080pProbeList{"1080p59.94", "1080p60.00"};
constexpr std::array<std::string_view, 5> kAutoPreference{"1080p59.94", "1080i59.94", "720p59.94",
                                                          "480i59.94", "480p59.94"};

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

void appendOnce(std::vector<std::string>& list, std::string_view name) {
  if (std::find(list.begin(), list.end(), name) == list.end()) list.emplace_back(name);
}

// Both present and equal.
bool sameText(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  return a && b && *a == *b;
}

// One inspection cycle; lives for the cycle only.
class Cycle {
 public:
  Cycle(Context& cx, bool apply) : cx_(cx), s_(cx.state), apply_(apply) {}

  void run() {
    bool ambiguous = false;
    display_ = findDisplay(cx_.platform.displays, s_.targetUUID, &ambiguous);
    const DisplayTest test = display_ == 0 ? DisplayTest::kPassed : displayTests(cx_, display_);
    diagnoseGuard(ambiguous, test);
    if (display_ == 0 || test != DisplayTest::kPassed) {
      s_.approvedMode.reset();
      s_.chosen.reset();
      s_.lastDisplay = 0;
      cx_.draft.formats.clear();
      cx_.draft.nativeModes.clear();
      report(cx_, display_, display_ == 0 ? "missing" : "protected", std::nullopt, false);
      return;
    }
    bookkeeping();
    catalogue();
    decide();
  }

 private:
  void diagnoseGuard(bool ambiguous, DisplayTest test) {
    if (!diagnosing(cx_)) return;
    Record entry = {{"event", "guard"}, {"revision", s_.revision}};
    if (display_ == 0) {
      entry["outcome"] = "missing";
      entry["id"] = nullptr;
      if (!s_.targetUUID)
        entry["why"] = "no target: no command has assigned a display that was online";
      else if (ambiguous)
        entry["why"] = "two or more online displays have the UUID " + *s_.targetUUID;
      else
        entry["why"] = "no online display has the UUID " + *s_.targetUUID;
    } else {
      entry["outcome"] = test == DisplayTest::kPassed ? "eligible" : "protected";
      entry["id"] = std::to_string(display_);
      entry["why"] = displayTestText(test, display_);
    }
    diagnose(cx_, entry);
  }

  void bookkeeping() {
    previous_ = s_.lastDisplay;
    if (display_ != previous_) {
      s_.approvedMode.reset();
      s_.applyFailed = false;
      mayApply_ = true;
    } else if (apply_) {
      s_.applyFailed = false;
      mayApply_ = true;
    }
    s_.lastDisplay = display_;
  }

  // The format keys the display offers, written into the report draft: "formats" and
  // "nativeModes" take over the strings of the inspection before, so that a catalogue that
  // has not changed costs no allocation.
  void catalogue() {
    auto& displays = cx_.platform.displays;
    current_ = displays.copyDisplayMode(display_);
    if (auto list = displays.copyAllDisplayModes(display_, true)) modes_ = std::move(*list);
    std::vector<NativeMode>& natives = cx_.draft.nativeModes;
    names_.reserve(16);
    std::size_t count = 0;
    auto addName = [&](const platform::DisplayMode* m) {
      auto name = formatOf(m);
      if (!name) return;
      // The first mode holds each name, except that the current mode takes its own.
      auto it = std::find_if(names_.begin(), names_.end(),
                             [&name](const auto& n) { return n.first == *name; });
      if (it == names_.end())
        names_.emplace_back(std::move(*name), m);
      else if (m == current_.get())
        it->second = m;
    };
    auto addNative = [&](const platform::DisplayMode* m) {
      if (count == natives.size()) natives.emplace_back();
      NativeMode& entry = natives[count];
      if (!writeNativeKey(entry.key, m, s_.targetUUID)) return;
      if (s_.requested == entry.key) requestedMode_ = m;  // the last mode with the key holds it
      writeNativeLabel(entry.label, *m);
      entry.position = count++;
    };
    for (const auto& m : modes_) {
      if (!m) continue;
      addName(m.get());
      addNative(m.get());
    }
    if (const platform::DisplayMode* m = current_.get()) {
      addName(m);
      // The current mode is usually listed too. Then its key names an entry made already,
      // which takes the current mode's label, as a map written in turn would.
      auto found = natives.rend();
      if (writeNativeKey(keyBuffer_, m, s_.targetUUID)) {
        found = std::find_if(natives.rend() - static_cast<std::ptrdiff_t>(count), natives.rend(),
                             [this](const NativeMode& n) { return n.key == keyBuffer_; });
      }
      if (found != natives.rend()) {
        if (s_.requested == keyBuffer_) requestedMode_ = m;
        writeNativeLabel(found->label, *m);
      } else {
        addNative(m);
      }
    }
    natives.resize(count);
    sortNatives(natives);

    link_ = hdmiLink(cx_, display_);
    starting_ = snapshot(current_.get(), link_);
    signal_ = signalOf(link_ ? &*link_ : nullptr);

    std::vector<std::string>& formats = cx_.draft.formats;
    formats.clear();
    for (const auto& [name, mode] : names_) formats.push_back(name);
    const bool hasMode = connectionOf(link_ ? &*link_ : nullptr) != nullptr;
    for (std::size_t i = 0; i < k1080pProbeList.size(); ++i) {
      const std::string_view entry = k1080pProbeList[i];
      const std::optional<double> rate = link_ ? link_->rate1080p(entry) : std::nullopt;
      if (rate && hasMode) connections_[i] = connectionFor(cx_, *link_, *rate);
      if (connections_[i] || (signal_ && signal_->format == entry)) appendOnce(formats, entry);
    }
    std::sort(formats.begin(), formats.end(),
              [](const std::string& a, const std::string& b) { return naturalLess(a, b); });
  }

  // In the order of the keys, each key once: of two entries with one key (the current mode is
  // usually listed too), the later one stands, as in a map written in turn. Swaps keep every
  // string's storage.
  static void sortNatives(std::vector<NativeMode>& natives) {
    std::sort(natives.begin(), natives.end(), [](const NativeMode& a, const NativeMode& b) {
      return a.key != b.key ? a.key < b.key : a.position < b.position;
    });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < natives.size(); ++i) {
      if (i + 1 < natives.size() && natives[i + 1].key == natives[i].key) continue;
      if (kept != i) std::swap(natives[kept], natives[i]);
      ++kept;
    }
    natives.resize(kept);
  }

  // The last mode with the native key, the current mode last.
  const platform::DisplayMode* nativeMode(std::string_view key) const {
    const platform::DisplayMode* found = nullptr;
    std::string mine;
    for (const auto& m : modes_)
      if (writeNativeKey(mine, m.get(), s_.targetUUID) && mine == key) found = m.get();
    if (writeNativeKey(mine, current_.get(), s_.targetUUID) && mine == key) found = current_.get();
    return found;
  }

  const platform::DisplayMode* namedMode(std::string_view name) const {
    for (const auto& [n, mode] : names_)
      if (n == name) return mode;
    return nullptr;
  }

  void choose() {
    const std::string requested = s_.requested.value_or("");
    const std::vector<std::string>& formats = cx_.draft.formats;
    const std::vector<NativeMode>& natives = cx_.draft.nativeModes;
    auto offered = [&](std::string_view key) {
      if (std::find(formats.begin(), formats.end(), key) != formats.end()) return true;
      auto it = std::lower_bound(
          natives.begin(), natives.end(), key,
          [](const NativeMode& m, std::string_view k) { return m.key < k; });
      return it != natives.end() && it->key == key;
    };
    s_.chosen.reset();
    if (!s_.requested) return;
    if (requested == "auto") {
      for (std::string_view name : kAutoPreference) {
        if (offered(name)) {
          s_.chosen = std::string(name);
          return;
        }
      }
    } else if (offered(requested)) {
      s_.chosen = requested;
    }
  }

  void decide() {
    nativeRequest_ = s_.requested && startsWith(*s_.requested, kNativePrefix);
    if (display_ != previous_ || apply_ || !s_.chosen) choose();

    std::string_view phase = s_.restoreFailed ? "restoreFailed" : "idle";
    reportSnapshot_ = starting_;
    if (!s_.enabled) return finish(phase);
    if (s_.requested == "current") {
      s_.approvedMode = starting_;
      return finish(starting_ ? "current" : "unavailable");
    }

    locate();
    if (starting_ && mayApply_ && reachable_ && stillAssigned(cx_, display_)) change();
    finish(phaseOf());
  }

  // Where the display is, and where the chosen format lives.
  void locate() {
    // Only the requested key is ever chosen, or a name by "auto".
    if (s_.chosen && startsWith(*s_.chosen, kNativePrefix))
      targetMode_ = s_.chosen == s_.requested ? requestedMode_ : nativeMode(*s_.chosen);
    else if (s_.chosen)
      targetMode_ = namedMode(*s_.chosen);
    if (nativeRequest_) {
      present_ = nativeKey(current_.get(), s_.targetUUID);
    } else if (link_) {
      if (signal_) present_ = signal_->format;
    } else {
      present_ = formatOf(current_.get());
    }

    if (s_.chosen) {
      const bool signal1080 = signal_ && signal_->width == 1920u && signal_->height == 1080u;
      if (targetMode_ == nullptr || signal1080) {
        for (std::size_t i = 0; i < k1080pProbeList.size(); ++i)
          if (*s_.chosen == k1080pProbeList[i] && connections_[i])
            targetConnection_ = &*connections_[i];
      }
    }
    const bool signalLive = signal_ && signal_->hz > 0;
    reachable_ = (nativeRequest_ || !link_ || signalLive) &&
                 (targetMode_ != nullptr || targetConnection_ || sameText(s_.chosen, present_));
  }

  void change() {
    expected_ = reportedMode(targetMode_);
    const Link* originalLink = linkOf(s_.originalMode);
    const bool restoreFirst = !targetConnection_ && same(starting_, s_.ownedMode) &&
                              originalLink && !(link_ && *originalLink == *link_) &&
                              s_.originalMode->desktop == starting_->desktop;
    alreadyChosen_ = !restoreFirst && sameText(s_.chosen, present_);

    bool verify = false;
    if (targetConnection_ && !alreadyChosen_) {
      // Verified like a desktop change: the link shows the switch once it has retrained.
      setConnection(cx_, display_, link_ ? &*link_ : nullptr, targetConnection_);
      switchAsked_ = true;
      verify = true;
    } else if (alreadyChosen_) {
      verify = true;
    } else {
      verify = (!restoreFirst || restoreState(cx_, display_, *s_.originalMode)) &&
               stillAssigned(cx_, display_) &&
               setMode(cx_, display_, targetMode_) == platform::kSuccess;
    }

    MaybeSnapshot result;
    if (verify) result = settled(cx_, display_, predicate());
    if (!result) return fail();

    if (!same(result, starting_)) takeOwnership(result);
    reportSnapshot_ = std::move(result);
    present_ = s_.chosen;
  }

  SettlePredicate predicate() const {
    return [this](const Snapshot& reading) {
      const Link* readingLink = linkOf(reading);
      if (link_ && !nativeRequest_) {
        const Signal* signal = signalOf(readingLink);
        if (!signal || !s_.chosen || signal->format != *s_.chosen) return false;
        if (alreadyChosen_) return true;
      }
      if (targetConnection_) {
        const Connection* mode = connectionOf(readingLink);
        return mode && *mode == *targetConnection_;
      }
      return reading.desktop == expected_;
    };
  }

  void takeOwnership(const MaybeSnapshot& owned) {
    if (!s_.originalMode || (display_ == previous_ && !ownsReading(cx_, starting_)))
      s_.originalMode = starting_;
    s_.ownedMode = owned;
    s_.ownedConnectionMode = targetConnection_ != nullptr;
  }

  void fail() {
    s_.applyFailed = true;
    if (const MaybeSnapshot now = readSnapshot(cx_, display_)) {
      const bool back = switchAsked_
                            ? takeBackSwitch()
                            : same(now, starting_) || restoreState(cx_, display_, *starting_);
      // What cannot be undone is owned, so that it is put back when control ends.
      if (!back) {
        takeOwnership(readSnapshot(cx_, display_));
        s_.approvedMode.reset();
      }
    }
    reportSnapshot_ = readSnapshot(cx_, display_);
  }

  // A slow link may still carry out the switch after the verification gave up, so the starting
  // connection mode is asked for again even when no reading shows the switch yet; true when the
  // display is verified back in the starting state.
  bool takeBackSwitch() {
    const Link* link = link_ ? &*link_ : nullptr;
    setConnection(cx_, display_, link, connectionOf(link));
    const SettlePredicate startingPredicate = [this](const Snapshot& reading) {
      return starting_ && reading == *starting_;
    };
    return settled(cx_, display_, startingPredicate).has_value();
  }

  std::string_view phaseOf() {
    if (s_.applyFailed) return "failed";
    if (sameText(s_.chosen, present_)) {
      s_.approvedMode = reportSnapshot_;
      return "matched";
    }
    return reachable_ ? "mismatch" : "unavailable";
  }

  void finish(std::string_view phase) {
    const bool canPresent = s_.enabled && reportSnapshot_ &&
                            same(s_.approvedMode, reportSnapshot_) && stillAssigned(cx_, display_);
    report(cx_, display_, phase, reportSnapshot_, canPresent);
    // The mode handles are released when the cycle ends, after the report.
  }

  Context& cx_;
  ControllerState& s_;
  const bool apply_;

  DisplayID display_ = 0;
  DisplayID previous_ = 0;
  bool mayApply_ = false;
  platform::ModeHandle current_;
  std::vector<platform::ModeHandle> modes_;
  // Each broadcast name with the mode that holds it, in the order first found.
  std::vector<std::pair<std::string, const platform::DisplayMode*>> names_;
  const platform::DisplayMode* requestedMode_ = nullptr;  // holds the requested native key
  std::string keyBuffer_;
  std::optional<Link> link_;
  MaybeSnapshot starting_;
  const Signal* signal_ = nullptr;  // in link_, when it has one with keys
  // The connection mode found for each entry of the 1080p probe list.
  std::array<std::optional<Connection>, k1080pProbeList.size()> connections_;

  bool nativeRequest_ = false;
  const platform::DisplayMode* targetMode_ = nullptr;
  std::optional<std::string> present_;
  const Connection* targetConnection_ = nullptr;  // in connections_
  bool reachable_ = false;
  Desktop expected_;
  bool alreadyChosen_ = false;
  bool switchAsked_ = false;
  MaybeSnapshot reportSnapshot_;
};

}  // namespace

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

void inspect(Context& cx, bool apply) {
  ++cx.counters.inspections;
  Cycle(cx, apply).run();
}

}  // namespace df
