// The checker of report lines: it accepts what the protocol documents, and names each way a
// line can break the rules.
#include "simulation/report_rules.h"

#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace df::trust {
namespace {

using json = nlohmann::json;

// Lines as docs/protocol.md shows them.
const char* const kMatched =
    R"({"actual":{"flags":1048579,"format":"1080p50","height":1080,"hz":50.0,"interlaced":false,)"
    R"("logicalHeight":1080,"logicalWidth":1920,"modeId":3,"width":1920},"canPresent":true,)"
    R"("chosen":"1080p50","formats":["480p59.94","576p50","720p50","1080i59.94","2160p60.00"],)"
    R"("id":"2","nativeModes":{"native:5C9D1E2F-7A38-4B46-8C05-E1F2A3B4C5D6:2a:1920x1080p:)"
    R"(60000000":"1920\u00d71080p \u00b7 60.000000 Hz \u00b7 #2a"},"phase":"matched",)"
    R"("restoreFailed":false,"revision":1,"uuid":"5C9D1E2F-7A38-4B46-8C05-E1F2A3B4C5D6"})";
const char* const kMissing =
    R"({"actual":{},"canPresent":false,"chosen":"","formats":[],"id":null,"nativeModes":{},)"
    R"("phase":"missing","restoreFailed":false,"revision":1,"uuid":""})";

std::string first(std::string_view line) {
  const auto problems = reportLineProblems(line);
  return problems.empty() ? "" : problems.front();
}

json with(const char* line, const std::string& key, json value) {
  json r = json::parse(line);
  r[key] = std::move(value);
  return r;
}

TEST(ReportRules, AcceptTheDocumentedLines) {
  EXPECT_EQ(first(kMatched), "");
  EXPECT_EQ(first(kMissing), "");
  // Link values: an integer scan flag, a signal without a rate, odd native keys.
  json r = json::parse(kMatched);
  r["actual"]["interlaced"] = 1;
  r["actual"]["hz"] = 0;
  r["actual"]["format"] = "";
  r["nativeModes"] = {{"native::0:0x0i:-5", ""}, {"native:a:b:ffffffff:1x1p:0", "x"}};
  r["revision"] = -9223372036854775807LL - 1;
  EXPECT_EQ(reportProblems(r), std::vector<std::string>{});
}

TEST(ReportRules, TextMustBeOneCompactObject) {
  const std::string line = kMissing;
  EXPECT_EQ(first(line + "\n" + line), "a line break inside the line");
  EXPECT_EQ(first("{ " + line.substr(1)), "not compact: white space outside strings");
  EXPECT_EQ(first(line + line), "not one JSON value in UTF-8");
  EXPECT_EQ(first(R"({"chosen":"a\"b c"})").find("not compact"), std::string::npos);
  EXPECT_EQ(first("[1]"), "not a JSON object");
  EXPECT_EQ(first("{\"uuid\":\"\xff\"}"), "not one JSON value in UTF-8");
}

TEST(ReportRules, KeysAndKinds) {
  EXPECT_EQ(reportProblems(with(kMissing, "extra", 1)).front(), "unknown key \"extra\"");
  json r = json::parse(kMissing);
  r.erase("canPresent");
  EXPECT_EQ(reportProblems(r).front(), "missing key \"canPresent\"");

  const std::vector<std::pair<std::string, json>> wrong = {
      {"revision", 1.5},
      {"revision", 9223372036854775808ULL},
      {"id", "02"},
      {"id", "12345678901"},
      {"id", 2},
      {"phase", "done"},
      {"restoreFailed", 0},
      {"formats", {"1080p59.94", "1080p59.94"}},
      {"formats", {"1080p59.9"}},
      {"formats", {"1080x59.94"}},
      {"chosen", nullptr},
      {"nativeModes", {{"native:u:1g:1x1p:1", ""}}},
      {"nativeModes", {{"native:1:1x1p:1", ""}}},
      {"nativeModes", {{"native:u:1:1x1:1", ""}}},
      {"nativeModes", {{"native:u:123456789:1x1p:1", ""}}},
      {"nativeModes", {{"native:u:1:1x1p:1", 5}}},
      {"actual", {{"modeId", 2147483648LL}}},
      {"actual", {{"flags", -1}}},
      {"actual", {{"interlaced", 2}}},
      {"actual", {{"hz", "60"}}},
      {"actual", {{"scan", "p"}}}};
  for (const auto& [key, value] : wrong) {
    SCOPED_TRACE(key + " = " + value.dump());
    EXPECT_FALSE(reportProblems(with(kMatched, key, value)).empty());
  }
}

TEST(ReportRules, PhaseAgreesWithTheRest) {
  EXPECT_EQ(reportProblems(with(kMissing, "canPresent", true)).front(), "missing with canPresent");
  EXPECT_EQ(reportProblems(with(kMissing, "id", "3")).front(), "missing with an id");
  EXPECT_EQ(reportProblems(with(kMissing, "formats", {"720p50"})).front(), "missing with formats");
  json prot = with(kMissing, "phase", "protected");
  EXPECT_EQ(reportProblems(prot).front(), "protected without an id");
  prot["id"] = "1";
  EXPECT_TRUE(reportProblems(prot).empty());
  prot["actual"] = {{"modeId", 1}};
  EXPECT_EQ(reportProblems(prot).front(), "protected with an actual state");

  EXPECT_EQ(reportProblems(with(kMatched, "phase", "idle")).front(), "idle with canPresent");
  json failed = with(kMatched, "phase", "restoreFailed");
  failed["canPresent"] = false;
  EXPECT_EQ(reportProblems(failed).front(), "phase restoreFailed without it");
  json idle = with(kMatched, "phase", "idle");
  idle["canPresent"] = false;
  idle["restoreFailed"] = true;
  EXPECT_EQ(reportProblems(idle).front(), "idle although the restoration failed");
  json bare = with(kMatched, "actual", json::object());
  EXPECT_EQ(reportProblems(bare).front(), "canPresent without a display state");
}

}  // namespace
}  // namespace df::trust
