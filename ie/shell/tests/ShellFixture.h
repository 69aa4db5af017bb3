// The shell's parts on a private registry, log, fake clock and runtime
// folder, with a scripted message box, an account whose sign-in meets a
// scripted service and credential dialog, and a sync flow that records what
// it is asked to do.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "ie/shell/HiddenWindow.h"
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"
#include "ie/shell/SystemTray.h"
#include "ie/sync/Account.h"
#include "ie/sync/SyncContext.h"
#include "platform/clock/Clock.h"
#include "platform/credentials/CredentialPrompt.h"
#include "platform/credentials/CredentialStore.h"
#include "platform/http/HttpTransport.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/registry/Registry.h"
#include "platform/testing/Files.h"
#include "platform/testing/Presenters.h"
#include "platform/testing/TempDir.h"
#include "platform/win/NamedMutex.h"

namespace tarvex::testing {

// Records each call; `onCall` runs inside it (to change settings as the
// real flow would, throw, or reenter the scheduler).
class RecordingSync : public SyncActions {
 public:
  struct Log {
    std::vector<std::string> calls;
    std::function<void(const std::string& call)> onCall;
    int downloadResult = 0;
    Json::Value tabs{Json::objectValue};
    Json::Value status{Json::objectValue};
    Json::Value profiles{Json::objectValue};
  };
  RecordingSync(std::shared_ptr<Log> log, bool manual) : log_(std::move(log)), manual_(manual) {}
  void Synchronize() override { Call("sync"); }
  int Download() override {
    Call("download");
    return log_->downloadResult;
  }
  void Upload() override { Call("upload"); }
  void MergeDownload(int direction) override { Call("merge " + std::to_string(direction)); }
  void Repair() override { Call("repair"); }
  void WriteTabs(bool force) override { Call(force ? "tabs forced" : "tabs"); }
  void CheckVersion(bool manual) override { Call(manual ? "version manual" : "version"); }
  Json::Value ReadTabs() override {
    Call("read tabs");
    return log_->tabs;
  }
  Json::Value GetStatus() override {
    Call("status");
    return log_->status;
  }
  Json::Value GetProfileNames() override {
    Call("profiles");
    return log_->profiles;
  }

 private:
  void Call(std::string call) {
    if (!manual_) call += " (automatic)";
    log_->calls.push_back(call);
    if (log_->onCall) log_->onCall(call);
  }
  std::shared_ptr<Log> log_;
  bool manual_;
};

// The service as the account's sign-in meets it: every request gets
// `reply` (by default no reply at all) and is recorded.
class ScriptedTransport : public HttpTransport {
 public:
  HttpResult Send(const HttpRequest& request) override {
    requests.push_back(request);
    return reply;
  }
  HttpResult reply;
  std::vector<HttpRequest> requests;
};

// The credential dialog: answers from a queue, cancelled once it is empty;
// `onAsk` runs while it shows (as a modal dialog's loop would run a tray
// click).
class ScriptedCredentialPrompt : public CredentialPrompt {
 public:
  CredentialAnswer Ask(const std::string&, const std::string&, const std::string&,
                       const std::string&, bool) override {
    ++asked;
    if (onAsk) onAsk();
    if (answers.empty()) return CredentialAnswer{ERROR_CANCELLED, "", "", false};
    CredentialAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<CredentialAnswer> answers;
  int asked = 0;
  std::function<void()> onAsk;
};

class ShellFixture : public ::testing::Test {
 protected:
  ShellFixture() {
    InstallShellResources();
    window_ = CreateLocalWindow("hidden", [this](const HWND& w, uint32_t m, uint64_t wp,
                                                 int64_t lp) { return hidden_.Proc(w, m, wp, lp); });
    tray_.SetWindow(window_);
  }
  ~ShellFixture() override {
    DestroyWindow(window_);
    // The window's end asks the loop to quit: not the next test's loop.
    MSG msg;
    while (PeekMessage(&msg)) {
    }
  }

  // Runs `fn` while another thread (as good as another process) holds the
  // named mutex `name`.
  void HeldElsewhere(const char* name, const std::function<void()>& fn) {
    std::shared_ptr<NamedMutex> mutex;
    ASSERT_EQ(NamedMutex::Open(name, &mutex, dir_ / "run"), 0u);
    std::atomic<bool> held{false}, done{false};
    std::thread holder([&] {
      mutex->Wait(INFINITE);
      held = true;
      while (!done) std::this_thread::yield();
      mutex->Release();
    });
    while (!held) std::this_thread::yield();
    fn();
    done = true;
    holder.join();
  }

  // What the sync flow was asked, in order.
  const std::vector<std::string>& calls() const { return sync_->calls; }
  std::string Log() { return ReadAll(logger_.path()); }
  int Status() { return settings_.GetInt("syncstatus", 0); }

  TempDir dir_;
  Registry registry_{dir_ / "registry"};
  FakeClock clock_{1796858716};
  OsFacts facts_;
  Logger logger_{dir_ / "tarvex.log", FileSystem::Native(), clock_};
  Settings settings_{registry_, FileSystem::Native(), clock_, facts_, logger_};
  ScriptedPrompt prompt_;
  RecordingOpener opener_;
  ScopedScript script_;
  std::shared_ptr<RecordingSync::Log> sync_ = std::make_shared<RecordingSync::Log>();
  HWND window_;
  SystemTray tray_;
  // The account (nobody signed in), on a stored credential in memory.
  ScriptedTransport transport_;
  MemoryCredentialStore credentials_;
  ScriptedCredentialPrompt credentialPrompt_;
  CredentialPrompt* credentialPromptInUse_ = &credentialPrompt_;
  SyncContext context_{settings_, logger_, transport_, clock_, account_, prompt_};
  Account account_{context_, credentials_, credentialPromptInUse_};
  SyncScheduler scheduler_{SchedulerEnvironment{
      settings_, logger_, clock_, prompt_, opener_, tray_,
      [this](bool manual) { return std::make_unique<RecordingSync>(sync_, manual); }, &account_,
      dir_ / "run", 50}};
  HiddenWindow hidden_{
      WindowEnvironment{settings_, logger_, clock_, prompt_, opener_, scheduler_, tray_}};
};

}  // namespace tarvex::testing
