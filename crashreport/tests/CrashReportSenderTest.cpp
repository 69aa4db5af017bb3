// The crash report sender against the loopback service: what the form
// carries, the daily limit and its checkpoint, and how answers count.
#include <gtest/gtest.h>

#include <string>

#include "crashreport/CrashReportSender.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"
#include "platform/http/HttpTransport.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using Result = CrashReportSender::Result;
using testing::FakeFault;

// The smallest ZIP archive: an end record and no entries.
const std::string kEmptyZip = std::string("PK\x05\x06", 4) + std::string(18, '\0');

class CrashReportSenderTest : public ::testing::Test {
 protected:
  CrashReportSenderTest() {
    testing::WriteAll(archive_, kEmptyZip);
    options_.totalTimeoutMs = 10'000;
  }
  CrashReportSender Sender(int limit = 500) {
    CrashReportSender sender(checkpoint_, transport_, clock_, FileSystem::Native());
    sender.set_max_reports_per_day(limit);
    return sender;
  }
  Result Send(CrashReportSender& sender, const std::string& guid = "1234abcd-5678") {
    return sender.SendCrashReport(url_, {{"GUID", guid}}, archive_, &error_);
  }

  testing::TempDir dir_;
  testing::FakeSyncService service_;
  // The collector's host under the server root "localhost:PORT": libcurl
  // takes every "*.localhost" name for this computer.
  std::string url_ =
      "http://crashes.localhost:" + std::to_string(service_.Port()) + "/breakpad/ie/upload";
  std::string archive_ = dir_ / "1234abcd-5678.zip";
  std::string checkpoint_ = dir_ / "checkpoint.fxp";
  FakeClock clock_{1'765'000'000};  // Sat Dec  6 05:46:40 2025 UTC
  CurlOptions options_;
  CurlTransport transport_{options_};
  std::string error_;
};

TEST_F(CrashReportSenderTest, TheFormCarriesTheFieldsAndTheFileAsTheyAre) {
  CrashReportSender sender = Sender();
  ASSERT_EQ(Send(sender), Result::Succeeded) << error_;
  ASSERT_EQ(service_.CrashReports().size(), 1u);
  const testing::ReceivedCrashReport got = service_.CrashReports()[0];
  EXPECT_EQ(got.guid, "1234abcd-5678");
  EXPECT_EQ(got.fileName, "1234abcd-5678.zip");
  EXPECT_EQ(got.archive, kEmptyZip);
  EXPECT_EQ(got.host, "crashes.localhost:" + std::to_string(service_.Port()));

  // Bytes that look like the form's own lines reach the service unchanged
  // (it refuses them as no archive, which does not count).
  std::string hostile = "\r\n--TarvexCrashReport\r\n\r\n--\r\nContent-Type: x\r\n";
  for (int i = 0; i < 256; ++i) hostile += static_cast<char>(i);
  testing::WriteAll(archive_, hostile);
  EXPECT_EQ(Send(sender, "id \"with\"\r\nquotes"), Result::Rejected);
  ASSERT_EQ(service_.CrashReports().size(), 2u);
  EXPECT_EQ(service_.CrashReports()[1].archive, hostile);
  EXPECT_EQ(service_.CrashReports()[1].guid, "id \"with\"\r\nquotes");
  EXPECT_EQ(sender.SentToday(), 1);
}

TEST_F(CrashReportSenderTest, TheDailyLimitHoldsAcrossSendersAndEndsWithTheDay) {
  {
    CrashReportSender sender = Sender(2);
    EXPECT_EQ(Send(sender), Result::Succeeded) << error_;
    EXPECT_EQ(Send(sender), Result::Succeeded) << error_;
    EXPECT_EQ(Send(sender), Result::Throttled);
  }
  EXPECT_EQ(service_.CrashReports().size(), 2u) << "a throttled report makes no request";
  EXPECT_EQ(testing::ReadAll(checkpoint_), "2025-12-06 2\n");

  CrashReportSender next = Sender(2);
  EXPECT_EQ(Send(next), Result::Throttled) << "the count is kept in the checkpoint";
  clock_.Advance(24 * 3600);
  EXPECT_EQ(next.SentToday(), 0);
  EXPECT_EQ(Send(next), Result::Succeeded) << error_;
  EXPECT_EQ(testing::ReadAll(checkpoint_), "2025-12-07 1\n");

  // A checkpoint that is not ours counts as nothing sent today.
  for (const char* damaged : {"", "garbage", "2025-12-07 -5\n", "2025-12-07\n"}) {
    testing::WriteAll(checkpoint_, damaged);
    EXPECT_EQ(next.SentToday(), 0) << damaged;
  }
}

TEST_F(CrashReportSenderTest, OnlyTheCollectorsAcceptanceCounts) {
  struct Case {
    FakeFault fault;
    Result expected;
  };
  const Case cases[] = {
      {FakeFault::Reply(500, "oops"), Result::Failed},
      {FakeFault::Reply(503, ""), Result::Failed},
      {FakeFault::Reply(302, ""), Result::Failed},
      {FakeFault::Reply(400, "bad"), Result::Rejected},
      {FakeFault::Reply(413, "too large"), Result::Rejected},
      {FakeFault::Drop(), Result::Failed},
  };
  CrashReportSender sender = Sender();
  for (const Case& c : cases) {
    service_.QueueFault("/breakpad/ie/upload", c.fault);
    EXPECT_EQ(Send(sender), c.expected) << c.fault.httpStatus;
    EXPECT_EQ(sender.SentToday(), 0) << c.fault.httpStatus;
  }
  EXPECT_FALSE(FileSystem::Native().Exists(checkpoint_));

  // A report that cannot be read is not sent.
  EXPECT_EQ(sender.SendCrashReport(url_, {{"GUID", "x"}}, dir_ / "missing.zip", &error_),
            Result::Failed);
  EXPECT_NE(error_.find("missing.zip"), std::string::npos) << error_;
}

TEST_F(CrashReportSenderTest, ACollectorThatNeverAnswersFailsWithinTheTimeOut) {
  options_.totalTimeoutMs = 300;
  CurlTransport impatient(options_);
  CrashReportSender sender(checkpoint_, impatient, clock_, FileSystem::Native());
  sender.set_max_reports_per_day(500);
  service_.QueueFault("/breakpad/ie/upload", FakeFault::Late(60'000));
  EXPECT_EQ(Send(sender), Result::Failed);
  EXPECT_NE(error_.find("no answer"), std::string::npos) << error_;
  EXPECT_EQ(sender.SentToday(), 0);
}

}  // namespace
}  // namespace tarvex
