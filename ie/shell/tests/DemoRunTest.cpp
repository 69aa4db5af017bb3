// What `make run` runs, as processes on one folder, scripted as a person
// would answer: the local service and a client whose first start asks who
// signs in with the setup wizard and uploads its bookmarks; an edited .url
// reaches the service through the watcher; a second start brings up the
// settings; Exit, confirmed, ends the client and the service with nothing
// left running. A second run goes on with the same history, and a second
// client's first sync merges the bookmarks into its empty folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ie/shell/Resources.h"
#include "ie/shell/dialogs/ReadyToSync.h"
#include "ie/shell/dialogs/WizardDialogs.h"
#include "platform/process/Process.h"
#include "platform/registry/Registry.h"
#include "platform/testing/Files.h"
#include "platform/testing/Scoped.h"
#include "platform/testing/TempDir.h"
#include "platform/win/CredentialDialog.h"
#include "platform/win/NamedMutex.h"
#include "platform/win/Window.h"
#include "text/Text.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

template <typename Fn>
bool Eventually(Fn done, int seconds = 20) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

class DemoRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.Set("TARVEX_PRESENTER", ("script:" + (dir_ / "script")).c_str());
    env_.Set("XDG_CONFIG_HOME", (dir_ / "config").c_str());
    env_.Set("XDG_CACHE_HOME", (dir_ / "cache").c_str());
    env_.Set("TARVEX_OPENED_LOG", (dir_ / "opened").c_str());
  }
  void TearDown() override {
    // Ended as a person would, so that it ends its children too.
    if (pid_ > 0 && Interrupt() != 0 && pid_ > 0) ::kill(pid_, SIGKILL);
  }
  // The person's answers on a client's first start: the wizard's sign-in
  // page, then "Synchronize" in Ready to Sync.
  static std::string FirstStart(bool remember = true) {
    return Format("dialog %d fill %d \"_flag=done\" \"_have_account=1\" \"_username=demo\" "
                  "\"_password=demo\" \"_remempw=%s\"\n"
                  "dialog %d press %d\n",
                  kWizardTemplate, kWizardBrowser, remember ? "on" : "", kReadyToSyncTemplate,
                  kReadySynchronize);
  }
  // Started by the person (not with the session), a client that has an
  // account shows its settings first; the person closes them.
  static constexpr const char* kSettingsClosed = "dialog 111 press 2\n";

  // Starts tarvex-run for client `client` with the person's `script`.
  void Start(const std::string& script, int client = 1) {
    std::ofstream(dir_ / "script") << script;
    client_ = run_ + "/client-" + std::to_string(client);
    runtime_ = client_ + "/runtime";
    ASSERT_EQ(StartProcess({TARVEX_RUN, "--dir", run_, "--client", std::to_string(client)}, &pid_),
              0u);
    ASSERT_TRUE(Eventually([&] { return static_cast<bool>(FindWindow(kWindowClass, runtime_)); }))
        << Log();
  }
  // tarvex-run's exit code, or -1 when it did not end.
  int Ended() {
    int status = 0;
    const bool ended = Eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 40);
    if (ended) pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Interrupt() {
    ::kill(pid_, SIGINT);
    return Ended();
  }
  // What the log says when a sync ended well: a new baseline (an upload, a
  // sync with changes) or the end of a sync.
  size_t Synced() {
    return Count("Writing NodeSet to disk") + Count("Favorites successfully synchronized");
  }
  // Waits until the sync under way (or the next one) is over and the
  // watcher watches again.
  void SyncDone(size_t before, size_t watching) {
    ASSERT_TRUE(Eventually([&] { return Synced() > before; })) << Log();
    // The action is over when the client lets go of the sync mutex (a
    // change made before that belongs to the sync, as the watcher sees it).
    std::shared_ptr<NamedMutex> mutex;
    ASSERT_EQ(NamedMutex::Open(kSyncMutexName, &mutex, runtime_), 0u);
    const uint32_t got = mutex->Wait(20000);
    ASSERT_TRUE(got == WAIT_OBJECT_0 || got == WAIT_ABANDONED);
    mutex->Release();
    // The watcher watches afresh once the sync is over (it logs just before
    // it does); a change made before that is the sync's own.
    ASSERT_TRUE(Eventually([&] { return Count("Attaching observers") > watching; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  void SyncNow() {
    const size_t before = Synced();
    const size_t watching = Count("Attaching observers");
    ASSERT_EQ(PostMessage(FindWindow(kWindowClass, runtime_), WM_COMMAND, kActionSyncNow, 0), 0u);
    SyncDone(before, watching);
  }
  std::string Log() { return testing::ReadAll(client_ + "/user/tarvex.log"); }
  size_t Count(const std::string& text) {
    const std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  std::string Service() { return testing::ReadAll(run_ + "/service/state.json"); }
  // Processes whose environment names the run's folder.
  std::vector<int> LeftRunning() {
    std::vector<int> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string environ = testing::ReadAll(entry.path() / "environ");
      if (environ.find(run_) != std::string::npos) found.push_back(std::stoi(name));
    }
    return found;
  }

  testing::TempDir dir_;
  std::string run_ = dir_ / "run";
  std::string client_, runtime_;
  testing::ScopedEnv env_;
  int pid_ = -1;
};

TEST_F(DemoRunTest, AFirstStartSignsInSyncsAndFollowsEditsUntilExit) {
  // The first start: the wizard, Ready to Sync, and the upload of the demo
  // bookmarks to the new account.
  Start(FirstStart() + kSettingsClosed + "dialog 300 expect 304 ~\"Closing Tarvex\" press 302\n");
  SyncDone(0, 0);
  EXPECT_EQ(Count("Uploading Favorites"), 1u);
  EXPECT_NE(Service().find("https://www.debian.org/"), std::string::npos) << "the demo bookmarks";
  ASSERT_TRUE(fs::exists(client_ + "/user/tarvex-baseline.json"));
  EXPECT_NE(testing::ReadAll(dir_ / "opened").find("/msie/success/"), std::string::npos)
      << "the page that welcomes a new user";
  // The server root is the local service's, kept over the client's first
  // start, in plain http for this demo only.
  {
    Registry registry(client_ + "/registry");
    std::string root, encryption;
    const char* key = "Software\\Tarvex\\IEToolbar\\Settings";
    ASSERT_EQ(registry.ReadString(Hive::CurrentUser, key, "serverroot", &root), 0u);
    EXPECT_EQ(testing::ReadAll(run_ + "/service/port"), root.substr(root.find(':') + 1) + "\n");
    EXPECT_EQ(root.rfind("127.0.0.1:", 0), 0u) << root;
    ASSERT_EQ(registry.ReadString(Hive::CurrentUser, key, "encryption", &encryption), 0u);
    EXPECT_EQ(encryption, "No Encryption");
  }

  // A person edits a bookmark's address in the Favorites folder (the rest
  // of the file, the bookmark's id among it, stays).
  const std::string file = client_ + "/Favorites/Debian.url";
  std::string text = testing::ReadAll(file);
  const size_t at = text.find("URL=https://www.debian.org/");
  ASSERT_NE(at, std::string::npos) << text;
  text.insert(at + std::string("URL=https://www.debian.org/").size(), "News/");
  std::ofstream(file, std::ios::binary) << text;
  ASSERT_TRUE(Eventually([&] { return Count("Recieved WM_COMMAND message: 1074") > 0; }))
      << "the watcher saw it" << Log();
  SyncNow();
  EXPECT_NE(Service().find("https://www.debian.org/News/"), std::string::npos);

  // A second start brings up the settings of the running client, and ends.
  int second = -1;
  {
    testing::ScopedEnv env;
    env.Set("TARVEX_REGISTRY_DIR", (client_ + "/registry").c_str());
    env.Set("TARVEX_RUNTIME_DIR", runtime_.c_str());
    env.Set("TARVEX_TEMP_DIR", (client_ + "/tmp").c_str());
    env.Set("TARVEX_FAVORITES_DIR", (client_ + "/Favorites").c_str());
    ASSERT_EQ(StartProcess({TARVEXSYNC}, &second), 0u);
  }
  int status = -1;
  ASSERT_TRUE(Eventually([&] { return ::waitpid(second, &status, WNOHANG) == second; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(Eventually([&] { return Count("Recieved WM_COMMAND message: 1068") == 1; }));

  // Exit, confirmed: the client ends, and tarvex-run with the service.
  ASSERT_EQ(PostMessage(FindWindow(kWindowClass, runtime_), WM_COMMAND, kCommandExit, 0), 0u);
  EXPECT_EQ(Ended(), 0) << Log();
  EXPECT_FALSE(FindWindow(kWindowClass, runtime_)) << "the client ended";
  EXPECT_FALSE(fs::exists(run_ + "/service/address")) << "the service ended";
  EXPECT_EQ(LeftRunning(), std::vector<int>{});
}

TEST_F(DemoRunTest, ANextRunGoesOnWithTheHistoryAndASecondClientReceivesTheBookmarks) {
  Start(FirstStart());
  SyncDone(0, 0);
  EXPECT_EQ(Interrupt(), 0);
  EXPECT_FALSE(fs::exists(run_ + "/service/address")) << "the service ended";

  // The next run: an ordinary sync, no upload over the history.
  Start(kSettingsClosed);
  SyncNow();
  EXPECT_EQ(Count("Uploading Favorites"), 1u);

  // A second client of the same service, on its own empty folder: its
  // first sync brings the bookmarks. Its password is not remembered, so
  // its next run asks for it in the credential dialog before it syncs.
  const int first = pid_;
  const std::string firstRuntime = runtime_;
  pid_ = -1;
  Start(FirstStart(/*remember=*/false), 2);
  SyncDone(0, 0);
  EXPECT_TRUE(fs::exists(client_ + "/Favorites/Debian.url")) << Log();
  EXPECT_TRUE(fs::exists(client_ + "/Favorites/News/Reuters.url"));
  EXPECT_EQ(Interrupt(), 0);
  Start(Format("%s"
               "dialog %d expect %d \"demo\" type %d \"demo\" press 1\n",
               kSettingsClosed, kCredentialTemplate, kCredentialUser, kCredentialPassword),
        2);
  SyncNow();
  EXPECT_EQ(Interrupt(), 0);
  pid_ = first;
  runtime_ = firstRuntime;
  EXPECT_EQ(Interrupt(), 0);
  EXPECT_EQ(LeftRunning(), std::vector<int>{});
}

}  // namespace
}  // namespace tarvex
