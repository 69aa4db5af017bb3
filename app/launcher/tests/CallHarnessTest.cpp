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
  std::string args;  // a JSON array; "$DIR" is the test's folder
  // {"ok": ...} or {"exc": ..., "id"?, "message"?}; "$DIR" as above; an
  // "ok" of "$NAME" is any value, checked after the table.
  std::string expected;
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
    std::filesystem::copy_file(std::string(LAUNCHER_SCRIPTS) + "/harness.py",
                               resources_ + "/main.py");
  }

  std::string Expand(std::string text) const {
    return std::regex_replace(text, std::regex("\\$DIR"), dir_.path());
  }

  // Runs the rows in one process and checks each result; a message given
  // as {"messageMatches": REGEX} is matched instead of compared.
  Json::Value RunTable(const std::vector<Row>& rows) {
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
    EXPECT_EQ(last_.exitCode, 0) << last_.err;
    const Json::Value results = Parse(ReadAll(outPath), "results");
    EXPECT_EQ(results.size(), rows.size());
    if (results.size() != rows.size()) return results;
    for (Json::ArrayIndex i = 0; i < rows.size(); ++i) {
      Json::Value expected = Parse(Expand(rows[i].expected), rows[i].method);
      Json::Value actual = results[i];
      // "$NAME" stands for text the test checks after the table.
      if (const Json::Value ok = expected.get("ok", Json::Value());
          ok.isString() && ok.asString().starts_with("$")) {
        EXPECT_TRUE(actual.isMember("ok"))
            << rows[i].cls << "." << rows[i].method << ": " << actual;
        continue;
      }
      const std::string where =
          std::string(rows[i].cls) + "." + rows[i].method + " " + rows[i].args;
      if (expected.isMember("messageMatches")) {
        EXPECT_TRUE(std::regex_search(actual["message"].asString(),
                                      std::regex(expected["messageMatches"].asString())))
            << where << ": " << actual["message"].asString();
        expected.removeMember("messageMatches");
        actual.removeMember("message");
      }
      EXPECT_EQ(actual, expected) << where;
    }
    return results;
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
      {"objc", "lookUpClass", R"([null])",
       R"({"exc": "TypeError", "messageMatches": "lookUpClass"})"},
      {"tarvex_agent", "toPython", R"([{"a": [1, "ü", null, true, {"b": []}]}])",
       R"({"ok": {"a": [1, "ü", null, true, {"b": []}]}})"},
  });
}

// The shared settings of a fresh home: defaults, values and nil, the
// booleans, the file and the login item they write; the keys as module
// attributes.
TEST_F(CallHarnessTest, SettingsAsTheScriptsCallThem) {
  const char* S = "KestroveSettings";
  const char* A = "tarvex_agent";
  const auto results = RunTable({
      {S, "getString_", R"(["logLevel"])", R"({"ok": "debug"})", true},
      {S, "getString_", R"(["encryptionType"])", R"({"ok": "2"})", true},
      {S, "getString_", R"(["version"])", R"({"ok": null})", true},
      {S, "hasValue_", R"(["username"])", R"({"ok": false})", true},
      {S, "getBoolean_", R"(["autoSync"])", R"({"ok": true})", true},
      {S, "setKey_forValue_", R"(["autoSync", "True"])", R"({"ok": null})", true},
      {S, "getBoolean_", R"(["autoSync"])", R"({"ok": false})", true},
      {S, "hasValue_", R"(["autoSync"])", R"({"ok": true})", true},
      {S, "setKey_forValue_", R"(["username", "Zoë"])", R"({"ok": null})", true},
      {S, "getString_", R"(["username"])", R"({"ok": "Zoë"})", true},
      {S, "setKey_forValue_", R"(["profile", null])", R"({"ok": null})", true},
      {S, "getString_", R"(["profile"])", R"({"ok": null})", true},
      {S, "hasValue_", R"(["profile"])", R"({"ok": false})", true},
      {S, "setBooleanKey_forValue_", R"(["useTabSync", true])", R"({"ok": null})", true},
      {S, "getString_", R"(["useTabSync"])", R"({"ok": "true"})", true},
      {S, "setBooleanKey_forValue_", R"(["rememberPassword", false])", R"({"ok": null})", true},
      {S, "getString_", R"(["rememberPassword"])", R"({"ok": "false"})", true},
      {S, "setKey_forValue_", R"([null, "x"])",
       R"({"exc": "TypeError", "messageMatches": "setKey_forValue_"})", true},
      {S, "setKey_forValue_", R"(["topRevision", 12])",
       R"({"exc": "TypeError", "messageMatches": "setKey_forValue_"})", true},
      {S, "getString_", R"(["topRevision"])", R"({"ok": ""})", true},
      {S, "writeToFile", "[]", R"({"ok": true})", true},
      {S, "setKey_forValue_", R"(["launchAtLogin", "false"])", R"({"ok": null})", true},
      {S, "updateLaunchAtLogin", "[]", R"({"ok": true})", true},
      {S, "setKey_forValue_", R"(["launchAtLogin", "true"])", R"({"ok": null})", true},
      {S, "updateLaunchAtLogin", "[]", R"({"ok": true})", true},
      {S, "load", "[]", R"({"ok": true})", true},
      {S, "getString_", R"(["username"])", R"({"ok": "Zoë"})", true},
      {S, "defaults", "[]", R"({"ok": "$DEFAULTS"})"},
      {S, "data", "[]", R"({"ok": "$DATA"})", true},
      {A, "__getattribute__", R"(["settingNetworkConnectionFailed"])",
       R"({"ok": "networkFailure"})"},
      {A, "__getattribute__", R"(["settingTabComputerName"])", R"({"ok": "tabComputerName"})"},
      {A, "__getattribute__", R"(["kestroveSettingsPath"])",
       R"({"ok": "~/Library/Tarvex/prefs.plist"})"},
      {A, "__getattribute__", R"(["loginWindowFile"])",
       R"({"ok": "~/Library/Preferences/loginwindow.plist"})"},
  });
  // The defaults and the whole settings as dictionaries of text.
  ASSERT_EQ(results.size(), 33u);
  const Json::Value& defaults = results[27]["ok"];
  EXPECT_EQ(defaults["encryptionType"], "2");
  EXPECT_EQ(defaults["launchAtLogin"], "true");
  EXPECT_EQ(defaults["username"], "");
  EXPECT_FALSE(defaults.isMember("version"));
  const Json::Value& data = results[28]["ok"];
  EXPECT_EQ(data["username"], "Zoë");
  EXPECT_EQ(data["autoSync"], "True");
  EXPECT_FALSE(data.isMember("profile"));

  const std::string prefs = home_ + "/Library/Tarvex/prefs.plist";
  EXPECT_EQ(std::filesystem::status(prefs).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const std::string text = ReadAll(prefs);
  EXPECT_THAT(text, ::testing::HasSubstr("<key>username</key>"));
  EXPECT_THAT(text, ::testing::HasSubstr("<string>Zoë</string>"));
  EXPECT_THAT(text, ::testing::Not(::testing::HasSubstr("<key>profile</key>")));
  EXPECT_THAT(ReadAll(home_ + "/Library/Preferences/loginwindow.plist"),
              ::testing::HasSubstr("/Applications/Tarvex for Safari.app"));
}

// The shared logger: levels, enabling, assertions and prefixes as lines of
// the log file (a disabled log takes none); errors also on the console.
TEST_F(CallHarnessTest, LoggerAsTheScriptsCallIt) {
  const char* L = "KestroveLogger";
  RunTable({
      {L, "inErrorMode", "[]", R"({"ok": true})", true},
      {L, "inWarnMode", "[]", R"({"ok": false})", true},
      {L, "debug_", R"(["not at level error"])", R"({"ok": null})", true},
      {L, "setLogLevel_", R"(["debug"])", R"({"ok": null})", true},
      {L, "inDebugMode", "[]", R"({"ok": true})", true},
      {L, "matchLogLevel_", R"(["warn"])", R"({"ok": true})", true},
      {L, "matchLogLevel_", R"(["Debug"])", R"({"ok": false})", true},
      {L, "debug_", R"(["débogage"])", R"({"ok": null})", true},
      {L, "warn_", R"(["careful"])", R"({"ok": null})", true},
      {L, "setEnabled_", R"([false])", R"({"ok": null})", true},
      {L, "error_", R"(["while disabled"])", R"({"ok": null})", true},
      {L, "setEnabled_", R"([true])", R"({"ok": null})", true},
      {L, "assert_withMessage_", R"([true, "holds"])", R"({"ok": null})", true},
      {L, "assert_withMessage_", R"([false, "count == 1"])", R"({"ok": null})", true},
      {L, "log_withPrefix_", R"(["own line", "Custom:"])", R"({"ok": null})", true},
      {L, "setLogLevel_", R"(["error"])", R"({"ok": null})", true},
      {L, "info_", R"(["always"])", R"({"ok": null})", true},
      {L, "error_", R"([null])", R"({"exc": "TypeError", "messageMatches": "error_"})", true},
      {L, "updateFromSettings", "[]", R"({"ok": null})", true},
      {L, "inDebugMode", "[]", R"({"ok": true})", true},  // the settings' default level
      {L, "clearLogIfTooLarge", "[]", R"({"ok": null})", true},
      {L, "logLevel", "[]", R"({"ok": "debug"})", true},
      {L, "isEnabled", "[]", R"({"ok": true})", true},
      {L, "path", "[]", R"({"ok": "$DIR/home/Library/Tarvex/tarvex.log.txt"})", true},
  });
  const std::string date = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}: ";
  const std::vector<std::string> lines = {
      "Debug: débogage",   "Warning: careful", "Error: Assertion error!",
      "Error: count == 1", "Custom: own line", "Info: always",
  };
  std::string pattern;
  for (const auto& line : lines) pattern += date + line + "\n";
  const std::string log = ReadAll(home_ + "/Library/Tarvex/tarvex.log.txt");
  EXPECT_TRUE(std::regex_match(log, std::regex(pattern))) << log;
  EXPECT_THAT(last_.err, ::testing::HasSubstr("TarvexLogger Error: count == 1"));
}

// Every class method of KestroveBridge on small trees: results as text,
// errors as KestroveException with their id (a JSON value of the wrong type
// as JSONError), and an output file that a refused download leaves as it was.
TEST_F(CallHarnessTest, BridgeAsTheScriptsCallIt) {
  const std::string tree =
      R"({"_nodes":[{"nid":"ROOT","ntype":"folder","name":"","children":["b1"]},)"
      R"({"nid":"b1","pnid":"ROOT","ntype":"bookmark","name":"Ünï","url":"http://u.example/"}],)"
      R"("currentRevision":"3","userHash":"","version":""})";
  WriteAll(dir_ / "tree.json", tree);
  WriteAll(dir_ / "kept.json", "{\"kept\": true}\n");
  WriteAll(dir_ / "broken.json", "{\"_nodes\": [");
  // As a JSON string inside the rows' argument arrays.
  const std::string treeArg = Json::FastWriter().write(Json::Value(tree));
  const std::string t = treeArg.substr(0, treeArg.size() - 1);
  const char* B = "KestroveBridge";
  const auto results = RunTable({
      {B, "GenerateNodeID", "[]", R"({"ok": "$ID"})"},
      {B, "GenerateNodeID", "[]", R"({"ok": "$ID"})"},
      {B, "CompareVersions_other_", R"(["1.3.10", "1.3.9"])", R"({"ok": 1})"},
      {B, "CompareVersions_other_", R"(["1.3", "1.3"])", R"({"ok": 0})"},
      {B, "CompareVersions_other_", R"(["1.2", "1.10"])", R"({"ok": -1})"},
      {B, "CompareNodesetsJsonBefore_after_", "[" + t + "," + t + "]", R"({"ok": "[]\n"})"},
      {B, "CompareNodesetsFileBefore_after_", R"(["$DIR/tree.json", "$DIR/tree.json"])",
       R"({"ok": "[]\n"})"},
      {B, "CompareNodesetsJsonBefore_after_", "[\"{}\"," + t + "]",
       R"({"exc": "KestroveException", "id": 501, "messageMatches": "ROOT"})"},
      {B, "CompareNodesetsFileBefore_after_", R"(["$DIR/missing.json", "$DIR/tree.json"])",
       R"({"exc": "KestroveException", "id": 501, "messageMatches": "ROOT"})"},
      {B, "CompareNodesetsFileBefore_after_", R"(["$DIR/broken.json", "$DIR/tree.json"])",
       R"({"exc": "KestroveException", "id": 500, "messageMatches": "broken.json"})"},
      {B, "GetNodesetHashesFromFile_", R"(["$DIR/missing.json"])", R"({"ok": "[]\n"})"},
      {B, "GetUploadNodesetFromJson_", R"(["{\"_nodes\": [{\"nid\": \"ROOT\", \"name\": [1]}]}"])",
       R"({"exc": "JSONError", "messageMatches": "."})"},
      {B, "GetUploadNodesetFromFile_", R"(["$DIR/missing.json"])",
       R"({"exc": "KestroveException", "id": 501, "messageMatches": "ROOT"})"},
      {B, "SaveDownloadCommandsetToFile_CommandsetJson_", R"(["$DIR/empty.json", "[]"])",
       R"({"ok": true})"},
      {B, "GetNodesetHashesFromFile_", R"(["$DIR/empty.json"])", R"({"ok": "[]\n"})"},
      {B, "SaveDownloadCommandsetToFile_CommandsetJson_",
       R"(["$DIR/kept.json", "[{\"action\": \"insert\""])",
       R"({"exc": "KestroveException", "id": 500, "messageMatches": "."})"},
      {B, "SaveDownloadCommandsetToFile_CommandsetJson_", R"(["$DIR/kept.json", "not json"])",
       R"({"exc": "KestroveException", "id": 500, "messageMatches": "."})"},
      {B, "SaveDownloadCommandsetToFile_CommandsetJson_", R"([null, "[]"])",
       R"({"exc": "TypeError", "messageMatches": "SaveDownloadCommandsetToFile_CommandsetJson_"})"},
      {B, "MergeNodesetsToFile_basePath_otherSetPath_",
       R"(["$DIR/kept.json", "$DIR/missing.json", "$DIR/tree.json"])",
       R"({"exc": "KestroveException", "id": 501, "messageMatches": "ROOT"})"},
      {B, "MergeNodesetsToFile_basePath_otherSetPath_",
       R"(["$DIR/merged.json", "$DIR/tree.json", "$DIR/tree.json"])", R"({"ok": true})"},
      {B, "CompareNodesetsFileBefore_after_", R"(["$DIR/tree.json", "$DIR/merged.json"])",
       R"({"ok": "[]\n"})"},
      {B, "GetUploadNodesetFromJson_", "[" + t + "]", R"({"ok": "$UPLOAD"})"},
      {B, "GetUploadNodesetFromFile_", R"(["$DIR/tree.json"])", R"({"ok": "$UPLOAD"})"},
      {B, "GetNodesetHashesFromFile_", R"(["$DIR/tree.json"])", R"({"ok": "$HASHES"})"},
  });
  ASSERT_EQ(results.size(), 24u);
  // Node ids: ASCII digits of the engine's alphabet, two calls never the same.
  EXPECT_NE(results[0]["ok"], results[1]["ok"]);
  for (int i : {0, 1})
    EXPECT_TRUE(std::regex_match(results[i]["ok"].asString(), std::regex("[0-9A-Za-z.+]+")));
  // The upload from the file and from the text: the same inserts, parents first.
  EXPECT_EQ(results[21]["ok"], results[22]["ok"]);
  const Json::Value upload = Parse(results[22]["ok"].asString(), "upload");
  ASSERT_EQ(upload.size(), 2u);
  EXPECT_EQ(upload[0]["nid"], "ROOT");
  EXPECT_EQ(upload[1]["nid"], "b1");
  EXPECT_EQ(upload[1]["args"]["name"], "Ünï");
  const Json::Value hashes = Parse(results[23]["ok"].asString(), "hashes");
  ASSERT_EQ(hashes.size(), 2u);
  for (const auto& entry : hashes)
    for (const char* key : {"nid", "pnid", "children", "hash"})
      EXPECT_TRUE(entry.isMember(key)) << key;
  // A refused download left its output alone; the empty one wrote a tree.
  EXPECT_EQ(ReadAll(dir_ / "kept.json"), "{\"kept\": true}\n");
  EXPECT_THAT(ReadAll(dir_ / "empty.json"), ::testing::HasSubstr("\"_nodes\":[]"));
}

}  // namespace
}  // namespace tarvex::testing
