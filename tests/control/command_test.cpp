#include "control/command.h"

#include <string>

#include <gtest/gtest.h>

#include "control/stdin_reader.h"

namespace df {
namespace {

TEST(ParseCommand, DropsEverythingButOneObjectWithAStringFormat) {
  const char* dropped[] = {
      "",
      "\n",
      "   \n",
      "hello\n",
      "[1,2]\n",
      "42\n",
      "\"format\"\n",
      "null\n",
      "{}\n",
      "{\"format\":null}\n",
      "{\"format\":1}\n",
      "{\"format\":[\"auto\"]}\n",
      "{\"format\":\"auto\"}{\"format\":\"auto\"}\n",
      "{\"format\":\"auto\"} x\n",
      "{\"format\":\"auto\"\n",
      "{\"format\":\"\xff\xfe\"}\n",                   // invalid UTF-8
      "{\"format\":\"auto\",\"revision\":1e99999}\n",  // out of range
      "{'format':'auto'}\n",
  };
  for (const char* line : dropped) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(parseCommand(line));
  }
  const char* kept[] = {
      "{\"format\":\"auto\"}\n",
      "{\"format\":\"auto\"}",  // no trailing newline
      "  {\"format\":\"\"}  \r\n",
      "{\"format\":\"1080p59.94\",\"x\":[1,{\"y\":null}]}\n",
  };
  for (const char* line : kept) {
    SCOPED_TRACE(line);
    EXPECT_TRUE(parseCommand(line));
  }
}

TEST(ParseCommand, DeepNestingAndHugeLinesNeitherCrashNorRecurse) {
  const std::size_t depth = 100000;
  std::string deep =
      "{\"format\":\"auto\",\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "}\n";
  EXPECT_TRUE(parseCommand(deep));
  std::string unbalanced = "{\"format\":\"auto\",\"x\":" + std::string(depth, '[') + "}\n";
  EXPECT_FALSE(parseCommand(unbalanced));
  std::string huge = "{\"format\":\"" + std::string(50u << 20, 'a') + "\"}\n";
  auto command = parseCommand(huge);
  ASSERT_TRUE(command);
  EXPECT_EQ((*command)["format"].get_ref<const std::string&>().size(), 50u << 20);
}

TEST(CommandKeys, DisplayIDsNeverNarrowToAnotherDisplay) {
  struct Case {
    const char* json;
    platform::DisplayID id;
  };
  const Case cases[] = {
      {R"({})", 0},
      {R"({"control":2})", 2},
      {R"({"control":4294967295})", 4294967295u},
      {R"({"control":4294967296})", 0},
      {R"({"control":-1})", 0},
      {R"({"control":2.5})", 0},
      {R"({"control":2.0})", 2},
      {R"({"control":1e300})", 0},
      {R"({"control":"2"})", 0},
      {R"({"control":null})", 0},
      {R"({"control":[2]})", 0},
      {R"({"control":{"id":2}})", 0},
      {R"({"control":true})", 1},
      {R"({"control":false})", 0},
      {R"({"control":18446744073709551615})", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(commandDisplay(nlohmann::json::parse(c.json), "control"), c.id);
  }
}

TEST(CommandKeys, FlagsRevisionAndText) {
  using nlohmann::json;
  EXPECT_FALSE(commandFlag(json::parse(R"({})"), "apply"));
  EXPECT_TRUE(commandFlag(json::parse(R"({"apply":true})"), "apply"));
  EXPECT_TRUE(commandFlag(json::parse(R"({"apply":2})"), "apply"));
  EXPECT_TRUE(commandFlag(json::parse(R"({"apply":0.5})"), "apply"));
  EXPECT_FALSE(commandFlag(json::parse(R"({"apply":0})"), "apply"));
  EXPECT_FALSE(commandFlag(json::parse(R"({"apply":"true"})"), "apply"));
  EXPECT_FALSE(commandFlag(json::parse(R"({"apply":null})"), "apply"));
  EXPECT_FALSE(commandFlag(json::parse(R"({"apply":[true]})"), "apply"));

  struct Rev {
    const char* json;
    std::int64_t value;
  };
  const Rev revs[] = {
      {R"({})", 0},
      {R"({"revision":7})", 7},
      {R"({"revision":-7})", -7},
      {R"({"revision":7.9})", 7},
      {R"({"revision":-7.9})", -7},
      {R"({"revision":9223372036854775807})", INT64_MAX},
      {R"({"revision":18446744073709551615})", INT64_MAX},
      {R"({"revision":1e300})", INT64_MAX},
      {R"({"revision":-1e300})", INT64_MIN},
      {R"({"revision":true})", 1},
      {R"({"revision":"5"})", 0},
      {R"({"revision":null})", 0},
  };
  for (const Rev& r : revs) {
    SCOPED_TRACE(r.json);
    EXPECT_EQ(commandRevision(json::parse(r.json)), r.value);
  }

  EXPECT_EQ(commandText(json::parse(R"({"uuid":"A"})"), "uuid"), "A");
  EXPECT_FALSE(commandText(json::parse(R"({"uuid":""})"), "uuid"));
  EXPECT_FALSE(commandText(json::parse(R"({"uuid":5})"), "uuid"));
}

}  // namespace
}  // namespace df
