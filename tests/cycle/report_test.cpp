#include "cycle/report.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cycle/catalogue.h"
#include "cycle/cycle.h"
#include "support/harness.h"
#include "support/readings.h"

namespace df {
namespace {

TEST(NaturalOrder, DigitsByValueLettersWithoutCase) {
  std::vector<std::string> names = {"1080p60.00", "1080p59.94", "720p59.94",
                                    "480p59.94",  "1080i59.94", "480i59.94"};
  std::sort(names.begin(), names.end(), naturalLess);
  EXPECT_EQ(names, (std::vector<std::string>{"480i59.94", "480p59.94", "720p59.94", "1080i59.94",
                                             "1080p59.94", "1080p60.00"}));
  EXPECT_TRUE(naturalLess("1080p23.976", "1080p24"));
  EXPECT_TRUE(naturalLess("1080p29.97", "1080p30"));
  EXPECT_TRUE(naturalLess("2160p24", "2160P25"));
  EXPECT_TRUE(naturalLess("a", "B"));
  EXPECT_FALSE(naturalLess("x", "x"));
  EXPECT_TRUE(naturalLess("720p", "720p50"));
}

class ReportTest : public testing::Test {
 protected:
  test::Harness h{test::plainScenario()};
  Context& cx = h.cx();
  std::vector<std::string>& lines = h.lines;
};

TEST_F(ReportTest, GuardReportAndDeduplicationByValue) {
  report(cx, 0, "missing", nullptr, std::nullopt, false);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            R"({"actual":{},"canPresent":false,"chosen":"","formats":[],"id":null,)"
            R"("nativeModes":{},"phase":"missing","restoreFailed":false,"revision":0,"uuid":""})");
  report(cx, 0, "missing", nullptr, std::nullopt, false);
  EXPECT_EQ(lines.size(), 1u);
  report(cx, 7, "protected", nullptr, std::nullopt, false);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find(R"("id":"7")"), std::string::npos);

  // Equal readings and catalogues built apart make the same report.
  auto catalogue = [] {
    return std::make_shared<const Catalogue>(
        Catalogue{{"720p59.94"}, {{"native:U:1:1280x720p:59940060", "label", 0}}, {}});
  };
  auto reading = [] {
    return test::snapshotFromJson(
        {{"desktop", {{"hz", 60.0}, {"width", 1920}}}, {"link", nullptr}});
  };
  report(cx, 7, "idle", catalogue(), reading(), false);
  report(cx, 7, "idle", catalogue(), reading(), false);
  EXPECT_EQ(lines.size(), 3u);
  cx.state.revision = 5;
  report(cx, 7, "idle", catalogue(), reading(), false);
  EXPECT_EQ(lines.size(), 4u);
  EXPECT_EQ(cx.counters.reports, 6u);
}

TEST(Actual, SignalLaidOverDesktop) {
  Record desktop = {{"modeId", 1},          {"width", 3840},      {"height", 2160},
                    {"logicalWidth", 1920}, {"logicalHeight", 0}, {"flags", 3},
                    {"interlaced", 0},      {"hz", 60.0},         {"format", ""}};
  auto snap = [&desktop](Record link) {
    return MaybeSnapshot(test::snapshotFromJson({{"desktop", desktop}, {"link", link}}));
  };
  EXPECT_EQ(toJson(actualOf(std::nullopt)), Record::object());
  EXPECT_EQ(toJson(actualOf(snap(nullptr))), desktop);

  Record emptySignal = toJson(actualOf(snap(Record::object())));
  EXPECT_EQ(emptySignal["format"], "");
  EXPECT_EQ(emptySignal["hz"], 0);
  EXPECT_EQ(emptySignal["width"], 3840);

  Record signal = {{"width", 1920},
                   {"height", 1080},
                   {"hz", 59.94},
                   {"format", "1080p59.94"},
                   {"interlaced", false}};
  Record link = {{"uuid", "X"}, {"signal", signal}, {"mode", Record::object()}};
  Record actual = toJson(actualOf(snap(link)));
  EXPECT_EQ(actual["width"], 1920);
  EXPECT_EQ(actual["interlaced"], false);
  EXPECT_EQ(actual["logicalWidth"], 1920);
  EXPECT_EQ(actual["modeId"], 1);
  EXPECT_EQ(actual["flags"], 3);
}

}  // namespace
}  // namespace df
