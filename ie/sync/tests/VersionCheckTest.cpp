// The check for a newer client against the loopback sync service, through the
// real HTTP transport, and the offer's question over the foundation's
// message box and URL opener.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "ie/sync/VersionCheck.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "ie/sync/testing/ScriptedQuestions.h"
#include "ie/sync/testing/SyncTestbed.h"
#include "nodeset/Json.h"

namespace tarvex {
namespace {

using testing::ScriptedQuestions;

constexpr const char* kProtocolError = "Unable to check for update; protocol error";
constexpr const char* kUnhandled =
    "Unhandled exception encountered while checking for available update";
constexpr const char* kPage = "https://www.tarvex.com/msie/upgrade/";
constexpr const char* kBinary = "https://static.tarvex.com/TarvexSetup.exe";
constexpr const char* kBetaBinary = "https://static.tarvex.com/TarvexSetup-beta.exe";

Json::Value Parse(const std::string& text) {
  Json::Value value;
  std::string error;
  EXPECT_TRUE(ParseJson(text, &value, &error)) << text << ": " << error;
  return value;
}

// A version file with status 0, the usual addresses and the given versions
// ("" leaves a version out).
Json::Value Document(const std::string& latest, const std::string& minimum) {
  Json::Value document(Json::objectValue);
  document["status"] = 0;
  document["upgrade-page-url"] = kPage;
  document["upgrade-binary-url"] = kBinary;
  if (!latest.empty()) document["latest-version"] = latest;
  if (!minimum.empty()) document["min-suggested-version"] = minimum;
  return document;
}

class VersionCheckTest : public ::testing::Test {
 protected:
  VersionCheckTest() {
    for (const char* host : {"server", "authserver", "cloudserver", "downloadserver", "webserver"})
      bed_.settings.SetValue(host, service_.BaseUrl(), true);
    bed_.settings.SetValue("kestroveversion", "1.3.5", true);
    bed_.Start();
  }

  void Check(bool manual) { CheckVersion(bed_.context(), questions_, manual); }

  // The lines the log gained since `from` (its size then), without their
  // times.
  std::vector<std::string> LogLinesSince(size_t from) {
    std::vector<std::string> lines;
    std::string log = bed_.Log().substr(from);
    for (size_t start = 0; start < log.size();) {
      size_t end = log.find('\n', start);
      std::string line = log.substr(start, end - start);
      size_t mark = line.find(": ");
      lines.push_back(mark == std::string::npos ? line : line.substr(mark + 2));
      start = end == std::string::npos ? log.size() : end + 1;
    }
    return lines;
  }
  bool Logged(size_t from, const std::string& line) {
    for (const std::string& l : LogLinesSince(from))
      if (l == line) return true;
    return false;
  }

  testing::FakeSyncService service_;
  CurlTransport transport_;
  testing::SyncTestbed bed_{transport_};
  ScriptedQuestions questions_;
};

TEST_F(VersionCheckTest, DecisionTable) {
  enum Outcome { kNothing, kOffer, kLatest, kNoRequest };
  struct Case {
    const char* name;
    bool manual;
    const char* current;
    const char* latest;
    const char* minimum;  // "" for none
    bool betaOn;
    const char* beta;  // the `channels` member as JSON; "" for none
    bool skip;
    Outcome outcome;
    const char* offeredVersion;
    const char* offeredBinary;
  } cases[] = {
      {"automatic, below the minimum", false, "1.3.5", "1.5", "1.4", false, "", false, kOffer,
       "1.5", kBinary},
      {"manual, below the minimum", true, "1.3.5", "1.5", "1.4", false, "", false, kOffer, "1.5",
       kBinary},
      {"automatic, the latest but below the minimum", false, "1.3.5", "1.3.5", "1.3.6", false, "",
       false, kOffer, "1.3.5", kBinary},
      {"automatic, below the latest only", false, "1.3.5", "1.3.10", "1.3", false, "", false,
       kNothing, "", ""},
      {"manual, below the latest only", true, "1.3.5", "1.3.10", "1.3", false, "", false, kOffer,
       "1.3.10", kBinary},
      {"automatic, current", false, "1.3.5", "1.3.5", "1.3", false, "", false, kNothing, "", ""},
      {"manual, current", true, "1.3.5", "1.3.5", "1.3", false, "", false, kLatest, "", ""},
      {"manual, newer than the latest", true, "1.3.10", "1.3.9", "1.3", false, "", false, kLatest,
       "", ""},
      {"manual, 1.3 equals 1.3.0", true, "1.3", "1.3.0", "", false, "", false, kLatest, "", ""},
      {"automatic, no minimum never forces", false, "1.3.5", "2.0", "", false, "", false, kNothing,
       "", ""},
      {"automatic, beta usable and newer", false, "1.3.5", "1.3.5", "1.3", true,
       R"({"beta":{"binary":"https://static.tarvex.com/TarvexSetup-beta.exe","version":"1.4b"}})",
       false, kOffer, "1.4b", kBetaBinary},
      {"automatic, beta with an empty version", false, "1.3.5", "1.3.5", "1.3", true,
       R"({"beta":{"binary":"https://static.tarvex.com/TarvexSetup-beta.exe","version":""}})",
       false, kNothing, "", ""},
      {"manual, beta with an empty binary", true, "1.3.5", "1.4", "1.3", true,
       R"({"beta":{"binary":"","version":"1.5"}})", false, kOffer, "1.4", kBinary},
      {"manual, beta channel null", true, "1.3.5", "1.3.5", "1.3", true, R"({"beta":null})", false,
       kLatest, "", ""},
      {"manual, beta older than the client", true, "1.3.5", "1.4", "1.3", true,
       R"({"beta":{"binary":"https://static.tarvex.com/TarvexSetup-beta.exe","version":"1.3.1"}})",
       false, kLatest, "", ""},
      {"automatic, beta channel not looked at", false, "1.3.5", "1.3.5", "1.3", false,
       R"({"beta":{"binary":"https://static.tarvex.com/TarvexSetup-beta.exe","version":"1.4"}})",
       false, kNothing, "", ""},
      {"automatic, checks turned off", false, "1.3.5", "1.5", "1.4", false, "", true, kNoRequest,
       "", ""},
      {"manual, checks turned off", true, "1.3.5", "1.5", "1.4", false, "", true, kOffer, "1.5",
       kBinary},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json::Value document = Document(c.latest, c.minimum);
    if (*c.beta) document["channels"] = Parse(c.beta);
    service_.SetVersionDocument(document);
    service_.ClearRequests();
    bed_.settings.SetValue("kestroveversion", c.current, true);
    bed_.settings.SetBool("checkbetachannel", c.betaOn, true);
    bed_.settings.SetBool("skipversioncheck", c.skip, true);
    questions_.asked.clear();
    if (c.outcome == kOffer) questions_.Expect(ScriptedQuestions::kUpdateAvailable);
    if (c.outcome == kLatest) questions_.Expect(ScriptedQuestions::kMessage, kButtonOK);

    Check(c.manual);

    auto requests = service_.Requests();
    if (c.outcome == kNoRequest) {
      EXPECT_TRUE(requests.empty());
    } else {
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].method, "GET");
      EXPECT_EQ(requests[0].path, "/clients/version/ie.json");
      EXPECT_EQ(requests[0].body, "");
    }
    if (c.outcome == kOffer && questions_.asked.size() == 1) {
      EXPECT_EQ(questions_.asked[0].args,
                (std::vector<std::string>{c.offeredVersion, c.offeredBinary, kPage}));
    }
    if (c.outcome == kLatest && questions_.asked.size() == 1) {
      EXPECT_EQ(questions_.asked[0].text, "You are running the lastest version of Tarvex.");
      EXPECT_EQ(questions_.asked[0].buttons, (std::vector<int>{kButtonOK, 0, 0}));
    }
    EXPECT_TRUE(questions_.answers.empty());
    questions_.answers.clear();
  }
}

// What a reply that is no usable version file does: the message on a manual
// check after the protocol error, nothing but log lines otherwise.
TEST_F(VersionCheckTest, FailuresAreLoggedAndShownOnlyWhenTheStatusIsNotZero) {
  struct Case {
    const char* name;
    int http;                        // 0: no reply at all (nothing listens)
    const char* reply;               // the body
    bool message;                    // a manual check shows the "unable to connect" message
    std::vector<std::string> lines;  // error lines the log gains
  } cases[] = {
      {"a missing status", 200, R"({"latest-version":"9"})", true, {kProtocolError}},
      {"a status of 1", 200, R"({"status":1,"latest-version":"9"})", true, {kProtocolError}},
      {"a text status", 200, R"({"status":"error"})", true, {kProtocolError}},
      {"not an object", 200, R"([0])", true, {kProtocolError}},
      {"a failed connection", 0, "", true, {kProtocolError}},
      {"HTTP 500", 500, "", true, {kProtocolError}},
      {"a 503",
       200,
       R"({"status":503,"backoff_delay":60})",
       false,
       {kUnhandled,
        "TarvexException [source: network, id: -61]: Server 503: wants us to back off for 60 "
        "seconds"}},
      {"a reply that does not parse",
       200,
       "<html>",
       false,
       {kUnhandled,
        "TarvexException [source: network, id: -10]: Couldn't parse response body from server: "
        "<html>"}},
      {"a version that is a number",
       200,
       R"({"status":0,"latest-version":1.5,"upgrade-page-url":"https://a/"})",
       false,
       {kUnhandled,
        "TarvexException [source: network, id: -10]: The version file's latest-version is not "
        "text: 1.5"}},
      {"an installer that is no web page",
       200,
       R"({"status":"0","min-suggested-version":"9","upgrade-binary-url":"file:///C:/evil.exe",
           "upgrade-page-url":"https://a/"})",
       true,
       {"Refused an update address that is not http or https: [file:///C:/evil.exe]"}},
      {"a page that is no web page",
       200,
       R"j({"status":0,"min-suggested-version":"9","upgrade-binary-url":"https://a/setup.exe",
           "upgrade-page-url":"javascript:alert(1)"})j",
       true,
       {"Refused an update address that is not http or https: [javascript:alert(1)]"}},
  };
  for (const Case& c : cases) {
    for (bool manual : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (manual ? ", manual" : ", automatic"));
      bed_.settings.SetValue("downloadserver",
                             c.http ? service_.BaseUrl() : std::string("http://127.0.0.1:1"), true);
      if (c.http)
        service_.QueueFault("/clients/version/ie.json", testing::FakeFault::Reply(c.http, c.reply));
      bed_.settings.DeleteValue("backoffuntil");
      questions_.asked.clear();
      if (manual && c.message) questions_.Expect(ScriptedQuestions::kMessage, kButtonOK);
      size_t from = bed_.Log().size();

      Check(manual);

      for (const std::string& line : c.lines) EXPECT_TRUE(Logged(from, line)) << line;
      if (manual && c.message && questions_.asked.size() == 1) {
        EXPECT_EQ(questions_.asked[0].text,
                  "We were unable to connect to the server to check the version; please try "
                  "again later.");
        EXPECT_EQ(questions_.asked[0].buttons, (std::vector<int>{kButtonOK, 0, 0}));
      }
      EXPECT_TRUE(questions_.answers.empty());
      questions_.answers.clear();
    }
  }
}

TEST_F(VersionCheckTest, ABetaChannelOfTheWrongShapeIsLoggedAndPassedOver) {
  Json::Value document = Document("1.3.5", "1.3");
  document["channels"] = "beta";
  service_.SetVersionDocument(document);
  bed_.settings.SetBool("checkbetachannel", true, true);
  questions_.Expect(ScriptedQuestions::kMessage, kButtonOK);
  size_t from = bed_.Log().size();
  Check(true);
  EXPECT_TRUE(Logged(from, "The version file's beta channel is not usable: \"beta\""));
  ASSERT_EQ(questions_.asked.size(), 1u);
  EXPECT_EQ(questions_.asked[0].text, kLatestVersionText);
}

// A 503 from the download host backs the whole sync off, as from any host.
TEST_F(VersionCheckTest, A503BacksOffTheSync) {
  service_.QueueFault("/clients/version/ie.json",
                      testing::FakeFault::Reply(200, R"({"status":503,"backoff_delay":60})"));
  Check(true);
  EXPECT_EQ(bed_.settings.GetInt64("backoffuntil", 0), bed_.clock.Now() + 60);
}

// The offer over the foundation's message box: the question's texts, the
// automatic-check box, and what each button opens.
class UpdateOfferTest : public testing::SyncFixture {
 protected:
  void Offer(const std::string& binary = kBinary, const std::string& page = kPage) {
    PromptSyncQuestions questions(prompt_, opener_, settings_, logger_);
    questions.ShowUpdateAvailable("1.4", binary, page);
  }
  testing::RecordingOpener opener_;
};

TEST_F(UpdateOfferTest, ButtonsOpenTheirPagesAndTheBoxSetsTheAutomaticCheck) {
  struct Case {
    bool skipBefore;
    int button;
    bool boxAfter;
    std::vector<std::string> opened;
  } cases[] = {
      {false, kButtonDownload, true, {kBinary}},
      {false, kButtonLearnMore, true, {kPage}},
      {false, kButtonIgnore, false, {}},
      {true, kButtonIgnore, true, {}},
  };
  for (const Case& c : cases) {
    settings_.SetBool("skipversioncheck", c.skipBefore, true);
    prompt_.asked.clear();
    opener_.opened.clear();
    prompt_.Script(c.button, c.boxAfter);
    Offer();
    ASSERT_EQ(prompt_.asked.size(), 1u);
    const auto& question = prompt_.asked[0];
    EXPECT_EQ(question.text,
              "A newer version of Tarvex (version 1.4) is available!  Would you like to download "
              "and install this update now?");
    EXPECT_EQ(std::vector<int>(question.buttons, question.buttons + 3),
              (std::vector<int>{kButtonDownload, kButtonLearnMore, kButtonIgnore}));
    EXPECT_EQ(question.checkboxText, "Automatically check for updates");
    EXPECT_EQ(question.checkedShown, !c.skipBefore);
    EXPECT_EQ(opener_.opened, c.opened);
    EXPECT_EQ(settings_.GetBool("skipversioncheck", false), !c.boxAfter);
  }
}

TEST_F(UpdateOfferTest, OnlyWebPagesAreOpened) {
  prompt_.Script(kButtonDownload);
  Offer("file:///C:/Windows/system32/cmd.exe");
  EXPECT_TRUE(opener_.opened.empty());
  ASSERT_EQ(prompt_.asked.size(), 2u);
  EXPECT_EQ(prompt_.asked[1].text,
            "We were unable to open your browser to show you this page: "
            "file:///C:/Windows/system32/cmd.exe");
}

// A message box that cannot ask answers with the first button: never the
// one that replaces the user's bookmarks.
TEST_F(UpdateOfferTest, AnUnansweredYesNoQuestionIsNo) {
  PromptSyncQuestions questions(prompt_, opener_, settings_, logger_);
  EXPECT_FALSE(questions.AskYesNo("Replace your local Favorites?", "Tarvex"));
  prompt_.Script(kButtonYes);
  EXPECT_TRUE(questions.AskYesNo("Replace your local Favorites?", "Tarvex"));
  ASSERT_EQ(prompt_.asked.size(), 2u);
  EXPECT_EQ(prompt_.asked[0].text, "Tarvex\n\nReplace your local Favorites?");
}

}  // namespace
}  // namespace tarvex
