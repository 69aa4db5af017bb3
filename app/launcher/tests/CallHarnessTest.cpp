// The agent's classes as its scripts call them: each table runs in one
// launcher process through tests/scripts/harness.py, which calls every row's
// method and writes what came back (a value, None for nil, or the exception
// with its id and message). Rows run in order, so a row sees what the rows
// before it did.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <regex>

#include "app/launcher/tests/LauncherRun.h"
#include "platform/testing/TempDir.h"

namespace tarvex::testing {
namespace {

struct Row {
  const char* cls;
  const char* method;
  std::string args;      // a JSON array; "$DIR" is the test's folder
  std::string expected;  // {"ok": ...} or {"exc": ..., "id"?, "message"?}; "$DIR" as above
  bool singleton = false;
};

Json::Value Parse(const std::string& text, const std::string& what) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream in(text);
  if (!Json::parseFromStream(builder, in, &value, &errors))
    ADD_FAILURE() << "not JSON (" << what << "): " << errors << "\n" << text;
  return value;
}

class CallHarnessTest : public ::testing::Test {
 protected:
  CallHarnessTest() {
    for (const auto& dir : {resources_, home_, runtime_}) std::filesystem::create_directories(dir);
    std::filesystem::copy_file(std::string(LAUNCHER_SCRIPTS) + "/harness.py", resources_ + "/main.py");
  }

  std::string Expand(std::string text) const {
    return std::regex_replace(text, std::regex("\\$DIR"), dir_.path());
  }

  // Runs the rows in one process and checks each result; a message given
  // as {"messageMatches": REGEX} is matched instead of compared.
  void RunTable(const std::vector<Row>& rows) {
    Json::Value cases(Json::arrayValue);
    for (const auto& row : rows) {
      Json::Value c;
      c["class"] = row.cls;
      c["method"] = row.method;
      c["singleton"] = row.singleton;
      c["args"] = Parse(Expand(row.args), row.method);
      cases.append(c);
    }
    const std::string casesPath = dir_ / "cases.json";
    const std::string outPath = dir_ / "out.json";
    WriteAll(casesPath, Json::FastWriter().write(cases));
    LaunchOptions options;
    options.args = {casesPath, outPath};
    options.env["TARVEX_RESOURCES"] = resources_;
    options.env["HOME"] = home_;
    options.env["TARVEX_RUNTIME_DIR"] = runtime_;
    options.cwd = dir_.path();
    last_ = Launch(options);
    ASSERT_EQ(last_.exitCode, 0) << last_.err;
    const Json::Value results = Parse(ReadAll(outPath), "results");
    ASSERT_EQ(results.size(), rows.size());
    for (Json::ArrayIndex i = 0; i < rows.size(); ++i) {
      Json::Value expected = Parse(Expand(rows[i].expected), rows[i].method);
      Json::Value actual = results[i];
      const std::string where = std::string(rows[i].cls) + "." + rows[i].method + " " + rows[i].args;
      if (expected.isMember("messageMatches")) {
        EXPECT_TRUE(std::regex_search(actual["message"].asString(),
                                      std::regex(expected["messageMatches"].asString())))
            << where << ": " << actual["message"].asString();
        expected.removeMember("messageMatches");
        actual.removeMember("message");
      }
      EXPECT_EQ(actual, expected) << where;
    }
  }

  TempDir dir_;
  std::string resources_ = dir_ / "Resources";
  std::string home_ = dir_ / "home";
  std::string runtime_ = dir_ / "run";
  LaunchResult last_;
};

// objc.lookUpClass finds the module's classes and nothing else; toPython
// gives plain values for json.dumps.
TEST_F(CallHarnessTest, ShimFindsOnlyTheAgentsClasses) {
  RunTable({
      {"objc", "lookUpClass", R"(["NoSuchClass"])",
       R"({"exc": "ValueError", "message": "objc.lookUpClass: no class named \"NoSuchClass\""})"},
      {"objc", "lookUpClass", R"(["toPython"])",
       R"({"exc": "ValueError", "message": "objc.lookUpClass: no class named \"toPython\""})"},
      {"objc", "lookUpClass", R"(["__loader__"])",
       R"({"exc": "ValueError", "message": "objc.lookUpClass: no class named \"__loader__\""})"},
      {"objc", "lookUpClass", R"([""])",
       R"({"exc": "ValueError", "message": "objc.lookUpClass: no class named \"\""})"},
      {"objc", "lookUpClass", R"([null])", R"({"exc": "TypeError", "messageMatches": "lookUpClass"})"},
      {"tarvex_agent", "toPython", R"([{"a": [1, "ü", null, true, {"b": []}]}])",
       R"({"ok": {"a": [1, "ü", null, true, {"b": []}]}})"},
  });
}

}  // namespace
}  // namespace tarvex::testing
