// The ZIP writer: archives made through every target and source, checked
// field by field by the structure checker beside this file, by `unzip -t`
// and by python's zipfile; the result codes of what can go wrong.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crashreport/zip/Crc32.h"
#include "crashreport/zip/ZipArchive.h"
#include "crashreport/zip/testing/Corpus.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;

struct Run {
  int status = -1;
  std::string output;
};

Run Command(const std::string& command) {
  Run r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// The checker's lines for the archive (the test fails when it finds a fault).
std::vector<std::string> Check(const fs::path& archive, uint64_t start = 0) {
  Run r = Command(std::string("python3 ") + TARVEX_ZIP_CHECKER + " '" + archive.string() + "' " +
                  std::to_string(start));
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<std::string> lines;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void ExpectUnzipAccepts(const fs::path& archive) {
  Run r = Command("unzip -tq '" + archive.string() + "'");
  EXPECT_EQ(r.status, 0) << r.output;
}

// A pipe whose reading end a thread drains into `received`.
class PipeCapture {
 public:
  PipeCapture() {
    EXPECT_EQ(pipe(fds_), 0);
    reader_ = std::thread([this] {
      uint8_t buf[8192];
      ssize_t n;
      while ((n = read(fds_[0], buf, sizeof buf)) > 0) received.insert(received.end(), buf, buf + n);
    });
  }
  ~PipeCapture() { End(); }
  int fd() const { return fds_[1]; }
  // Closes the writing end and waits for the reader: `received` is whole.
  void End() {
    if (fds_[1] < 0) return;
    close(fds_[1]);
    fds_[1] = -1;
    reader_.join();
    close(fds_[0]);
  }
  Bytes received;

 private:
  int fds_[2] = {-1, -1};
  std::thread reader_;
};

class ZipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tarvex-zip-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path File(const std::string& name, const Bytes& content) {
    fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    return p;
  }
  fs::path WriteOut(const Bytes& archive, const std::string& name = "out.zip") {
    return File(name, archive);
  }
  static Bytes Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
};

std::string Hex8(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%08x", v);
  return b;
}

// ---- What each kind of entry becomes -------------------------------------------

TEST_F(ZipTest, EntriesGetTheirMethodFlagsNamesAndAttributes) {
  const Bytes text = testing::LogText(3, 40000);
  enum Kind { kFile, kReadOnlyFile, kMemory, kFolder };
  struct Case {
    std::string given;
    Kind kind;
    Bytes content;
    std::string name;
    int method;
    int flags;
    uint32_t attributes;
  };
  const Case cases[] = {
      {"log.txt", kFile, text, "log.txt", 8, 0, 0x81800000},
      {"a\\b.txt", kFile, text, "a/b.txt", 8, 0, 0x81800000},
      {"locked.txt", kReadOnlyFile, text, "locked.txt", 8, 0, 0x81000001},
      {"report.ZIP", kFile, text, "report.ZIP", 0, 0, 0x81800000},
      {"a.tgz", kMemory, text, "a.tgz", 0, 0, 0x80000000},
      {"x.Gz", kMemory, text, "x.Gz", 0, 0, 0x80000000},
      {"archive.zip.txt", kMemory, text, "archive.zip.txt", 8, 0, 0x80000000},
      {"noextension", kMemory, text, "noextension", 8, 0, 0x80000000},
      {"empty.txt", kFile, {}, "empty.txt", 0, 0, 0x81800000},
      {"empty block", kMemory, {}, "empty block", 0, 0, 0x80000000},
      {"docs", kFolder, {}, "docs/", 0, 0, 0x41C00010},
      {"docs\\inner\\", kFolder, {}, "docs/inner/", 0, 0, 0x41C00010},
      {"caf\xc3\xa9.txt", kMemory, {'x'}, "caf\xc3\xa9.txt", 8, 0x800, 0x80000000},
  };
  const fs::path archive = dir_ / "entries.zip";
  ZipHandle* zip = CreateZip(archive.string());
  ASSERT_NE(zip, nullptr) << LastZipResult();
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    uint32_t rc = 0;
    if (c.kind == kFile || c.kind == kReadOnlyFile) {
      fs::path p = File("source" + std::to_string(n++), c.content);
      if (c.kind == kReadOnlyFile) chmod(p.c_str(), 0400);
      rc = ZipAdd(zip, c.given, p.string());
    } else if (c.kind == kMemory) {
      rc = ZipAddMemory(zip, c.given, c.content.data(), c.content.size());
    } else {
      rc = ZipAddFolder(zip, c.given);
    }
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(LastZipResult(), 0u);
  }
  ASSERT_EQ(CloseZip(zip), 0u);
  EXPECT_FALSE(fs::exists(archive.string() + ".tmp"));

  std::vector<std::string> lines = Check(archive);
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < lines.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.given);
    std::istringstream in(lines[i]);
    std::string name, crc, attributes;
    int method, flags;
    uint64_t compressed, size;
    // Names with a space are read in two parts.
    in >> name;
    if (c.name.find(' ') != std::string::npos) {
      std::string rest;
      in >> rest;
      name += " " + rest;
    }
    in >> method >> flags >> crc >> compressed >> size >> attributes;
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(method, c.method);
    EXPECT_EQ(flags, c.flags);
    EXPECT_EQ(attributes, Hex8(c.attributes));
    EXPECT_EQ(size, c.content.size());
    EXPECT_EQ(crc, Hex8(Crc32(0, c.content.data(), c.content.size())));
    if (c.method == 8) {
      EXPECT_LT(compressed, size / 2 + 16);
    }
  }
  ExpectUnzipAccepts(archive);
}

TEST_F(ZipTest, EmptyArchiveIsItsEndRecord) {
  uint8_t buffer[64];
  ZipHandle* zip = CreateZipInMemory(buffer, sizeof buffer);
  ASSERT_NE(zip, nullptr);
  uint64_t length = 0;
  ASSERT_EQ(CloseZip(zip, &length), 0u);
  ASSERT_EQ(length, 22u);
  const Bytes expected = {0x50, 0x4b, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(buffer, buffer + 22), expected);
  Check(WriteOut(expected));
}

// ---- Targets ------------------------------------------------------------------

// An archive written down a pipe, read by a thread: headers cannot be
// rewritten, so sizes follow each entry's data in a descriptor.
TEST_F(ZipTest, PipeTargetWritesDescriptors) {
  PipeCapture pipeTarget;
  ZipHandle* zip = CreateZipOnDescriptor(pipeTarget.fd());
  ASSERT_NE(zip, nullptr);
  const Bytes dump = testing::DumpLike(4, 100000);
  EXPECT_EQ(ZipAddMemory(zip, "dump.dmp", dump.data(), dump.size()), 0u);
  EXPECT_EQ(ZipAdd(zip, "log.txt", File("log", testing::LogText(1, 5000)).string()), 0u);
  // A descriptor of unknown length that holds nothing: an empty Deflate stream.
  int empty[2];
  ASSERT_EQ(pipe(empty), 0);
  close(empty[1]);
  EXPECT_EQ(ZipAddDescriptor(zip, "nothing", empty[0]), 0u);
  close(empty[0]);
  EXPECT_EQ(ZipAddFolder(zip, "dir"), 0u);
  EXPECT_EQ(CloseZip(zip), 0u);
  pipeTarget.End();
  const fs::path archive = WriteOut(pipeTarget.received);
  std::vector<std::string> lines = Check(archive);
  ASSERT_EQ(lines.size(), 4u);
  for (const std::string& line : lines) {
    EXPECT_EQ(line.substr(line.size() - 2), " 1") << line;  // a descriptor each
    EXPECT_NE(line.find(" 8 "), std::string::npos) << line;  // flag bit 3
  }
  EXPECT_EQ(lines[2].substr(0, 22), "nothing 8 8 00000000 2");
  ExpectUnzipAccepts(archive);
}

TEST_F(ZipTest, DescriptorTargetStartingMidFileKeepsFileOffsets) {
  const fs::path path = dir_ / "prefixed.zip";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  const std::string prefix(100, '#');
  ASSERT_EQ(write(fd, prefix.data(), prefix.size()), 100);
  ZipHandle* zip = CreateZipOnDescriptor(fd);
  const Bytes text = testing::LogText(9, 3000);
  EXPECT_EQ(ZipAddMemory(zip, "one.txt", text.data(), text.size()), 0u);
  EXPECT_EQ(ZipAddMemory(zip, "two.txt", text.data(), 10), 0u);
  uint64_t length = 0;
  EXPECT_EQ(CloseZip(zip, &length), 0u);
  close(fd);
  EXPECT_EQ(fs::file_size(path), 100 + length);
  for (const std::string& line : Check(path, 100)) EXPECT_EQ(line.back(), '0') << line;
  ExpectUnzipAccepts(path);
}

TEST_F(ZipTest, ArchiveByNameReplacesTheFileAndNotWhatALinkPointsTo) {
  const fs::path victim = File("victim", {'k', 'e', 'e', 'p'});
  const fs::path archive = dir_ / "report.zip";
  fs::create_symlink(victim, archive);
  ZipHandle* zip = CreateZip(archive.string());
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(ZipAddMemory(zip, "a", "abc", 3), 0u);
  EXPECT_EQ(CloseZip(zip), 0u);
  EXPECT_FALSE(fs::is_symlink(archive));
  EXPECT_EQ(Read(victim), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(fs::status(archive).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  Check(archive);
  ExpectUnzipAccepts(archive);
  // Nothing else is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

// ---- Result codes -------------------------------------------------------------

TEST_F(ZipTest, RefusesWhatItCannotDo) {
  EXPECT_EQ(CreateZip((dir_ / "missing" / "a.zip").string()), nullptr);
  EXPECT_EQ(LastZipResult(), kZipOpenFailed);
  EXPECT_EQ(CreateZip((dir_ / "a.zip").string(), "secret"), nullptr);
  EXPECT_EQ(LastZipResult(), kZipBadArguments);
  EXPECT_FALSE(fs::exists(dir_ / "a.zip"));
  uint8_t tiny[40];
  EXPECT_EQ(CreateZipInMemory(tiny, 0), nullptr);
  EXPECT_EQ(LastZipResult(), kZipMemoryFull);
  EXPECT_EQ(CreateZipOnDescriptor(-1), nullptr);
  EXPECT_EQ(LastZipResult(), kZipBadArguments);

  EXPECT_EQ(ZipAddMemory(nullptr, "a", "x", 1), kZipBadArguments);
  int notAHandle = 0;
  EXPECT_EQ(ZipAddMemory(reinterpret_cast<ZipHandle*>(&notAHandle), "a", "x", 1),
            kZipNotAnArchive);
  EXPECT_EQ(CloseZip(reinterpret_cast<ZipHandle*>(&notAHandle)), kZipNotAnArchive);
  EXPECT_EQ(LastZipResult(), kZipNotAnArchive);

  std::vector<uint8_t> buffer(4096);
  ZipHandle* zip = CreateZipInMemory(buffer.data(), buffer.size());
  ASSERT_NE(zip, nullptr);
  const std::string longest(kZipMaxNameBytes, 'n');
  for (const std::string& bad : {std::string(), std::string("/etc/passwd"), std::string("a/../b"),
                                 std::string(".."), std::string("\\abs"), longest + "n"}) {
    EXPECT_EQ(ZipAddMemory(zip, bad, "x", 1), kZipBadArguments) << bad;
    EXPECT_EQ(LastZipResult(), kZipBadArguments);
  }
  EXPECT_EQ(ZipAdd(zip, "gone", (dir_ / "no such file").string()), kZipOpenFailed);
  EXPECT_EQ(ZipAdd(zip, "folder", dir_.string()), kZipOpenFailed);
  EXPECT_EQ(ZipAddMemory(zip, longest, "x", 1), 0u);
  EXPECT_EQ(ZipAddMemory(zip, "a..b/c..", "x", 1), 0u);
  uint64_t length = 0;
  EXPECT_EQ(CloseZip(zip, &length), 0u);
  EXPECT_EQ(ZipAddMemory(zip, "late", "x", 1), kZipClosed);
  EXPECT_EQ(CloseZip(zip), kZipClosed);
  std::vector<std::string> lines = Check(WriteOut(Bytes(buffer.begin(), buffer.begin() + length)));
  ASSERT_EQ(lines.size(), 2u);

  // Too small a buffer: the entry fails, and so does every later one.
  zip = CreateZipInMemory(tiny, sizeof tiny);
  EXPECT_EQ(ZipAddMemory(zip, "a", "x", 1), kZipMemoryFull);
  EXPECT_EQ(ZipAddMemory(zip, "b", "x", 1), kZipFailedBefore);
  EXPECT_EQ(CloseZip(zip, &length), kZipFailedBefore);
  EXPECT_EQ(length, 22u);  // the directory of what was recorded: nothing
}

TEST_F(ZipTest, FullDiskFailsTheEntryAndTheArchive) {
  const int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "no /dev/full";
  ZipHandle* zip = CreateZipOnDescriptor(fd);
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(ZipAddMemory(zip, "a", "abc", 3), kZipWriteFailed);
  EXPECT_EQ(ZipAddMemory(zip, "b", "abc", 3), kZipFailedBefore);
  EXPECT_EQ(CloseZip(zip), kZipWriteFailed);
  close(fd);
}

// A descriptor source shorter than declared, on a file and on a pipe.
TEST_F(ZipTest, ShortSourceLeavesNoBytesBehind) {
  const fs::path source = File("short", testing::LogText(2, 1000));
  const fs::path path = dir_ / "short.zip";
  ZipHandle* zip = CreateZip(path.string());
  EXPECT_EQ(ZipAddMemory(zip, "first", "abc", 3), 0u);
  int fd = open(source.c_str(), O_RDONLY);
  EXPECT_EQ(ZipAddDescriptor(zip, "declared longer", fd, 5000), kZipLengthMismatch);
  close(fd);
  fd = open(source.c_str(), O_RDONLY);
  EXPECT_EQ(ZipAddDescriptor(zip, "declared exactly", fd, 1000), 0u);
  close(fd);
  EXPECT_EQ(CloseZip(zip), 0u);
  const std::vector<std::string> lines = Check(path);  // entries follow each other
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].substr(0, 8), "declared");
  ExpectUnzipAccepts(path);

  // Down a pipe the bytes are gone: the archive fails.
  PipeCapture pipeTarget;
  zip = CreateZipOnDescriptor(pipeTarget.fd());
  fd = open(source.c_str(), O_RDONLY);
  EXPECT_EQ(ZipAddDescriptor(zip, "declared longer", fd, 5000), kZipLengthMismatch);
  close(fd);
  EXPECT_EQ(ZipAddMemory(zip, "next", "x", 1), kZipFailedBefore);
  EXPECT_EQ(CloseZip(zip), kZipFailedBefore);
}

TEST_F(ZipTest, RefusesTheEntryPastTheFormatsCount) {
  std::vector<uint8_t> buffer(65535 * 120 + 4096);
  ZipHandle* zip = CreateZipInMemory(buffer.data(), buffer.size());
  for (int i = 0; i < 65535; ++i)
    ASSERT_EQ(ZipAddMemory(zip, "e" + std::to_string(i), nullptr, 0), 0u) << i;
  EXPECT_EQ(ZipAddMemory(zip, "one too many", nullptr, 0), kZipBadArguments);
  uint64_t length = 0;
  EXPECT_EQ(CloseZip(zip, &length), 0u);
  EXPECT_EQ(Check(WriteOut(Bytes(buffer.begin(), buffer.begin() + length))).size(), 65535u);
}

TEST_F(ZipTest, LastResultIsEachThreadsOwn) {
  EXPECT_EQ(ZipAddMemory(nullptr, "a", "x", 1), kZipBadArguments);
  uint32_t other = 1;
  std::thread([&] {
    uint8_t b[64];
    CloseZip(CreateZipInMemory(b, sizeof b));
    other = LastZipResult();
  }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(LastZipResult(), kZipBadArguments);
}

// ---- Times --------------------------------------------------------------------

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_;
  std::string old_;
};

TEST_F(ZipTest, DosFieldsAreLocalTimeAndExtraFieldsUnixSeconds) {
  ScopedTimeZone tz("XST-5");  // five hours east of UTC, no summer time
  struct Case {
    int64_t mtime;
    const char* dosTime;
    const char* dosDate;
  };
  const Case cases[] = {
      // 2026-12-06 17:52:13 UTC is 22:52:12 (seconds halved) local.
      {1796579533, "b686", "5d86"},
      // 1970: before DOS time, clamped to 1980-01-01 00:00.
      {3600, "0000", "0021"},
  };
  const fs::path path = dir_ / "times.zip";
  ZipHandle* zip = CreateZip(path.string());
  for (const Case& c : cases) {
    fs::path source = File("t" + std::to_string(c.mtime), {'x'});
    struct timeval tv[2] = {{c.mtime - 7, 0}, {c.mtime, 0}};
    ASSERT_EQ(utimes(source.c_str(), tv), 0);
    EXPECT_EQ(ZipAdd(zip, source.filename().string(), source.string()), 0u);
  }
  const int64_t before = std::time(nullptr);
  EXPECT_EQ(ZipAddMemory(zip, "now", "x", 1), 0u);
  const int64_t after = std::time(nullptr);
  ASSERT_EQ(CloseZip(zip), 0u);
  const std::vector<std::string> lines = Check(path);
  ASSERT_EQ(lines.size(), 3u);
  for (size_t i = 0; i < 2; ++i) {
    std::istringstream in(lines[i]);
    std::string name, crc, attributes, time, date;
    int method, flags;
    uint64_t compressed, size;
    int64_t mtime, atime;
    in >> name >> method >> flags >> crc >> compressed >> size >> attributes >> time >> date >>
        mtime >> atime;
    EXPECT_EQ(time, cases[i].dosTime) << lines[i];
    EXPECT_EQ(date, cases[i].dosDate) << lines[i];
    EXPECT_EQ(mtime, cases[i].mtime);
    EXPECT_EQ(atime, cases[i].mtime - 7);
  }
  std::istringstream in(lines[2]);
  std::string skip;
  for (int k = 0; k < 9; ++k) in >> skip;
  int64_t mtime;
  in >> mtime;
  EXPECT_GE(mtime, before);
  EXPECT_LE(mtime, after);
}

// ---- Random archives ------------------------------------------------------------

// Seeded archives of random entries through random targets: each passes the
// checker, unzip and zipfile, and keeps each entry's bytes (its CRC).
TEST_F(ZipTest, RandomArchivesAreWholeAndKeepTheirBytes) {
  const char* given = std::getenv("TARVEX_TEST_SEED");
  const uint64_t seed = given ? std::strtoull(given, nullptr, 10) : std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (TARVEX_TEST_SEED to repeat)");
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 6; ++round) {
    const int kind = int(rng() % 3);  // file by name, memory, pipe
    std::vector<uint8_t> buffer(2 << 20);
    std::unique_ptr<PipeCapture> pipeTarget;
    const fs::path path = dir_ / ("r" + std::to_string(round) + ".zip");
    ZipHandle* zip = nullptr;
    if (kind == 0) {
      zip = CreateZip(path.string());
    } else if (kind == 1) {
      zip = CreateZipInMemory(buffer.data(), buffer.size());
    } else {
      pipeTarget = std::make_unique<PipeCapture>();
      zip = CreateZipOnDescriptor(pipeTarget->fd());
    }
    ASSERT_NE(zip, nullptr);
    std::vector<uint32_t> crcs;
    const int entries = int(rng() % 8);
    for (int i = 0; i < entries; ++i) {
      const size_t size = rng() % 3 == 0 ? rng() % 10 : rng() % 100000;
      Bytes content = rng() % 2 ? testing::LogText(rng(), size) : testing::DumpLike(rng(), size);
      const std::string name = "entry" + std::to_string(i) + (rng() % 4 == 0 ? ".gz" : ".bin");
      uint32_t rc;
      switch (rng() % 3) {
        case 0:
          rc = ZipAdd(zip, name, File("src" + std::to_string(i), content).string());
          break;
        case 1: {
          const int fd = open(File("src" + std::to_string(i), content).c_str(), O_RDONLY);
          rc = ZipAddDescriptor(zip, name, fd, rng() % 2 ? content.size() : 0);
          close(fd);
          break;
        }
        default:
          rc = ZipAddMemory(zip, name, content.data(), content.size());
      }
      ASSERT_EQ(rc, 0u) << name;
      crcs.push_back(Crc32(0, content.data(), content.size()));
    }
    uint64_t length = 0;
    ASSERT_EQ(CloseZip(zip, &length), 0u);
    if (kind == 1) WriteOut(Bytes(buffer.begin(), buffer.begin() + length), path.filename());
    if (kind == 2) {
      pipeTarget->End();
      WriteOut(pipeTarget->received, path.filename());
    }
    EXPECT_EQ(fs::file_size(path), length);
    const std::vector<std::string> lines = Check(path);
    ASSERT_EQ(lines.size(), crcs.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      std::istringstream in(lines[i]);
      std::string name, crc;
      int method, flags;
      in >> name >> method >> flags >> crc;
      EXPECT_EQ(crc, Hex8(crcs[i])) << lines[i];
    }
    if (entries > 0) ExpectUnzipAccepts(path);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace tarvex
