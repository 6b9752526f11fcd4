#include "platform/darwin/display_services.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <vector>

#include "darwin/fake.h"
#include "platform/darwin/backend.h"
#include "platform/darwin/display_uuid.h"
#include "platform/darwin/external_display.h"
#include "platform/darwin/registry.h"

namespace df::platform::darwin {
namespace {

using DisplayServicesTest = fake::Test;

constexpr DisplayID kDisplay = 5;

fake::ModeValues specOf(std::size_t width) {
  return {width, width * 9 / 16, width * 2, width * 9 / 8, 59.94, 0x100003, 7};
}

TEST_F(DisplayServicesTest, ModeListHoldsItsOwnReferenceToEachMode) {
  auto& display = fake::graphics().displays[kDisplay];
  display.modes = fake::array({fake::mode(specOf(1920)), fake::mode(specOf(1280))});
  const auto first = CFArrayGetValueAtIndex(display.modes, 0);
  CGDisplayServices services;
  {
    auto modes = services.copyAllDisplayModes(kDisplay, true);
    ASSERT_TRUE(modes.has_value());
    ASSERT_EQ(modes->size(), 2u);
    EXPECT_EQ(fake::references(display.modes), 1);  // the copy was released
    EXPECT_EQ(fake::references(first), 2);          // the world's array and the handle
    const DisplayMode& mode = *(*modes)[0];
    const fake::ModeValues want = specOf(1920);
    EXPECT_EQ(mode.width(), want.width);
    EXPECT_EQ(mode.height(), want.height);
    EXPECT_EQ(mode.pixelWidth(), want.pixelWidth);
    EXPECT_EQ(mode.pixelHeight(), want.pixelHeight);
    EXPECT_EQ(mode.refreshRate(), want.refreshRate);
    EXPECT_EQ(mode.ioFlags(), want.ioFlags);
    EXPECT_EQ(mode.ioDisplayModeID(), want.ioDisplayModeID);
  }
  EXPECT_EQ(fake::references(first), 1);
}

TEST_F(DisplayServicesTest, DuplicateModesOptionIsOneDictionaryReused) {
  fake::graphics().displays[kDisplay].modes = fake::array({});
  CGDisplayServices services;
  EXPECT_TRUE(services.copyAllDisplayModes(kDisplay, true).has_value());
  EXPECT_TRUE(services.copyAllDisplayModes(kDisplay, false).has_value());
  EXPECT_TRUE(services.copyAllDisplayModes(kDisplay, true).has_value());
  const auto& options = fake::graphics().modeListOptions;
  ASSERT_EQ(options.size(), 3u);
  ASSERT_NE(options[0], nullptr);
  EXPECT_EQ(options[1], nullptr);
  EXPECT_EQ(options[2], options[0]);
  EXPECT_EQ(CFDictionaryGetCount(options[0]), 1);
  EXPECT_EQ(CFDictionaryGetValue(options[0], kCGDisplayShowDuplicateLowResolutionModes),
            kCFBooleanTrue);
}

TEST_F(DisplayServicesTest, MissingModeListIsNotAnEmptyOne) {
  fake::graphics().displays[kDisplay];
  CGDisplayServices services;
  EXPECT_EQ(services.copyAllDisplayModes(kDisplay, true), std::nullopt);
  EXPECT_EQ(services.copyDisplayMode(kDisplay), nullptr);
  EXPECT_EQ(services.createUUIDFromDisplayID(kDisplay), nullptr);
}

TEST_F(DisplayServicesTest, CurrentModeAndUUIDAreReleasedWithTheirHandles) {
  auto& display = fake::graphics().displays[kDisplay];
  display.current = fake::mode(specOf(3840));
  display.uuid = fake::uuid("1E6E43A4-9E1A-4C57-A9F2-1C2B7D0E5F60");
  CGDisplayServices services;
  {
    const ModeHandle mode = services.copyDisplayMode(kDisplay);
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->width(), 3840u);
    const UUIDHandle uuid = services.createUUIDFromDisplayID(kDisplay);
    ASSERT_NE(uuid, nullptr);
    EXPECT_EQ(uuid->string(), "1E6E43A4-9E1A-4C57-A9F2-1C2B7D0E5F60");
    EXPECT_EQ(uuid->string(), "1E6E43A4-9E1A-4C57-A9F2-1C2B7D0E5F60");  // the string is freed
    EXPECT_EQ(fake::references(display.current), 2);
    EXPECT_EQ(fake::references(display.uuid), 1);  // released once its string was made
  }
  EXPECT_EQ(fake::references(display.current), 1);
  EXPECT_EQ(fake::references(display.uuid), 1);
}

TEST_F(DisplayServicesTest, UUIDWithoutAStringIsNoUUID) {
  auto& display = fake::graphics().displays[kDisplay];
  display.uuid = fake::uuid("");  // the fake cannot make this one's string
  CGDisplayServices services;
  EXPECT_EQ(services.createUUIDFromDisplayID(kDisplay), nullptr);
  EXPECT_EQ(fake::references(display.uuid), 1);
}

TEST_F(DisplayServicesTest, TransactionIsConsumedExactlyOnce) {
  enum class End { Complete, Cancel, Drop };
  const struct {
    const char* name;
    CGError beginResult, configureResult, endResult;
    bool nullMode;
    End end;
    Error wantConfigure, wantEnd;
    int wantConfigures, wantCompletes, wantCancels;
  } cases[] = {
      {"completed", kCGErrorSuccess, kCGErrorSuccess, kCGErrorSuccess, false, End::Complete, 0, 0,
       1, 1, 0},
      {"failed complete is not cancelled", kCGErrorSuccess, kCGErrorSuccess, kCGErrorCannotComplete,
       false, End::Complete, 0, 1004, 1, 1, 0},
      {"failed configure then cancel", kCGErrorSuccess, kCGErrorRangeCheck, kCGErrorFailure, false,
       End::Cancel, 1007, 1000, 1, 0, 1},
      {"null mode reaches no platform call", kCGErrorSuccess, kCGErrorSuccess, kCGErrorSuccess,
       true, End::Drop, 1001, 0, 0, 0, 1},
      {"dropped unconsumed is cancelled", kCGErrorSuccess, kCGErrorSuccess, kCGErrorSuccess, false,
       End::Drop, 0, 0, 1, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto& g = fake::graphics();
    g = fake::Graphics{};
    g.configureResult = c.configureResult;
    g.completeResult = c.endResult;
    g.cancelResult = c.endResult;
    CGDisplayServices services;
    const CGMode mode(fake::mode(specOf(1920)));
    ConfigHandle config;
    ASSERT_EQ(services.beginConfiguration(config), kCGErrorSuccess);
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(services.configureDisplayWithMode(*config, kDisplay, c.nullMode ? nullptr : &mode),
              c.wantConfigure);
    switch (c.end) {
      case End::Complete:
        EXPECT_EQ(services.completeConfiguration(std::move(config), kConfigureForAppOnly),
                  c.wantEnd);
        break;
      case End::Cancel:
        EXPECT_EQ(services.cancelConfiguration(std::move(config)), c.wantEnd);
        break;
      case End::Drop:
        config.reset();
        break;
    }
    EXPECT_EQ(g.begins, 1);
    EXPECT_EQ(g.configures, c.wantConfigures);
    EXPECT_EQ(g.completes, c.wantCompletes);
    EXPECT_EQ(g.cancels, c.wantCancels);
    if (c.wantConfigures == 1) {
      ASSERT_EQ(g.configured.size(), 1u);
      EXPECT_EQ(g.configured[0].first, kDisplay);
      EXPECT_EQ(g.configured[0].second, mode.ref());
    }
    if (c.wantCompletes == 1) {
      EXPECT_EQ(g.completeOptions.at(0), kCGConfigureForAppOnly);
    }
  }
}

TEST_F(DisplayServicesTest, FailedBeginGivesItsCodeAndNoTransaction) {
  fake::graphics().beginResult = kCGErrorInvalidConnection;
  CGDisplayServices services;
  ConfigHandle config;
  EXPECT_EQ(services.beginConfiguration(config), kCGErrorInvalidConnection);
  EXPECT_EQ(config, nullptr);
}

void noteChange(DisplayID display, std::uint32_t flags, void* userInfo) {
  *static_cast<std::optional<std::pair<DisplayID, std::uint32_t>>*>(userInfo) = {display, flags};
}

TEST_F(DisplayServicesTest, CallbackAndUserDataArePassedThrough) {
  fake::graphics().registerResult = kCGErrorIllegalArgument;
  std::optional<std::pair<DisplayID, std::uint32_t>> seen;
  CGDisplayServices services;
  EXPECT_EQ(services.registerReconfigurationCallback(&noteChange, &seen), kCGErrorIllegalArgument);
  ASSERT_NE(fake::graphics().callback, nullptr);
  fake::graphics().callback(kDisplay, kCGDisplayRemoveFlag, fake::graphics().userInfo);
  EXPECT_EQ(seen, std::make_pair(kDisplay, std::uint32_t{0x20}));
}

void noteNotice(DisplayID display, Change change, void* user) {
  static_cast<std::vector<std::pair<DisplayID, Change>>*>(user)->emplace_back(display, change);
}

TEST_F(DisplayServicesTest, BackendTellsNoticesAndModesInTheServicesTerms) {
  using C = Change;
  const struct {
    std::uint32_t flags;
    std::optional<Change> want;
  } notices[] = {
      {kCGDisplayBeginConfigurationFlag | kCGDisplayRemoveFlag, std::nullopt},
      {kCGDisplayRemoveFlag | kCGDisplayAddFlag | kCGDisplaySetModeFlag, C::kRemoved},
      {kCGDisplayAddFlag | kCGDisplaySetModeFlag | kCGDisplayEnabledFlag, C::kAdded},
      {kCGDisplaySetModeFlag | kCGDisplayMovedFlag, C::kMode},
      {kCGDisplayDisabledFlag | kCGDisplayMirrorFlag, C::kOther},
      {kCGDisplayDesktopShapeChangedFlag, C::kOther},
  };
  // Flag word -> valid, safe, needsPanning, interlaced, neverShow, stretched, television.
  const struct {
    std::uint32_t flags;
    bool want[7];
  } words[] = {
      {0x0, {}},
      {0x100003, {true, true, false, false, false, false, true}},
      {0x1000e0, {false, false, true, true, true, false, true}},
      {0x800, {false, false, false, false, false, true, false}},
  };
  const auto withFlags = [](std::uint32_t flags) {
    fake::ModeValues values = specOf(1280);
    values.ioFlags = flags;
    return fake::mode(values);
  };
  fake::graphics().displays[kDisplay].modes =
      fake::array({withFlags(words[0].flags), withFlags(words[1].flags), withFlags(words[2].flags),
                   withFlags(words[3].flags)});
  CGDisplayServices services;
  IOKitRegistry registry;
  ExternalDisplayProvider external;
  Backend backend({services, registry, external});

  fake::graphics().registerResult = kCGErrorIllegalArgument;
  std::vector<std::pair<DisplayID, Change>> seen;
  EXPECT_FALSE(backend.watch(&noteNotice, &seen));
  fake::graphics().registerResult = kCGErrorSuccess;
  ASSERT_TRUE(backend.watch(&noteNotice, &seen));
  for (const auto& n : notices) {
    SCOPED_TRACE(n.flags);
    seen.clear();
    fake::graphics().callback(kDisplay, n.flags, fake::graphics().userInfo);
    if (n.want) {
      EXPECT_EQ(seen, (std::vector<std::pair<DisplayID, Change>>{{kDisplay, *n.want}}));
    } else {
      EXPECT_TRUE(seen.empty());
    }
  }

  const auto modes = backend.modes(kDisplay);
  ASSERT_TRUE(modes.has_value());
  ASSERT_EQ(modes->size(), std::size(words));
  const fake::ModeValues v = specOf(1280);
  for (std::size_t i = 0; i < modes->size(); ++i) {
    SCOPED_TRACE(words[i].flags);
    const ModeInfo& m = (*modes)[i]->info();
    EXPECT_EQ(m.flags, words[i].flags);
    const bool got[7] = {m.valid,     m.safe,      m.needsPanning, m.interlaced,
                         m.neverShow, m.stretched, m.television};
    EXPECT_TRUE(std::equal(got, got + 7, words[i].want));
    EXPECT_EQ(std::tie(m.id, m.width, m.height, m.logicalWidth, m.logicalHeight, m.hz),
              std::make_tuple(v.ioDisplayModeID, std::uint64_t{v.pixelWidth},
                              std::uint64_t{v.pixelHeight}, std::uint64_t{v.width},
                              std::uint64_t{v.height}, v.refreshRate));
  }
}

TEST_F(DisplayServicesTest, AnyNonZeroPlatformBooleanIsTrue) {
  auto& display = fake::graphics().displays[kDisplay];
  display.active = 2;
  display.builtin = -1;
  display.inMirrorSet = 1;
  CGDisplayServices services;
  EXPECT_TRUE(services.displayIsActive(kDisplay));
  EXPECT_TRUE(services.displayIsBuiltin(kDisplay));
  EXPECT_TRUE(services.displayIsInMirrorSet(kDisplay));
  EXPECT_FALSE(services.displayIsInHWMirrorSet(kDisplay));
}

}  // namespace
}  // namespace df::platform::darwin
