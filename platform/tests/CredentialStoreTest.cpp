#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Win32Error.h"
#include "platform/credentials/CredentialPrompt.h"
#include "platform/credentials/CredentialStore.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using win32::ERROR_INVALID_PARAMETER;
using win32::ERROR_SUCCESS;

// Permission bits of a path, not following a link; -1 when it is missing.
int ModeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

void Put(const std::string& path, const std::string& content, mode_t mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

std::string Get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool Equal(const Credential& a, const Credential& b) {
  return a.user == b.user && a.secret == b.secret;
}

class CredentialStoreTest : public ::testing::Test {
 protected:
  // A store over `folder` whose log lines land in log_.
  std::unique_ptr<FileCredentialStore> Open(const std::string& folder) {
    return std::make_unique<FileCredentialStore>(
        folder, [this](const std::string& line) { log_.push_back(line); });
  }
  // True when some log line holds every one of `parts`.
  bool Logged(std::initializer_list<std::string> parts) const {
    for (const std::string& line : log_) {
      bool all = true;
      for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
      if (all) return true;
    }
    return false;
  }
  // The content of a sound credential file holding `target`, written by the
  // store itself in a folder of its own.
  std::string SoundFile(const std::string& target, const Credential& credential) {
    std::string folder = temp_ / ("source-" + std::to_string(sources_++));
    FileCredentialStore source(folder);
    EXPECT_EQ(source.Write(target, credential), ERROR_SUCCESS);
    return Get(folder + "/credentials.json");
  }

  tarvex::testing::TempDir temp_;
  const std::string folder_ = temp_ / "config";
  const std::string file_ = folder_ + "/credentials.json";
  std::vector<std::string> log_;
  int sources_ = 0;
};

TEST_F(CredentialStoreTest, RoundTripKeepsEveryByteAndSurvivesANewStore) {
  struct Entry {
    std::string target;
    Credential credential;
  };
  const std::vector<Entry> entries = {
      {"Tarvex:alice@example.com", {"alice", std::string("a\nb\tc\0d\r\\e", 10)}},
      {"Tarvex:bøb", {"Bøb Ünïcode", "пароль 🔑"}},
      {"Tarvex:nosecret", {"carol", ""}},
      {"Tarvex:bytes", {"", std::string("\xff\xfe\x80\x00", 4)}},
      {"Tarvex:one", {"d", "1"}},
      {"Tarvex:two", {"e", "12"}},
      {"Tarvex:three", {"f", "123"}},
  };
  {
    auto store = Open(folder_);
    for (const Entry& e : entries) ASSERT_EQ(store->Write(e.target, e.credential), ERROR_SUCCESS);
  }
  auto store = Open(folder_);
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.target);
    Credential got{"stale", "stale"};
    ASSERT_EQ(store->Read(e.target, &got), ERROR_SUCCESS);
    EXPECT_TRUE(Equal(got, e.credential)) << got.user;
  }

  // Replacing one entry and deleting another leaves the rest alone.
  ASSERT_EQ(store->Write("Tarvex:one", {"d2", std::string("\0", 1)}), ERROR_SUCCESS);
  ASSERT_EQ(store->Delete("Tarvex:bøb"), ERROR_SUCCESS);
  auto reopened = Open(folder_);
  Credential got;
  EXPECT_EQ(reopened->Read("Tarvex:bøb", &got), ERROR_NOT_FOUND);
  ASSERT_EQ(reopened->Read("Tarvex:one", &got), ERROR_SUCCESS);
  EXPECT_TRUE(Equal(got, {"d2", std::string("\0", 1)}));
  ASSERT_EQ(reopened->Read("Tarvex:alice@example.com", &got), ERROR_SUCCESS);
  EXPECT_TRUE(Equal(got, entries[0].credential));
  EXPECT_EQ(reopened->Read("tarvex:ONE", &got), ERROR_NOT_FOUND);
  EXPECT_TRUE(log_.empty()) << log_.front();
}

TEST_F(CredentialStoreTest, WriteLeavesAPrivateFileInAPrivateFolder) {
  struct Case {
    const char* name;
    std::string folder;
    std::function<void(const std::string&)> prepare;
  };
  const Case cases[] = {
      {"missing nested folder", temp_ / "a/b/config", [](const std::string&) {}},
      {"existing open folder", temp_ / "open",
       [](const std::string& f) {
         ASSERT_EQ(::mkdir(f.c_str(), 0755), 0);
         ASSERT_EQ(::chmod(f.c_str(), 0755), 0);
       }},
      {"existing open file", temp_ / "withfile",
       [this](const std::string& f) {
         ASSERT_EQ(::mkdir(f.c_str(), 0700), 0);
         Put(f + "/credentials.json", SoundFile("old", {"u", "s"}), 0600);
         // Loosened after a sound write: the next write must tighten it again.
         ASSERT_EQ(::chmod((f + "/credentials.json").c_str(), 0666), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare(c.folder);
    auto store = Open(c.folder);
    ASSERT_EQ(store->Write("Tarvex:x", {"user", "secret"}), ERROR_SUCCESS);
    EXPECT_EQ(ModeOf(c.folder), 0700);
    EXPECT_EQ(ModeOf(c.folder + "/credentials.json"), 0600);
    EXPECT_EQ(Names(c.folder), std::vector<std::string>{"credentials.json"});
    Credential got;
    EXPECT_EQ(store->Read("Tarvex:x", &got), ERROR_SUCCESS);
  }
}

// Files the store must not trust read as holding nothing, say why in the
// log, and are replaced by the next write.
TEST_F(CredentialStoreTest, RefusedFilesReadAsEmptyWithALogLineAndAreReplaced) {
  const Credential old{"olduser", "oldsecret"};
  const std::string sound = SoundFile("Tarvex:old", old);
  const std::string elsewhere = temp_ / "elsewhere.json";
  Put(elsewhere, sound, 0600);

  // The sound file itself is read: the refusals below come from what was
  // changed, not from its content.
  ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
  Put(file_, sound, 0600);
  {
    Credential got;
    ASSERT_EQ(Open(folder_)->Read("Tarvex:old", &got), ERROR_SUCCESS);
    ASSERT_TRUE(Equal(got, old));
    ASSERT_EQ(::unlink(file_.c_str()), 0);
  }

  struct Case {
    const char* name;
    std::function<void()> make;
    std::string reason;  // a part of the log line
  };
  const Case cases[] = {
      {"world-readable", [&] { Put(file_, sound, 0644); }, "0644"},
      {"group-readable", [&] { Put(file_, sound, 0640); }, "0640"},
      {"others may write", [&] { Put(file_, sound, 0602); }, "0602"},
      {"oversized",
       [&] { Put(file_, sound + std::string(FileCredentialStore::kMaxFileBytes, 'x'), 0600); },
       "larger"},
      {"garbage", [&] { Put(file_, std::string("\x01\xff\0garbage\n\n\t\t\t", 14), 0600); },
       "damaged"},
      {"json object", [&] { Put(file_, "{\"Tarvex:old\": {}}\n", 0600); }, "damaged"},
      {"empty", [&] { Put(file_, "", 0600); }, "damaged"},
      {"cut short", [&] { Put(file_, sound.substr(0, sound.size() - 1), 0600); }, "damaged"},
      {"trailing junk", [&] { Put(file_, sound + "junk\n", 0600); }, "damaged"},
      {"entry twice", [&] { Put(file_, sound + sound.substr(sound.find('\n') + 1), 0600); },
       "damaged"},
      {"symbolic link", [&] { ASSERT_EQ(::symlink(elsewhere.c_str(), file_.c_str()), 0); },
       "symbolic link"},
      {"named pipe", [&] { ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0); }, "not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(folder_);
    ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
    c.make();
    log_.clear();

    auto store = Open(folder_);
    Credential got;
    EXPECT_EQ(store->Read("Tarvex:old", &got), ERROR_NOT_FOUND);
    EXPECT_EQ(store->Delete("Tarvex:old"), ERROR_NOT_FOUND);
    EXPECT_TRUE(Logged({file_, c.reason})) << (log_.empty() ? "no log" : log_.front());

    ASSERT_EQ(store->Write("Tarvex:new", {"newuser", "newsecret"}), ERROR_SUCCESS);
    EXPECT_EQ(ModeOf(file_), 0600);
    struct stat st {};
    ASSERT_EQ(::lstat(file_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(Names(folder_), std::vector<std::string>{"credentials.json"});

    log_.clear();
    auto reopened = Open(folder_);
    ASSERT_EQ(reopened->Read("Tarvex:new", &got), ERROR_SUCCESS);
    EXPECT_TRUE(Equal(got, {"newuser", "newsecret"}));
    EXPECT_EQ(reopened->Read("Tarvex:old", &got), ERROR_NOT_FOUND);
    EXPECT_TRUE(log_.empty());
  }
  // The link was replaced, not followed.
  EXPECT_EQ(Get(elsewhere), sound);
}

TEST_F(CredentialStoreTest, DeleteOfAMissingTargetIsNotFoundAndChangesNothing) {
  auto store = Open(folder_);
  EXPECT_EQ(store->Delete("Tarvex:none"), ERROR_NOT_FOUND);
  EXPECT_EQ(ModeOf(folder_), -1);

  ASSERT_EQ(store->Write("Tarvex:a", {"a", "secret"}), ERROR_SUCCESS);
  const std::string before = Get(file_);
  EXPECT_EQ(store->Delete("Tarvex:none"), ERROR_NOT_FOUND);
  EXPECT_EQ(Get(file_), before);
  ASSERT_EQ(store->Delete("Tarvex:a"), ERROR_SUCCESS);
  EXPECT_EQ(store->Delete("Tarvex:a"), ERROR_NOT_FOUND);
  Credential got;
  EXPECT_EQ(store->Read("Tarvex:a", &got), ERROR_NOT_FOUND);
}

TEST_F(CredentialStoreTest, UnusableLocationsGiveACodeWithoutThrowing) {
  struct Case {
    const char* name;
    std::string folder;
    std::function<void(const std::string&)> make;
  };
  const Case cases[] = {
      {"folder is a file", temp_ / "plainfile",
       [](const std::string& f) { Put(f, "not a folder", 0600); }},
      {"file is a folder", temp_ / "dirfile",
       [](const std::string& f) {
         std::filesystem::create_directories(f + "/credentials.json/inside");
         ASSERT_EQ(::chmod(f.c_str(), 0700), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make(c.folder);
    auto store = Open(c.folder);
    Credential got;
    uint32_t code = 0;
    EXPECT_NO_THROW(code = store->Write("Tarvex:x", {"u", "s"}));
    EXPECT_NE(code, ERROR_SUCCESS);
    EXPECT_NO_THROW(code = store->Read("Tarvex:x", &got));
    EXPECT_EQ(code, ERROR_NOT_FOUND);
    EXPECT_NO_THROW(code = store->Delete("Tarvex:x"));
    EXPECT_EQ(code, ERROR_NOT_FOUND);
  }
  EXPECT_EQ(Get(temp_ / "plainfile"), "not a folder");
  EXPECT_TRUE(std::filesystem::is_directory(temp_ / "dirfile/credentials.json/inside"));
}

// What cannot be stored is refused before the file is touched: names that
// would break the file's lines, and a secret too large for the file.
TEST_F(CredentialStoreTest, WritesThatCannotBeStoredLeaveTheFileAsItWas) {
  auto store = Open(folder_);
  ASSERT_EQ(store->Write("Tarvex:kept", {"k", "v"}), ERROR_SUCCESS);
  const std::string before = Get(file_);
  struct Case {
    std::string target;
    Credential credential;
    uint32_t code;
  };
  const Case cases[] = {
      {"", {"u", "s"}, ERROR_INVALID_PARAMETER},
      {"Tarvex:a\tb", {"u", "s"}, ERROR_INVALID_PARAMETER},
      {"Tarvex:a\nb", {"u", "s"}, ERROR_INVALID_PARAMETER},
      {"Tarvex:a", {"u\nv", "s"}, ERROR_INVALID_PARAMETER},
      {"Tarvex:a", {"u\rv", "s"}, ERROR_INVALID_PARAMETER},
      {"Tarvex:big",
       {"u", std::string(FileCredentialStore::kMaxFileBytes, 's')},
       win32::ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(store->Write(c.target, c.credential), c.code);
    EXPECT_EQ(Get(file_), before);
  }
  Credential got;
  EXPECT_EQ(Open(folder_)->Read("Tarvex:kept", &got), ERROR_SUCCESS);
}

TEST_F(CredentialStoreTest, ConcurrentWritesLoseNoEntry) {
  auto store = Open(folder_);
  constexpr int kThreads = 4;
  constexpr int kEach = 8;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string name = std::to_string(t) + "-" + std::to_string(i);
        EXPECT_EQ(store->Write("Tarvex:" + name, {name, "secret " + name}), ERROR_SUCCESS);
      }
    });
  }
  for (auto& th : threads) th.join();
  auto reopened = Open(folder_);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      std::string name = std::to_string(t) + "-" + std::to_string(i);
      Credential got;
      ASSERT_EQ(reopened->Read("Tarvex:" + name, &got), ERROR_SUCCESS) << name;
      EXPECT_EQ(got.secret, "secret " + name);
    }
  }
}

TEST(CredentialMemoryStoreTest, KeepsEntriesAndFailsWritesOnRequest) {
  MemoryCredentialStore store;
  Credential got;
  ASSERT_EQ(store.Write("t", {"u", "s"}), ERROR_SUCCESS);
  ASSERT_EQ(store.Read("t", &got), ERROR_SUCCESS);
  EXPECT_TRUE(Equal(got, {"u", "s"}));
  store.failWrites = win32::ERROR_DISK_FULL;
  EXPECT_EQ(store.Write("t", {"u2", "s2"}), win32::ERROR_DISK_FULL);
  EXPECT_EQ(store.Write("t2", {"u2", "s2"}), win32::ERROR_DISK_FULL);
  ASSERT_EQ(store.Read("t", &got), ERROR_SUCCESS);
  EXPECT_TRUE(Equal(got, {"u", "s"}));
  EXPECT_EQ(store.Read("t2", &got), ERROR_NOT_FOUND);
  EXPECT_EQ(store.Delete("t"), ERROR_SUCCESS);
  EXPECT_EQ(store.Delete("t"), ERROR_NOT_FOUND);
}

// ---- The terminal prompt ----------------------------------------------------

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() {
    if (fds[0] >= 0) ::close(fds[0]);
    fds[0] = -1;
  }
  void CloseWrite() {
    if (fds[1] >= 0) ::close(fds[1]);
    fds[1] = -1;
  }
  // Everything until the write end is closed.
  std::string ReadAll() {
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) all.append(buffer, n);
    return all;
  }
  int fds[2] = {-1, -1};
};

// A pseudo-terminal: the prompt reads from `slave`; the test types into
// `master` and sees the terminal's echo there.
struct Pty {
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
    const char* name = ::ptsname(master);
    if (name) slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~Pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
  bool ok() const { return master >= 0 && slave >= 0; }
  void Type(const std::string& text) const {
    ASSERT_EQ(::write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  bool Echoing() const {
    termios t{};
    return ::tcgetattr(slave, &t) == 0 && (t.c_lflag & ECHO) != 0;
  }
  char Eof() const {
    termios t{};
    ::tcgetattr(slave, &t);
    return static_cast<char>(t.c_cc[VEOF]);
  }
  int master = -1;
  int slave = -1;
};

TEST(CredentialTerminalPromptTest, InputThatIsNotATerminalIsCancelled) {
  Pipe in, out;
  const std::string typed = "alice\nsecret\ny\n";
  ASSERT_EQ(::write(in.fds[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  in.CloseWrite();
  CredentialAnswer answer = TerminalCredentialPrompt(in.fds[0], out.fds[1])
                                .Ask("Tarvex:x", "Sign in", "Please sign in", "bob", true);
  EXPECT_EQ(answer.result, ERROR_CANCELLED);
  EXPECT_EQ(answer.user, "");
  EXPECT_EQ(answer.password, "");
  EXPECT_FALSE(answer.save);
  EXPECT_EQ(in.ReadAll(), typed);  // nothing was taken from the input
}

TEST(CredentialTerminalPromptTest, AnswersFromATerminal) {
  Pty probe;
  if (!probe.ok()) GTEST_SKIP() << "no pseudo-terminals here";
  const std::string eof(1, probe.Eof());
  struct Case {
    const char* name;
    std::string given;
    std::string typed;
    uint32_t result;
    std::string user;
    std::string password;
    bool save;
  };
  const Case cases[] = {
      {"keeps the given user", "bob", "\nhunter 2\ny\n", ERROR_SUCCESS, "bob", "hunter 2", true},
      {"another user", "bob", "  alice \n pw \nYes\n", ERROR_SUCCESS, "alice", " pw ", true},
      {"not remembered", "bob", "\npw\n\n", ERROR_SUCCESS, "bob", "pw", false},
      {"empty password", "bob", "\n\nn\n", ERROR_SUCCESS, "bob", "", false},
      {"no user at all", "", "\npw\ny\n", ERROR_CANCELLED, "", "", false},
      {"end at user", "bob", eof, ERROR_CANCELLED, "", "", false},
      {"end at password", "bob", "\n" + eof, ERROR_CANCELLED, "", "", false},
      {"end at remember", "bob", "\npw\n" + eof, ERROR_CANCELLED, "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Pipe out;
    pty.Type(c.typed);
    CredentialAnswer answer = TerminalCredentialPrompt(pty.slave, out.fds[1])
                                  .Ask("Tarvex:x", "Sign in", "Sign in to sync", c.given, false);
    out.CloseWrite();
    EXPECT_EQ(answer.result, c.result);
    EXPECT_EQ(answer.user, c.user);
    EXPECT_EQ(answer.password, c.password);
    EXPECT_EQ(answer.save, c.save);
    EXPECT_TRUE(pty.Echoing());
    std::string shown = out.ReadAll();
    EXPECT_NE(shown.find("Sign in\nSign in to sync\n"), std::string::npos) << shown;
    std::string question = c.given.empty() ? "User name: " : "User name [" + c.given + "]: ";
    EXPECT_NE(shown.find(question), std::string::npos) << shown;
  }
}

TEST(CredentialTerminalPromptTest, PasswordIsNotEchoed) {
  Pty pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminals here";
  Pipe out;
  CredentialAnswer answer;
  std::thread asking([&] {
    answer = TerminalCredentialPrompt(pty.slave, out.fds[1]).Ask("t", "", "", "", false);
    out.CloseWrite();  // the reader below ends even if a question never comes
  });
  // Reads the prompt's output until `text` shows; false when it never does.
  std::string shown;
  auto waitFor = [&](const std::string& text) {
    char buffer[256];
    ssize_t n;
    while (shown.find(text) == std::string::npos &&
           (n = ::read(out.fds[0], buffer, sizeof buffer)) > 0)
      shown.append(buffer, n);
    return shown.find(text) != std::string::npos;
  };
  pty.Type("alice\n");
  EXPECT_TRUE(waitFor("Password: "));
  EXPECT_FALSE(pty.Echoing());
  pty.Type("s3cr3t\n");
  EXPECT_TRUE(waitFor("Remember the password? [y/N]: "));
  EXPECT_TRUE(pty.Echoing());
  pty.Type("y\n");
  asking.join();
  EXPECT_EQ(answer.result, ERROR_SUCCESS);
  EXPECT_EQ(answer.user, "alice");
  EXPECT_EQ(answer.password, "s3cr3t");
  EXPECT_TRUE(answer.save);

  // What the terminal echoed, up to the echo of the last answer.
  std::string echoed;
  while (echoed.find('y') == std::string::npos) {
    pollfd p{pty.master, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1) << "echo so far: " << echoed;
    char buffer[256];
    ssize_t n = ::read(pty.master, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    echoed.append(buffer, n);
  }
  EXPECT_NE(echoed.find("alice"), std::string::npos) << echoed;
  EXPECT_EQ(echoed.find("s3cr3t"), std::string::npos) << echoed;
}

TEST(CredentialPromptTest, ProcessPromptIsTheTerminalUntilReplaced) {
  CredentialPrompt*& prompt = CredentialPrompt::Process();
  ASSERT_NE(prompt, nullptr);
  EXPECT_NE(dynamic_cast<TerminalCredentialPrompt*>(prompt), nullptr);
  CredentialPrompt* terminal = prompt;
  struct Fake : CredentialPrompt {
    CredentialAnswer Ask(const std::string&, const std::string&, const std::string&,
                         const std::string&, bool) override {
      return {0, "fake", "pw", true};
    }
  } fake;
  prompt = &fake;
  EXPECT_EQ(CredentialPrompt::Process()->Ask("t", "", "", "", false).user, "fake");
  prompt = terminal;
}

}  // namespace
}  // namespace tarvex
