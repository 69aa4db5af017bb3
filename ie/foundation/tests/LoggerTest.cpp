#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "ie/foundation/Logger.h"
#include "platform/Win32Error.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using testing::ReadAll;

constexpr int64_t kWedDec9 = 1796858716;  // Wed Dec 09 23:25:16 2026 UTC
constexpr const char* kStartLine = "-------- New Tarvex Favorites Sync instance started --------";

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadAll(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class LoggerTest : public ::testing::Test {
 protected:
  std::string LogPath() { return dir_ / "user/tarvex.log"; }
  testing::TempDir dir_;
  FakeClock clock_{kWedDec9};
};

TEST_F(LoggerTest, LineIsTimeColonTextWithZeroPaddedDay) {
  Logger log(LogPath(), FileSystem::Native(), clock_);  // also makes the missing folder
  log.Log("hello");
  clock_.Advance(1);
  log.ErrorW(u"caf\u00e9 \U0001F600");
  std::vector<std::string> lines = Lines(LogPath());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::string("Wed Dec 09 23:25:16 2026: ") + kStartLine);
  EXPECT_EQ(lines[1], "Wed Dec 09 23:25:16 2026: hello");
  EXPECT_EQ(lines[2], "Wed Dec 09 23:25:17 2026: caf\u00e9 \U0001F600");
}

TEST_F(LoggerTest, LevelDecidesWhatIsWritten) {
  Logger log(LogPath(), FileSystem::Native(), clock_);
  // level -> written by Log, LogW, Error, ErrorW
  struct Case {
    int level;
    bool info;
    bool error;
  } cases[] = {{0, false, false}, {1, false, true}, {2, true, true}, {3, true, true}};
  for (const Case& c : cases) {
    log.level = c.level;
    std::string tag = std::to_string(c.level);
    log.Log("log" + tag);
    log.LogW(u"logw" + Utf8ToUtf16(tag));
    log.Error("error" + tag);
    log.ErrorW(u"errorw" + Utf8ToUtf16(tag));
    std::string all = ReadAll(LogPath());
    EXPECT_EQ(all.find(": log" + tag + "\n") != std::string::npos, c.info) << tag;
    EXPECT_EQ(all.find(": logw" + tag + "\n") != std::string::npos, c.info) << tag;
    EXPECT_EQ(all.find(": error" + tag + "\n") != std::string::npos, c.error) << tag;
    EXPECT_EQ(all.find(": errorw" + tag + "\n") != std::string::npos, c.error) << tag;
  }
}

TEST_F(LoggerTest, LargeLogIsEmptiedAtTheFirstLine) {
  struct Case {
    uint64_t size;
    bool cut;
  } cases[] = {{20'000'001, true}, {20'000'000, false}, {5'000'000'000ull, true}};
  for (const Case& c : cases) {
    std::string path = dir_ / ("big" + std::to_string(c.size) + ".log");
    { std::ofstream(path) << "old"; }
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(c.size)), 0);  // sparse
    Logger log(path, FileSystem::Native(), clock_);
    std::vector<std::string> lines;
    if (c.cut) {
      lines = Lines(path);
      ASSERT_EQ(lines.size(), 2u) << c.size;
      EXPECT_EQ(lines[0], "Wed Dec 09 23:25:16 2026: -------- Truncated large log file --------");
      EXPECT_EQ(lines[1], std::string("Wed Dec 09 23:25:16 2026: ") + kStartLine);
    } else {
      std::ifstream in(path, std::ios::binary | std::ios::ate);
      EXPECT_GT(static_cast<uint64_t>(in.tellg()), c.size);  // appended, not cut
    }
  }
}

// What the logger writes itself counts at once: a log never grows past its
// limit by more than one line, however many lines come within the hour.
TEST_F(LoggerTest, ItsOwnLinesNeverTakeTheLogPastItsLimit) {
  Logger log(LogPath(), FileSystem::Native(), clock_);
  log.maxBytes = 2000;
  const std::string text(60, 'x');
  int cuts = 0;
  for (int n = 0; n < 200; ++n) {
    log.Log(text);
    std::ifstream in(LogPath(), std::ios::binary | std::ios::ate);
    ASSERT_LE(static_cast<uint64_t>(in.tellg()), 2000u + 2 * (26 + text.size() + 1)) << n;
  }
  for (const std::string& line : Lines(LogPath()))
    if (line.find("Truncated large log file") != std::string::npos) ++cuts;
  EXPECT_EQ(cuts, 1) << "the last cut leads the file";
  EXPECT_EQ(Lines(LogPath()).back(), std::string("Wed Dec 09 23:25:16 2026: ") + text);
}

TEST_F(LoggerTest, GrowthIsCutOnlyAtTheNextHourlyCheck) {
  Logger log(LogPath(), FileSystem::Native(), clock_);
  ASSERT_EQ(truncate(LogPath().c_str(), 20'000'001), 0);
  clock_.Advance(3600);  // not more than an hour since the first check
  log.Log("still appended");
  std::ifstream in(LogPath(), std::ios::binary | std::ios::ate);
  EXPECT_GT(static_cast<uint64_t>(in.tellg()), 20'000'001u);
  clock_.Advance(1);
  log.Log("after the check");
  std::vector<std::string> lines = Lines(LogPath());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("Truncated large log file"), std::string::npos);
  EXPECT_NE(lines[1].find("after the check"), std::string::npos);
}

TEST_F(LoggerTest, RemovedLogIsStartedAgainAtTheNextCheck) {
  Logger log(LogPath(), FileSystem::Native(), clock_);
  ASSERT_EQ(unlink(LogPath().c_str()), 0);
  clock_.Advance(3601);
  log.Log("back");
  std::vector<std::string> lines = Lines(LogPath());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("back"), std::string::npos);
}

TEST_F(LoggerTest, LinesAfterCloseOrShutdownAreDropped) {
  {
    Logger log(LogPath(), FileSystem::Native(), clock_);
    log.TryClose();
    log.Error("dropped after close");
    clock_.Advance(7200);  // even when a size check is due
    log.Error("dropped after close 2");
  }
  std::string afterClose = ReadAll(LogPath());
  EXPECT_EQ(afterClose.find("dropped"), std::string::npos);
  {
    Logger log(LogPath(), FileSystem::Native(), clock_);
    log.Shutdown();
    log.Open(false);  // nothing opens it again
    log.Error("dropped after shutdown");
  }
  std::vector<std::string> lines = Lines(LogPath());
  EXPECT_NE(lines.back().find("shutting down; turning off logging"), std::string::npos);
  EXPECT_EQ(ReadAll(LogPath()).find("dropped"), std::string::npos);
}

TEST_F(LoggerTest, ClearEmptiesTheFileWritesItsLineAndLoggingGoesOn) {
  constexpr const char* kCleared =
      "Wed Dec 09 23:25:16 2026: -------- Tarvex Favorites Sync: log file cleared --------";
  FaultyFileSystem fs(FileSystem::Native());
  Logger log(LogPath(), fs, clock_);
  log.Log("before");
  EXPECT_TRUE(log.Clear());
  log.Log("after");
  EXPECT_EQ(Lines(LogPath()),
            (std::vector<std::string>{kCleared, "Wed Dec 09 23:25:16 2026: after"}));

  // Cleared while closed: opened again, emptied.
  log.Close();
  EXPECT_TRUE(log.Clear());
  EXPECT_EQ(Lines(LogPath()), std::vector<std::string>{kCleared});

  // A file that cannot be emptied keeps what it held and takes the next lines.
  log.Log("kept");
  fs.FailNth(FaultyFileSystem::Op::Open, 1, win32::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(log.Clear());
  log.Log("still logging");
  EXPECT_EQ(Lines(LogPath()),
            (std::vector<std::string>{kCleared, "Wed Dec 09 23:25:16 2026: kept",
                                      "Wed Dec 09 23:25:16 2026: still logging"}));

  // Nothing after the shutdown, not even an emptied file.
  log.Shutdown();
  const std::string last = ReadAll(LogPath());
  EXPECT_FALSE(log.Clear());
  EXPECT_EQ(ReadAll(LogPath()), last);
}

TEST_F(LoggerTest, UnopenableLogDropsLinesWithoutFailing) {
  { std::ofstream(dir_ / "file") << "x"; }
  Logger log(dir_ / "file/tarvex.log", FileSystem::Native(), clock_);
  log.Error("nowhere to go");
  Logger noPath("", FileSystem::Native(), clock_);
  noPath.Error("nowhere either");
  SUCCEED();
}

TEST_F(LoggerTest, ThreadsWriteWholeLines) {
  Logger log(LogPath(), FileSystem::Native(), clock_);
  const std::string payload(200, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) log.Log(std::to_string(t) + payload);
    });
  for (auto& th : threads) th.join();
  std::vector<std::string> lines = Lines(LogPath());
  ASSERT_EQ(lines.size(), 801u);
  for (size_t i = 1; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].size(), std::string("Wed Dec 09 23:25:16 2026: 0").size() + 200) << i;
}

// A file system whose log writes wait until the test lets them go.
class BlockingFileSystem : public FaultyFileSystem {
 public:
  BlockingFileSystem() : FaultyFileSystem(FileSystem::Native()) {}
  uint32_t OpenForAppend(const std::string& path, bool truncate,
                         std::unique_ptr<WritableFile>* out) override {
    std::unique_ptr<WritableFile> inner;
    uint32_t rc = FaultyFileSystem::OpenForAppend(path, truncate, &inner);
    if (rc == 0) *out = std::make_unique<Gate>(*this, std::move(inner));
    return rc;
  }
  struct Gate : WritableFile {
    Gate(BlockingFileSystem& fs, std::unique_ptr<WritableFile> inner)
        : fs(fs), inner(std::move(inner)) {}
    uint32_t Write(std::string_view data) override {
      std::unique_lock<std::mutex> lock(fs.mutex);
      if (fs.block) {
        fs.blocked = true;
        fs.cv.notify_all();
        fs.cv.wait(lock, [&] { return !fs.block; });
      }
      return inner->Write(data);
    }
    uint32_t Flush() override { return inner->Flush(); }
    uint32_t Close() override { return inner->Close(); }
    BlockingFileSystem& fs;
    std::unique_ptr<WritableFile> inner;
  };
  std::mutex mutex;
  std::condition_variable cv;
  bool block = false;
  bool blocked = false;
};

TEST_F(LoggerTest, CrashPathDoesNotWaitForAWriterThatHoldsTheLock) {
  BlockingFileSystem fs;
  Logger log(LogPath(), fs, clock_);
  {
    std::lock_guard<std::mutex> lock(fs.mutex);
    fs.block = true;
  }
  std::thread writer([&] { log.Error("in the middle of a write"); });
  {
    std::unique_lock<std::mutex> lock(fs.mutex);
    fs.cv.wait(lock, [&] { return fs.blocked; });
  }
  EXPECT_FALSE(log.TryClose());  // returns at once instead of hanging
  {
    std::lock_guard<std::mutex> lock(fs.mutex);
    fs.block = false;
  }
  fs.cv.notify_all();
  writer.join();
  EXPECT_TRUE(log.TryClose());
  EXPECT_NE(ReadAll(LogPath()).find("in the middle of a write"), std::string::npos);
}

}  // namespace
}  // namespace tarvex
