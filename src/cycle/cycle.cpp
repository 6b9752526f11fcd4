#include "cycle/cycle.h"

#include <algorithm>
#include <array>

#include "apply/apply.h"
#include "cycle/report.h"
#include "display/display.h"
#include "link/connection.h"
#include "link/probe.h"
#include "modes/format.h"
#include "modes/records.h"
#include "state/diagnostics.h"

namespace df {

namespace {

constexpr std::array<std::string_view, 2> k1080pProbeList{"1080p59.94", "1080p60.00"};
constexpr std::array<std::string_view, 5> kAutoPreference{"1080p59.94", "1080i59.94", "720p59.94",
                                                          "480i59.94", "480p59.94"};

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// Both present and equal.
bool sameText(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  return a && b && *a == *b;
}

// The 1080p formats offered through the link's connection modes or shown by its signal, each
// with the connection mode found for it.
struct LinkOffer {
  std::array<std::optional<Connection>, k1080pProbeList.size()> connections;
  std::array<std::string_view, k1080pProbeList.size()> extra;
  std::size_t extras = 0;

  std::span<const std::string_view> formats() const { return {extra.data(), extras}; }
};

LinkOffer linkOffer(Context& cx, DisplayID display, const Link* link) {
  LinkOffer offer;
  const Signal* signal = signalOf(link);
  const bool hasMode = connectionOf(link) != nullptr;
  for (std::size_t i = 0; i < k1080pProbeList.size(); ++i) {
    const std::string_view entry = k1080pProbeList[i];
    const std::optional<double> rate = link ? link->rate1080p(entry) : std::nullopt;
    if (rate && hasMode) offer.connections[i] = connectionFor(cx, display, *link, *rate);
    if (offer.connections[i] || (signal && signal->format == entry))
      offer.extra[offer.extras++] = entry;
  }
  return offer;
}

// One inspection cycle; lives for the cycle only.
class Cycle {
 public:
  Cycle(Context& cx, bool apply) : cx_(cx), s_(cx.state), apply_(apply) {}

  void run() {
    bool ambiguous = false;
    display_ = findDisplay(cx_, s_.targetUUID, &ambiguous);
    const DisplayTest test = display_ == 0 ? DisplayTest::kPassed : displayTests(cx_, display_);
    diagnoseGuard(ambiguous, test);
    if (display_ == 0 || test != DisplayTest::kPassed) {
      s_.approvedMode.reset();
      s_.chosen.reset();
      s_.lastDisplay = 0;
      report(cx_, display_, display_ == 0 ? "missing" : "protected", nullptr, std::nullopt, false);
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

  void catalogue() {
    auto& displays = cx_.platform.displays;
    current_ = displays.currentMode(display_);
    if (auto list = displays.modes(display_)) modes_ = std::move(*list);

    // The link is kept once: in the starting snapshot, or alone when there is no mode.
    std::optional<Link> link = hdmiLink(cx_, display_);
    if (current_)
      starting_ = snapshot(current_.get(), std::move(link));
    else
      linkAlone_ = std::move(link);
    link_ = starting_ ? linkOf(*starting_) : (linkAlone_ ? &*linkAlone_ : nullptr);
    signal_ = signalOf(link_);

    offer_ = linkOffer(cx_, display_, link_);
    catalogue_ =
        catalogueFor(cx_.catalogue, modes_, current_.get(), s_.targetUUID, offer_.formats());
  }

  // The mode that holds a format key in this cycle's listing.
  const platform::Mode* holderOf(std::string_view key) const {
    const std::optional<std::size_t> index = catalogue_->holder(key);
    if (!index) return nullptr;
    return *index < modes_.size() ? modes_[*index].get() : current_.get();
  }

  void choose() {
    const std::string requested = s_.requested.value_or("");
    auto offered = [this](std::string_view key) { return catalogue_->offers(key); };
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
    shown_ = &starting_;
    if (!s_.enabled) return finish(phase);
    if (s_.requested == "current") {
      approve(starting_);
      return finish(starting_ ? "current" : "unavailable");
    }

    locate();
    if (starting_ && mayApply_ && reachable_ && stillAssigned(cx_, display_)) change();
    finish(phaseOf());
  }

  // Where the display is, and where the chosen format lives.
  void locate() {
    if (s_.chosen) targetMode_ = holderOf(*s_.chosen);
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
          if (*s_.chosen == k1080pProbeList[i] && offer_.connections[i])
            targetConnection_ = &*offer_.connections[i];
      }
    }
    const bool signalLive = signal_ && signal_->hz > 0;
    reachable_ = (nativeRequest_ || !link_ || signalLive) &&
                 (targetMode_ != nullptr || targetConnection_ || sameText(s_.chosen, present_));
  }

  void change() {
    expected_ = reportedMode(targetMode_);
    const Link* originalLink = linkOf(s_.originalMode);
    const bool restoreFirst = !targetConnection_ && same(starting_, s_.ownedMode) && originalLink &&
                              !(link_ && *originalLink == *link_) &&
                              s_.originalMode->desktop == starting_->desktop;
    alreadyChosen_ = !restoreFirst && sameText(s_.chosen, present_);

    bool verify = false;
    if (targetConnection_ && !alreadyChosen_) {
      // Verified like a desktop change: the link shows the switch once it has retrained.
      setConnection(cx_, display_, link_, targetConnection_);
      switchAsked_ = true;
      verify = true;
    } else if (alreadyChosen_) {
      verify = true;
    } else {
      verify = (!restoreFirst || restoreState(cx_, display_, *s_.originalMode)) &&
               stillAssigned(cx_, display_) &&
               cx_.platform.displays.configure(display_, targetMode_);
    }

    MaybeSnapshot result;
    if (verify) result = settled(cx_, display_, predicate());
    if (!result) return fail();

    if (!same(result, starting_)) takeOwnership(result);
    after_ = std::move(result);
    shown_ = &after_;
    present_ = s_.chosen;
  }

  SettlePredicate predicate() const {
    return [this](const Snapshot& reading) {
      const Link* readingLink = linkOf(reading);
      // A link that shows up in a reading is judged even when the first reading had none: that
      // reading may have failed, and the signal is what the viewer sees.
      if ((link_ || readingLink) && !nativeRequest_) {
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
    after_ = readSnapshot(cx_, display_);
    shown_ = &after_;
  }

  // A slow link may still carry out the switch after the verification gave up, so the starting
  // connection mode is asked for again even when no reading shows the switch yet; true when the
  // display is verified back in the starting state.
  bool takeBackSwitch() {
    setConnection(cx_, display_, link_, connectionOf(link_));
    const SettlePredicate startingPredicate = [this](const Snapshot& reading) {
      return starting_ && reading == *starting_;
    };
    return settled(cx_, display_, startingPredicate).has_value();
  }

  std::string_view phaseOf() {
    if (s_.applyFailed) return "failed";
    if (sameText(s_.chosen, present_)) {
      approve(*shown_);
      return "matched";
    }
    return reachable_ ? "mismatch" : "unavailable";
  }

  // Kept by value; an equal snapshot is not copied again.
  void approve(const MaybeSnapshot& reading) {
    if (!same(s_.approvedMode, reading)) s_.approvedMode = reading;
  }

  void finish(std::string_view phase) {
    const bool canPresent =
        s_.enabled && *shown_ && same(s_.approvedMode, *shown_) && stillAssigned(cx_, display_);
    report(cx_, display_, phase, std::move(catalogue_), *shown_, canPresent);
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
  std::shared_ptr<const Catalogue> catalogue_;
  MaybeSnapshot starting_;
  std::optional<Link> linkAlone_;
  const Link* link_ = nullptr;      // the link read at the start, in starting_ or linkAlone_
  const Signal* signal_ = nullptr;  // in link_, when it has one with keys
  LinkOffer offer_;

  bool nativeRequest_ = false;
  const platform::Mode* targetMode_ = nullptr;
  std::optional<std::string> present_;
  const Connection* targetConnection_ = nullptr;  // in offer_
  bool reachable_ = false;
  Desktop expected_;
  bool alreadyChosen_ = false;
  bool switchAsked_ = false;
  MaybeSnapshot after_;                      // read after a change or a failure
  const MaybeSnapshot* shown_ = &starting_;  // the snapshot reported
};

}  // namespace

void inspect(Context& cx, bool apply) {
  ++cx.counters.inspections;
  Cycle(cx, apply).run();
}

std::shared_ptr<const Catalogue> catalogueOf(Context& cx, DisplayID display) {
  auto& displays = cx.platform.displays;
  const platform::ModeHandle current = displays.currentMode(display);
  std::vector<platform::ModeHandle> modes;
  if (auto list = displays.modes(display)) modes = std::move(*list);
  const std::optional<Link> link = hdmiLink(cx, display);
  const LinkOffer offer = linkOffer(cx, display, link ? &*link : nullptr);
  return makeCatalogue(modes, current.get(), displays.uuid(display), offer.formats());
}

}  // namespace df
