#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using namespace win32;

// Each test works in its own new folder under the test temporary folder.
class FileSystemTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Direct file access, independent of the code under test.
  void Put(const std::string& name, const std::string& content) {
    std::ofstream(Path(name), std::ios::binary) << content;
  }
  std::string Get(const std::string& name) {
    std::ifstream in(Path(name), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The names in a folder of the test folder, sorted; temporary files show.
  std::vector<std::string> Names(const std::string& sub = "") {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(sub.empty() ? dir_ : Path(sub)))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  uint32_t Attributes(const std::string& name) {
    uint32_t a = INVALID_FILE_ATTRIBUTES;
    EXPECT_EQ(fs_.GetAttributes(Path(name), &a), ERROR_SUCCESS) << name;
    return a;
  }
  // True when this file system keeps extended attributes.
  bool AttributesSupported() {
    std::string probe = Path(".probe");
    Put(".probe", "");
    bool ok = ::setxattr(probe.c_str(), "user.tarvex.probe", "1", 1, 0) == 0;
    std::filesystem::remove(probe);
    return ok;
  }

  tarvex::testing::TempDir temp_;
  const std::string dir_ = temp_.path();
  FileSystem& fs_ = FileSystem::Native();
};

#define REQUIRE_ATTRIBUTES() \
  if (!AttributesSupported()) GTEST_SKIP() << "no extended attributes under " << dir_

TEST(Win32FromErrnoTest, MapsErrnoValues) {
  struct Case {
    int err;
    uint32_t code;
  };
  const Case cases[] = {
      {ENOTDIR, ERROR_PATH_NOT_FOUND},
      {EACCES, ERROR_ACCESS_DENIED},
      {EPERM, ERROR_ACCESS_DENIED},
      {EISDIR, ERROR_ACCESS_DENIED},
      {EEXIST, ERROR_ALREADY_EXISTS},
      {ENOSPC, ERROR_DISK_FULL},
      {EDQUOT, ERROR_DISK_FULL},
      {EROFS, ERROR_WRITE_PROTECT},
      {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
      {EXDEV, ERROR_NOT_SAME_DEVICE},
      {EBUSY, ERROR_SHARING_VIOLATION},
      {ETXTBSY, ERROR_SHARING_VIOLATION},
      {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
      {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
      {EINVAL, ERROR_INVALID_PARAMETER},
      {EIO, ERROR_GEN_FAILURE},
  };
  for (const Case& c : cases) EXPECT_EQ(Win32FromErrno(c.err), c.code) << "errno " << c.err;
}

// A missing file is ERROR_FILE_NOT_FOUND when its folder exists and
// ERROR_PATH_NOT_FOUND when it does not, whichever call finds it missing.
TEST_F(FileSystemTest, MissingPathsAreFileOrPathNotFoundByTheirFolder) {
  Put("file.txt", "x");
  ASSERT_EQ(fs_.CreateDirectory(Path("sub")), ERROR_SUCCESS);
  struct Case {
    const char* name;
    uint32_t code;
  };
  const Case cases[] = {
      {"missing.txt", ERROR_FILE_NOT_FOUND},
      {"sub/missing.txt", ERROR_FILE_NOT_FOUND},
      {"nodir/missing.txt", ERROR_PATH_NOT_FOUND},
      {"nodir/deeper/missing.txt", ERROR_PATH_NOT_FOUND},
      {"file.txt/missing.txt", ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = Path(c.name);
    uint32_t attributes = 0;
    uint64_t size = 0;
    std::string data;
    std::vector<DirEntry> entries;
    EXPECT_EQ(Win32FromErrno(ENOENT, path), c.code);
    EXPECT_EQ(fs_.GetAttributes(path, &attributes), c.code);
    EXPECT_FALSE(fs_.Exists(path));
    EXPECT_EQ(fs_.GetSize(path, &size), c.code);
    EXPECT_EQ(fs_.ReadFile(path, &data), c.code);
    EXPECT_EQ(fs_.DeleteFile(path), c.code);
    EXPECT_EQ(fs_.ListDirectory(path, "*", &entries), c.code);
    EXPECT_EQ(fs_.MoveFile(path, Path("moved")), c.code);
    EXPECT_EQ(fs_.CopyFile(path, Path("copied"), false), c.code);
  }
  EXPECT_EQ(Names(), (std::vector<std::string>{"file.txt", "sub"}));
}

TEST_F(FileSystemTest, MoveNeverReplacesTheTarget) {
  Put("a", "A");
  Put("b", "B");
  EXPECT_EQ(fs_.MoveFile(Path("a"), Path("b")), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Get("a"), "A");
  EXPECT_EQ(Get("b"), "B");

  // An empty folder is replaced by a plain rename; not here.
  ASSERT_EQ(fs_.CreateDirectory(Path("empty")), ERROR_SUCCESS);
  ASSERT_EQ(fs_.CreateDirectory(Path("full")), ERROR_SUCCESS);
  Put("full/x", "X");
  EXPECT_EQ(fs_.MoveFile(Path("full"), Path("empty")), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Get("full/x"), "X");

  EXPECT_EQ(fs_.MoveFile(Path("a"), Path("nodir/a")), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Get("a"), "A");

  EXPECT_EQ(fs_.MoveFile(Path("a"), Path("c")), ERROR_SUCCESS);
  EXPECT_EQ(Get("c"), "A");
  EXPECT_EQ(fs_.MoveFile(Path("full"), Path("moved")), ERROR_SUCCESS);
  EXPECT_EQ(Get("moved/x"), "X");
  EXPECT_EQ(Names(), (std::vector<std::string>{"b", "c", "empty", "moved"}));
}

TEST_F(FileSystemTest, CopyWithFailIfExistsLeavesTheTargetAlone) {
  Put("src", "new");
  Put("dst", "old");
  EXPECT_EQ(fs_.CopyFile(Path("src"), Path("dst"), true), ERROR_FILE_EXISTS);
  EXPECT_EQ(Get("dst"), "old");
  EXPECT_EQ(fs_.CopyFile(Path("src"), Path("dst"), false), ERROR_SUCCESS);
  EXPECT_EQ(Get("dst"), "new");
  EXPECT_EQ(fs_.CopyFile(Path("src"), Path("fresh"), true), ERROR_SUCCESS);
  EXPECT_EQ(Get("fresh"), "new");
  EXPECT_EQ(fs_.CopyFile(Path("src"), Path("nodir/x"), true), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Names(), (std::vector<std::string>{"dst", "fresh", "src"}));
}

TEST_F(FileSystemTest, CopyCarriesAttributes) {
  REQUIRE_ATTRIBUTES();
  Put("src", "data");
  ASSERT_EQ(fs_.SetAttributes(Path("src"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
            ERROR_SUCCESS);
  EXPECT_EQ(fs_.CopyFile(Path("src"), Path("copy"), true), ERROR_SUCCESS);
  EXPECT_EQ(Attributes("copy"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
}

// CI runs as root, whom permission bits do not stop: the refusal must come
// from the attribute itself.
TEST_F(FileSystemTest, ReadOnlyFileRefusesEveryWriteEvenForRoot) {
  REQUIRE_ATTRIBUTES();
  Put("f", "keep");
  Put("src", "other");
  ASSERT_EQ(fs_.SetAttributes(Path("f"), FILE_ATTRIBUTE_READONLY), ERROR_SUCCESS);
  EXPECT_EQ(Attributes("f"), FILE_ATTRIBUTE_READONLY);
  struct stat st;
  ASSERT_EQ(::stat(Path("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & S_IWUSR, 0u) << "READONLY is mirrored into the owner-write bit";

  std::unique_ptr<WritableFile> file;
  const std::pair<const char*, std::function<uint32_t()>> writes[] = {
      {"WriteFileAtomic", [&] { return fs_.WriteFileAtomic(Path("f"), "new"); }},
      {"OpenForAppend", [&] { return fs_.OpenForAppend(Path("f"), false, &file); }},
      {"OpenForAppend truncate", [&] { return fs_.OpenForAppend(Path("f"), true, &file); }},
      {"DeleteFile", [&] { return fs_.DeleteFile(Path("f")); }},
      {"CopyFile over it", [&] { return fs_.CopyFile(Path("src"), Path("f"), false); }},
  };
  for (const auto& [name, write] : writes) {
    EXPECT_EQ(write(), ERROR_ACCESS_DENIED) << name;
    EXPECT_EQ(file, nullptr) << name;
    EXPECT_EQ(Get("f"), "keep") << name;
  }
  EXPECT_EQ(Names(), (std::vector<std::string>{"f", "src"}));

  ASSERT_EQ(fs_.SetAttributes(Path("f"), FILE_ATTRIBUTE_NORMAL), ERROR_SUCCESS);
  EXPECT_EQ(Attributes("f"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(fs_.WriteFileAtomic(Path("f"), "new"), ERROR_SUCCESS);
  EXPECT_EQ(Get("f"), "new");
  EXPECT_EQ(fs_.DeleteFile(Path("f")), ERROR_SUCCESS);
}

TEST_F(FileSystemTest, RewriteKeepsHiddenSystemAndMode) {
  REQUIRE_ATTRIBUTES();
  Put("f", "old");
  ASSERT_EQ(::chmod(Path("f").c_str(), 0640), 0);
  ASSERT_EQ(fs_.SetAttributes(Path("f"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
            ERROR_SUCCESS);

  ASSERT_EQ(fs_.WriteFileAtomic(Path("f"), "new"), ERROR_SUCCESS);
  EXPECT_EQ(Get("f"), "new");
  EXPECT_EQ(Attributes("f"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  struct stat st;
  ASSERT_EQ(::stat(Path("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  ASSERT_EQ(fs_.WriteFileAtomic(Path("f"), "plain", 0, false), ERROR_SUCCESS);
  EXPECT_EQ(Attributes("f"), FILE_ATTRIBUTE_NORMAL);
  ASSERT_EQ(fs_.WriteFileAtomic(Path("new"), "x", FILE_ATTRIBUTE_HIDDEN), ERROR_SUCCESS);
  EXPECT_EQ(Attributes("new"), FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(Names(), (std::vector<std::string>{"f", "new"}));
}

TEST_F(FileSystemTest, DotFileIsNotHiddenAndFoldersReadAsDirectory) {
  Put(".profile", "x");
  ASSERT_EQ(fs_.CreateDirectory(Path(".config")), ERROR_SUCCESS);
  EXPECT_EQ(Attributes(".profile"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(Attributes(".config"), FILE_ATTRIBUTE_DIRECTORY);
  std::vector<DirEntry> entries;
  ASSERT_EQ(fs_.ListDirectory(dir_, "*", &entries), ERROR_SUCCESS);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].attributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(entries[1].attributes, FILE_ATTRIBUTE_NORMAL);
}


TEST_F(FileSystemTest, FailedRewriteLeavesTheOldFileAndNoTemporary) {
  EXPECT_EQ(fs_.WriteFileAtomic(Path("nodir/f"), "x"), ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(Names().empty());

  // The data cannot all be written (the file size limit binds root too).
  Put("f", "old content");
  uint32_t code;
  {
    testing::FileSizeLimit limit(64);
    code = fs_.WriteFileAtomic(Path("f"), std::string(4096, 'x'));
  }
  EXPECT_NE(code, ERROR_SUCCESS);
  EXPECT_EQ(Get("f"), "old content");

  // The final rename fails: a folder that is not empty is in the way.
  ASSERT_EQ(fs_.CreateDirectory(Path("d")), ERROR_SUCCESS);
  Put("d/x", "X");
  EXPECT_EQ(fs_.WriteFileAtomic(Path("d"), "data"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Get("d/x"), "X");
  EXPECT_EQ(Names(), (std::vector<std::string>{"d", "f"}));
}

// AtomicWriteNameBytes is the name a rewrite really uses: in a folder where
// it just fits the path limit the rewrite works, one byte more and the
// temporary file cannot be made, though the file's own path would fit.
TEST_F(FileSystemTest, AtomicWriteNameBytesIsTheLongestNameARewriteUses) {
  constexpr size_t kPathMax = 4095;  // PATH_MAX less its NUL
  for (size_t nameBytes : {size_t{20}, size_t{230}}) {
    SCOPED_TRACE(nameBytes);
    const size_t folderBytes = kPathMax - 1 - AtomicWriteNameBytes(nameBytes);
    std::string folder = dir_ + "/n" + std::to_string(nameBytes);
    ASSERT_EQ(fs_.CreateDirectory(folder), ERROR_SUCCESS);
    while (folder.size() < folderBytes) {
      const size_t left = folderBytes - folder.size() - 1;
      folder += "/" + std::string(std::min<size_t>(left, 200), 'd');
      ASSERT_EQ(fs_.CreateDirectory(folder), ERROR_SUCCESS);
    }
    ASSERT_EQ(folder.size(), folderBytes);
    EXPECT_EQ(fs_.WriteFileAtomic(folder + "/" + std::string(nameBytes, 'f'), "x"), ERROR_SUCCESS);
    const std::string longer = folder + "/" + std::string(nameBytes + 1, 'g');
    EXPECT_EQ(fs_.WriteFileAtomic(longer, "x"), ERROR_FILENAME_EXCED_RANGE);
    // A short name: its temporary one is what does not fit.
    if (nameBytes < 200) {
      EXPECT_LE(longer.size(), kPathMax);
    }
  }
}

TEST_F(FileSystemTest, ListDirectoryFiltersAndSortsByByteOrder) {
  for (const char* name : {"b.ico", "A.ICO", "c.txt", "_x.ico", "a.icon"}) Put(name, "1234");
  ASSERT_EQ(fs_.CreateDirectory(Path("Z.ico")), ERROR_SUCCESS);
  std::vector<DirEntry> entries;
  ASSERT_EQ(fs_.ListDirectory(dir_, "*.ico", &entries), ERROR_SUCCESS);
  std::vector<std::string> names;
  for (const DirEntry& e : entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"A.ICO", "Z.ico", "_x.ico", "b.ico"}));
  EXPECT_EQ(entries[0].size, 4u);
  EXPECT_EQ(entries[0].attributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(entries[1].attributes, FILE_ATTRIBUTE_DIRECTORY);

  ASSERT_EQ(fs_.ListDirectory(dir_, "*", &entries), ERROR_SUCCESS);
  EXPECT_EQ(entries.size(), 6u);
  EXPECT_EQ(fs_.ListDirectory(Path("c.txt"), "*", &entries), ERROR_DIRECTORY);
}

TEST_F(FileSystemTest, ListingDescribesLinksAsLinksNeverTheirTargets) {
  // Targets outside the listed folder, as a planted link would have them.
  testing::TempDir outside;
  ASSERT_EQ(fs_.WriteFileAtomic(outside / "secret", "x", FILE_ATTRIBUTE_HIDDEN), ERROR_SUCCESS);
  ASSERT_EQ(symlink(outside.path().c_str(), Path("to-folder").c_str()), 0);
  ASSERT_EQ(symlink((outside / "secret").c_str(), Path("to-file.ico").c_str()), 0);
  ASSERT_EQ(symlink((outside / "gone").c_str(), Path("dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
  Put("plain", "1");
  ASSERT_EQ(fs_.CreateDirectory(Path("sub")), ERROR_SUCCESS);
  std::vector<DirEntry> entries;
  ASSERT_EQ(fs_.ListDirectory(dir_, "*", &entries), ERROR_SUCCESS);
  std::vector<std::pair<std::string, DirEntry::Kind>> kinds;
  for (const DirEntry& e : entries) {
    kinds.emplace_back(e.name, e.kind);
    if (e.kind == DirEntry::Kind::Link) {
      EXPECT_FALSE(e.attributes & FILE_ATTRIBUTE_DIRECTORY) << e.name;
      EXPECT_FALSE(e.attributes & FILE_ATTRIBUTE_HIDDEN) << e.name;  // not the target's
    }
  }
  using K = DirEntry::Kind;
  EXPECT_EQ(kinds, (std::vector<std::pair<std::string, K>>{{"dangling", K::Link},
                                                           {"pipe", K::Other},
                                                           {"plain", K::File},
                                                           {"sub", K::Directory},
                                                           {"to-file.ico", K::Link},
                                                           {"to-folder", K::Link}}));
}

TEST(MatchesPatternTest, WildcardsAndCase) {
  struct Case {
    const char* name;
    const char* pattern;
    bool matches;
  };
  const Case cases[] = {
      {"A.ICO", "*.ico", true},
      {"a.ico", "*.ICO", true},
      {"a.icon", "*.ico", false},
      {"a.ico.bak", "*.ico", false},
      {"abc", "a?c", true},
      {"ac", "a?c", false},
      {"abcbd", "a*bd", true},  // the "*" has to give back what it took
      {"mississippi", "*sip*", true},
      {"mississippi", "m*iss*ppi", true},
      {"ab", "*?*?*", true},
      {"a", "*?*?*", false},
      {"", "*", true},
      {"abc", "", false},
      {"README", "*.*", true},
      {"readme", "README.*", true},
      {"\xC3\xA9.txt", "?.txt", true},  // "?" takes a whole UTF-8 character
      {"\xC3\x89", "\xC3\xA9", false},  // only ASCII letters fold
      {"file", "FILE", true},
      {"file", "fil", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesPattern(c.name, c.pattern), c.matches)
        << "\"" << c.name << "\" against \"" << c.pattern << "\"";
  }
}

TEST_F(FileSystemTest, AppendTruncateAndClose) {
  Put("log", "one\n");
  std::unique_ptr<WritableFile> file;
  ASSERT_EQ(fs_.OpenForAppend(Path("log"), false, &file), ERROR_SUCCESS);
  EXPECT_EQ(file->Write("two\n"), ERROR_SUCCESS);
  EXPECT_EQ(file->Flush(), ERROR_SUCCESS);
  EXPECT_EQ(Get("log"), "one\ntwo\n");
  EXPECT_EQ(file->Close(), ERROR_SUCCESS);
  EXPECT_EQ(file->Write("late"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(file->Flush(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Get("log"), "one\ntwo\n");

  ASSERT_EQ(fs_.OpenForAppend(Path("log"), true, &file), ERROR_SUCCESS);
  EXPECT_EQ(Get("log"), "");
  EXPECT_EQ(file->Write(std::string(100000, 'y')), ERROR_SUCCESS);
  EXPECT_EQ(Get("log").size(), 100000u);

  EXPECT_EQ(fs_.OpenForAppend(Path("nodir/log"), false, &file), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(file, nullptr);
}

TEST_F(FileSystemTest, FolderErrors) {
  Put("file", "x");
  ASSERT_EQ(fs_.CreateDirectory(Path("d")), ERROR_SUCCESS);
  Put("d/x", "x");
  EXPECT_EQ(fs_.CreateDirectory(Path("d")), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(fs_.CreateDirectory(Path("nodir/d")), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(fs_.CreateDirectories(Path("p/q/r")), ERROR_SUCCESS);
  EXPECT_EQ(Attributes("p/q/r"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(fs_.CreateDirectories(Path("p/q/r/")), ERROR_SUCCESS);
  EXPECT_EQ(fs_.CreateDirectories(Path("file")), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(fs_.CreateDirectories(Path("file/sub")), ERROR_DIRECTORY);
  EXPECT_EQ(fs_.RemoveDirectory(Path("d")), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(fs_.RemoveDirectory(Path("file")), ERROR_DIRECTORY);
  EXPECT_EQ(fs_.RemoveDirectory(Path("p/q/r")), ERROR_SUCCESS);
  EXPECT_EQ(fs_.DeleteFile(Path("d")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Names(), (std::vector<std::string>{"d", "file", "p"}));
  EXPECT_EQ(Names("p/q"), std::vector<std::string>{});
}

TEST_F(FileSystemTest, ReadFileCapsAndReadsOnlyRegularFiles) {
  Put("f", "0123456789");
  std::string data = "untouched";
  EXPECT_EQ(fs_.ReadFile(Path("f"), &data, 9), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(data, "untouched");
  EXPECT_EQ(fs_.ReadFile(Path("f"), &data, 10), ERROR_SUCCESS);
  EXPECT_EQ(data, "0123456789");
  EXPECT_EQ(fs_.ReadFile(dir_, &data), ERROR_ACCESS_DENIED);
  // A FIFO planted where a file is expected is refused at once instead of
  // blocking the reader until someone writes to it.
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(fs_.ReadFile(Path("fifo"), &data), ERROR_ACCESS_DENIED);
  // A link is not followed, even to a readable file.
  ASSERT_EQ(symlink(Path("f").c_str(), Path("link").c_str()), 0);
  EXPECT_EQ(fs_.ReadFile(Path("link"), &data), ERROR_ACCESS_DENIED);
  EXPECT_EQ(data, "0123456789");
}

TEST_F(FileSystemTest, FaultyFailsTheNthCallFromNowOrEveryCallFromIt) {
  Put("f", "data");
  FaultyFileSystem faulty(fs_);
  std::string data;
  auto read = [&] { return faulty.ReadFile(Path("f"), &data, UINT64_MAX); };
  EXPECT_EQ(read(), ERROR_SUCCESS);

  faulty.FailNth(FaultyFileSystem::Op::Read, 2, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(read(), ERROR_SUCCESS);
  EXPECT_EQ(read(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(read(), ERROR_SUCCESS);
  EXPECT_EQ(faulty.Calls(FaultyFileSystem::Op::Read), 4);

  faulty.FailNth(FaultyFileSystem::Op::Read, 2, ERROR_DISK_FULL, true);
  EXPECT_EQ(read(), ERROR_SUCCESS);
  EXPECT_EQ(read(), ERROR_DISK_FULL);
  EXPECT_EQ(read(), ERROR_DISK_FULL);
  uint64_t size = 0;
  EXPECT_EQ(faulty.GetSize(Path("f"), &size), ERROR_SUCCESS) << "other operations run";

  faulty.Reset();
  EXPECT_EQ(faulty.Calls(FaultyFileSystem::Op::Read), 0);
  EXPECT_EQ(read(), ERROR_SUCCESS);

  // A failed atomic write never reaches the file.
  faulty.FailNth(FaultyFileSystem::Op::Write, 1, ERROR_DISK_FULL);
  EXPECT_EQ(faulty.WriteFileAtomic(Path("f"), "new", 0, true), ERROR_DISK_FULL);
  EXPECT_EQ(Get("f"), "data");

  // Removing a folder is not deleting a file: each fails on its own.
  ASSERT_EQ(fs_.CreateDirectory(Path("d")), ERROR_SUCCESS);
  faulty.FailNth(FaultyFileSystem::Op::RemoveDirectory, 1, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(faulty.DeleteFile(Path("f")), ERROR_SUCCESS);
  EXPECT_EQ(faulty.RemoveDirectory(Path("d")), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(faulty.RemoveDirectory(Path("d")), ERROR_SUCCESS);
  EXPECT_EQ(faulty.Calls(FaultyFileSystem::Op::Delete), 1);
  EXPECT_EQ(faulty.Calls(FaultyFileSystem::Op::RemoveDirectory), 2);
}

// A function runs once, just before the chosen call goes on; it may use
// the file system it hooks.
TEST_F(FileSystemTest, FaultyRunsAFunctionBeforeTheNthCall) {
  Put("f", "old");
  FaultyFileSystem faulty(fs_);
  std::string data;
  faulty.ReadFile(Path("f"), &data, UINT64_MAX);
  int ran = 0;
  faulty.BeforeNth(FaultyFileSystem::Op::Read, 2, [&] {
    ++ran;
    EXPECT_EQ(faulty.WriteFileAtomic(Path("f"), "new", 0, true), ERROR_SUCCESS);
  });
  faulty.FailNth(FaultyFileSystem::Op::Read, 3, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(faulty.ReadFile(Path("f"), &data, UINT64_MAX), ERROR_SUCCESS);
  EXPECT_EQ(data, "old");
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(faulty.ReadFile(Path("f"), &data, UINT64_MAX), ERROR_SUCCESS);
  EXPECT_EQ(data, "new") << "the function ran before the read";
  EXPECT_EQ(faulty.ReadFile(Path("f"), &data, UINT64_MAX), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(faulty.ReadFile(Path("f"), &data, UINT64_MAX), ERROR_SUCCESS);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(faulty.Calls(FaultyFileSystem::Op::Write), 1);
}

TEST_F(FileSystemTest, FaultyCountsEachWriteOfAnOpenedFile) {
  FaultyFileSystem faulty(fs_);
  std::unique_ptr<WritableFile> file;
  ASSERT_EQ(faulty.OpenForAppend(Path("log"), false, &file), ERROR_SUCCESS);
  faulty.FailNth(FaultyFileSystem::Op::Write, 2, ERROR_DISK_FULL);
  EXPECT_EQ(file->Write("a"), ERROR_SUCCESS);
  EXPECT_EQ(file->Write("b"), ERROR_DISK_FULL);
  EXPECT_EQ(file->Write("c"), ERROR_SUCCESS);
  EXPECT_EQ(file->Close(), ERROR_SUCCESS);
  EXPECT_EQ(Get("log"), "ac");
  EXPECT_EQ(faulty.Calls(FaultyFileSystem::Op::Write), 3);
  EXPECT_EQ(faulty.Calls(FaultyFileSystem::Op::Open), 1);

  faulty.FailNth(FaultyFileSystem::Op::Open, 1, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(faulty.OpenForAppend(Path("log"), false, &file), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(file, nullptr);
}

// Every call that may change the disk counts as one write, in the order the
// calls come, and every write after the limit fails while reads go on: the
// disk as a program stopped at that point left it.
TEST_F(FileSystemTest, FaultyFailsEveryWriteAfterTheNthWhateverItsKind) {
  Put("f", "old");
  ASSERT_EQ(fs_.CreateDirectory(Path("gone")), ERROR_SUCCESS);
  FaultyFileSystem faulty(fs_);
  std::string data;
  std::vector<DirEntry> entries;
  std::unique_ptr<WritableFile> log;
  // Each step and whether it changes the disk.
  const std::vector<std::pair<std::function<uint32_t()>, bool>> steps = {
      {[&] { return faulty.ReadFile(Path("f"), &data, UINT64_MAX); }, false},
      {[&] { return faulty.WriteFileAtomic(Path("f"), "new", 0, true); }, true},
      {[&] { return faulty.SetAttributes(Path("f"), FILE_ATTRIBUTE_HIDDEN); }, true},
      {[&] {
         uint32_t attributes = 0;
         return faulty.GetAttributes(Path("f"), &attributes);
       },
       false},
      {[&] { return faulty.CopyFile(Path("f"), Path("g"), true); }, true},
      {[&] { return faulty.MoveFile(Path("g"), Path("h")); }, true},
      {[&] { return faulty.CreateDirectory(Path("d")); }, true},
      {[&] { return faulty.CreateDirectories(Path("d/e/f"), 0777); }, true},
      {[&] { return faulty.ListDirectory(Path(""), "*", &entries); }, false},
      {[&] { return faulty.RemoveDirectory(Path("gone")); }, true},
      {[&] { return faulty.DeleteFile(Path("h")); }, true},
      {[&] { return faulty.OpenForAppend(Path("log"), false, &log); }, true},
      {[&] { return log ? log->Write("line") : ERROR_INVALID_HANDLE; }, true},
      {[&] { return faulty.SyncFileSystem(Path("f")); }, true},
  };
  int writes = 0;
  for (const auto& step : steps) writes += step.second;
  for (int limit = 0; limit <= writes; ++limit) {
    SCOPED_TRACE("every write after write " + std::to_string(limit) + " fails");
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      std::filesystem::remove_all(entry.path());
    Put("f", "old");
    ASSERT_EQ(fs_.CreateDirectory(Path("gone")), ERROR_SUCCESS);
    log.reset();
    faulty.Reset();
    int ran = 0;
    faulty.BeforeNthWrite(limit + 1, [&] { ++ran; });
    faulty.FailWritesAfter(limit, ERROR_DISK_FULL);
    int seen = 0;
    for (const auto& [step, changes] : steps) {
      const uint32_t code = step();
      if (!changes) {
        EXPECT_EQ(code, ERROR_SUCCESS) << "a read after the limit";
      } else if (++seen <= limit) {
        EXPECT_EQ(code, ERROR_SUCCESS) << "write " << seen;
      } else if (log || seen != writes - 1) {  // a failed open leaves nothing to write to
        EXPECT_EQ(code, ERROR_DISK_FULL) << "write " << seen;
      }
    }
    EXPECT_EQ(faulty.Writes(), log ? writes : writes - 1);
    EXPECT_EQ(ran, limit < writes ? 1 : 0) << "the function runs before the first failing write";
    EXPECT_EQ(Get("f"), limit >= 1 ? "new" : "old");
  }
}

// Deferred writes, copies and moves leave the same files as flushed ones;
// only the flushes differ, which the decorator counts.
TEST_F(FileSystemTest, DeferredWritesLandAsFlushedOnesAndOneBarrierMakesThemDurable) {
  FaultyFileSystem faulty(fs_);
  ASSERT_EQ(fs_.CreateDirectory(Path("sub")), ERROR_SUCCESS);
  for (Durability durability : {Durability::Now, Durability::Later}) {
    const std::string tag = durability == Durability::Now ? "now" : "later";
    faulty.Reset();
    ASSERT_EQ(faulty.WriteFileAtomic(Path("sub/" + tag), tag, FILE_ATTRIBUTE_HIDDEN, true,
                                     durability),
              ERROR_SUCCESS);
    ASSERT_EQ(faulty.CopyFile(Path("sub/" + tag), Path(tag + ".copy"), true, durability),
              ERROR_SUCCESS);
    ASSERT_EQ(faulty.MoveFile(Path(tag + ".copy"), Path(tag + ".moved"), durability),
              ERROR_SUCCESS);
    EXPECT_EQ(Get(tag + ".moved"), tag);
    EXPECT_EQ(Get("sub/" + tag), tag);
    EXPECT_EQ(faulty.Syncs(), durability == Durability::Now ? 5 : 0) << tag;
    if (AttributesSupported()) {
      EXPECT_EQ(Attributes(tag + ".moved"), FILE_ATTRIBUTE_HIDDEN);
    }
  }
  EXPECT_EQ(Names(), (std::vector<std::string>{"later.moved", "now.moved", "sub"}))
      << "no temporary file stays";

  EXPECT_EQ(faulty.SyncFileSystem(Path("sub")), ERROR_SUCCESS);
  EXPECT_EQ(faulty.SyncFileSystem(Path("later.moved")), ERROR_SUCCESS);
  EXPECT_EQ(faulty.Syncs(), 2);
  EXPECT_EQ(faulty.SyncFileSystem(Path("gone")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(faulty.SyncFileSystem(Path("gone/deeper")), ERROR_PATH_NOT_FOUND);
  faulty.FailNth(FaultyFileSystem::Op::Sync, 1, ERROR_WRITE_FAULT);
  EXPECT_EQ(faulty.SyncFileSystem(Path("sub")), ERROR_WRITE_FAULT);
  EXPECT_EQ(faulty.Calls(FaultyFileSystem::Op::Sync), 5);
}

TEST(FormatMessageTest, KnownAndUnknownCodes) {
  EXPECT_EQ(FormatMessage(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.");
  EXPECT_EQ(FormatMessage(ERROR_ALREADY_EXISTS),
            "Cannot create a file when that file already exists.");
  EXPECT_EQ(FormatMessage(12345), "Unknown error 12345");
  const uint32_t known[] = {
      ERROR_SUCCESS,
      ERROR_INVALID_FUNCTION,
      ERROR_FILE_NOT_FOUND,
      ERROR_PATH_NOT_FOUND,
      ERROR_ACCESS_DENIED,
      ERROR_INVALID_HANDLE,
      ERROR_NOT_ENOUGH_MEMORY,
      ERROR_INVALID_DATA,
      ERROR_NOT_SAME_DEVICE,
      ERROR_NO_MORE_FILES,
      ERROR_WRITE_PROTECT,
      ERROR_GEN_FAILURE,
      ERROR_SHARING_VIOLATION,
      ERROR_HANDLE_EOF,
      ERROR_FILE_EXISTS,
      ERROR_INVALID_PARAMETER,
      ERROR_DISK_FULL,
      ERROR_INVALID_NAME,
      ERROR_DIR_NOT_EMPTY,
      ERROR_ALREADY_EXISTS,
      ERROR_FILENAME_EXCED_RANGE,
      ERROR_MORE_DATA,
      ERROR_NO_MORE_ITEMS,
      ERROR_DIRECTORY,
      ERROR_NOT_SUPPORTED,
      ERROR_BADDB,
      ERROR_KEY_DELETED,
  };
  for (uint32_t code : known) {
    std::string text = FormatMessage(code);
    EXPECT_FALSE(text.empty() || text.rfind("Unknown", 0) == 0) << code;
    EXPECT_EQ(text.back(), '.') << code;
  }
}

}  // namespace
}  // namespace tarvex
