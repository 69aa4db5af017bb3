// The client's dialogs one after another, through the scheduler's own entry
// points, on the client's real services in a folder of their own and against
// the loopback sync service of the tests, for the browser test that answers
// them as a person would (and for a person who wants to see them):
//
//   dialogs_demo --dir DIR
//
// DIR (which must exist) gets the client's registry, user, runtime,
// Favorites, temporary and autostart folders. The presenter is the one
// TARVEX_PRESENTER names (the web page by default; its address goes to
// standard error). The service knows two users: "alice" (password
// "alice-pw", profiles "Work" and "Home", a few bookmarks), signed in at the
// start for this run only, as the program's -u and -p do, and "bob"
// ("bob-pw", the profile "Travel", an account reset: nothing synchronized
// yet).
//
// Once alice's Favorites were merged with the service's, it shows, in this
// order:
//   settings   the settings dialog (ShowSettings, with Advanced and back);
//   profiles   the sync profiles and the change of profile
//              (ShowSyncProfiles, the switch's syncs included);
//   conflict   a conflict between two versions of a Favorite
//              (AskVersionConflict; its answer names the side dropped);
//   wizard     the setup wizard and the ready-to-sync dialog after it, run
//              as the tray's wizard command runs it (HandleUIMessage).
// After each it prints one JSON line on standard output:
//   {"step":NAME,"result":ACTION (the conflict: "answer":TEXT, the wizard:
//    "status":SYNC STATUS after its action),"account":USER,
//    "settings":{NAME:VALUE of the settings key, as stored in the registry}}
// and each page the client opens in the browser as {"opened":URL}. It ends
// with 0 after the last step, 1 when something could not be set up.
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include <json/json.h>

#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/shell/FlowActions.h"
#include "ie/shell/Resources.h"
#include "ie/shell/SyncScheduler.h"
#include "ie/shell/SystemTray.h"
#include "ie/shell/dialogbox/CUIDialogBox.h"
#include "ie/sync/ClientServices.h"
#include "ie/sync/testing/FakeSyncService.h"
#include "nodeset/Json.h"
#include "nodeset/Node.h"
#include "platform/clock/Clock.h"
#include "platform/paths/PlatformConfig.h"
#include "platform/registry/Registry.h"
#include "platform/win/Presenter.h"
#include "platform/win/Window.h"

using namespace tarvex;
using tarvex::testing::FakeSyncService;

namespace {

namespace fs = std::filesystem;

// An insert of the service's: a bookmark (with `url`) or a folder.
Json::Value Insert(const std::string& id, const std::string& parent, const std::string& name,
                   const std::string& url = {}) {
  Json::Value command{Json::objectValue};
  command["action"] = "insert";
  command["nid"] = id;
  Json::Value& args = command["args"] = Json::Value(Json::objectValue);
  if (!parent.empty()) args["pnid"] = parent;
  if (!name.empty()) args["name"] = name;
  if (url.empty())
    args["ntype"] = "folder";
  else
    args["url"] = url;
  return command;
}

// A tree of the service: the root, then `inserts`.
Json::Value Tree(std::initializer_list<Json::Value> inserts) {
  Json::Value commands{Json::arrayValue};
  commands.append(Insert("ROOT", "", ""));
  for (const Json::Value& c : inserts) commands.append(c);
  return commands;
}

void Print(const Json::Value& line) {
  std::printf("%s\n", WriteCompactJson(line).c_str());
  std::fflush(stdout);
}

// The pages the client opens, told to the test instead of a browser.
class PrintingOpener : public UrlOpener {
 public:
  int Open(const std::string& url) override {
    Json::Value line{Json::objectValue};
    line["opened"] = url;
    Print(line);
    return 33;
  }
};

// The time of day, a second later at each reading. The scheduler and the
// change of profile tell that a sync committed by a later "lastsync", which
// counts whole seconds: two commits within one second (a person quicker
// than that, a switch's sync and download) would look like one.
class SteppingClock : public Clock {
 public:
  int64_t Now() override { return start_ + steps_.fetch_add(1); }

 private:
  const int64_t start_ = Clock::System().Now();
  std::atomic<int64_t> steps_{0};
};

// The settings key as the registry holds it on disk now.
Json::Value StoredSettings(const std::string& registryDir) {
  Registry registry(registryDir);
  std::vector<Registry::Value> values;
  Json::Value out{Json::objectValue};
  if (registry.EnumValues(Hive::CurrentUser, kSettingsKey, &values) != 0) return out;
  for (const Registry::Value& v : values) {
    std::string text;
    if (v.type == REG_SZ && registry.ReadString(Hive::CurrentUser, kSettingsKey, v.name, &text) == 0)
      out[v.name] = text;
  }
  return out;
}

int Usage() {
  std::fprintf(stderr, "usage: dialogs_demo --dir DIR\n");
  return 2;
}

int Run(const std::string& dir) {
  PlatformConfig config = PlatformConfig::FromEnvironment();
  config.registryDir = dir + "/registry";
  config.autostartDir = dir + "/autostart";
  config.tempDir = dir + "/tmp";
  config.runtimeDir = dir + "/run";
  config.favoritesDir = dir + "/Favorites";
  const std::string userDir = dir + "/user";
  for (const std::string& folder : {config.registryDir, config.autostartDir, config.tempDir,
                                    config.runtimeDir, config.favoritesDir, userDir}) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
      std::fprintf(stderr, "dialogs_demo: cannot make %s: %s\n", folder.c_str(),
                   ec.message().c_str());
      return 1;
    }
    ::chmod(folder.c_str(), 0700);
  }
  PlatformConfig::SetCurrent(config);

  FakeSyncService service;
  service.AddUser("alice", "alice-pw");
  service.AddUser("bob", "bob-pw");
  service.SeedTree("alice", Tree({Insert("a1", "ROOT", "Debian", "https://www.debian.org/"),
                                  Insert("a2", "ROOT", "News", "https://news.example/")}));
  service.SetProfile("alice", "Work", 1,
                     Tree({Insert("w1", "ROOT", "Intranet", "https://intranet.example/")}));
  service.SetProfile("alice", "Home", 2,
                     Tree({Insert("h1", "ROOT", "Recipes", "https://recipes.example/")}));
  service.SetProfile("bob", "Travel", 3,
                     Tree({Insert("t1", "ROOT", "Trains", "https://trains.example/")}));
  // As the service tells a user it holds nothing for: the first computer
  // uploads.
  service.SetReset("bob", true);

  // The client's settings, as an earlier run leaves them.
  {
    Registry registry(config.registryDir);
    auto store = [&](const char* name, const std::string& value) {
      return registry.WriteString(Hive::CurrentUser, kSettingsKey, name, value);
    };
    uint32_t rc = store("userdir", userDir);
    for (const char* host : {"server", "authserver", "cloudserver", "downloadserver", "webserver"})
      rc = rc ? rc : store(host, service.BaseUrl());
    rc = rc ? rc : store("machineid", "dialogs-demo");
    rc = rc ? rc : store("backedup", "true");
    if (rc) {
      std::fprintf(stderr, "dialogs_demo: cannot write the settings [%u]\n", rc);
      return 1;
    }
  }

  InstallDialogBoxPrompt();
  PrintingOpener opener;
  SteppingClock clock;
  ClientOptions options = ClientOptions::Program();
  options.opener = &opener;
  options.clock = &clock;
  ClientServices services(std::move(options));
  services.InstallAsProcess();
  InstallShellResources();

  const HWND window = CreateLocalWindow("hidden", [](const HWND&, uint32_t, uint64_t, int64_t) {
    return int64_t{0};
  });
  SystemTray tray;
  tray.SetWindow(window);
  SyncScheduler scheduler(ProgramSchedulerEnvironment(services, tray, config.runtimeDir));
  SyncScheduler::Process() = &scheduler;
  services.questions() = &scheduler;

  services.account().SetCredentials("alice", "alice-pw", false);
  // This computer has synchronized before: the service's Favorites first.
  scheduler.HandleUIMessage(kActionMergeServerFirst, true);

  auto report = [&](const char* step, const char* name, const Json::Value& value) {
    Json::Value line{Json::objectValue};
    line["step"] = step;
    line[name] = value;
    line["account"] = services.account().GetUserName();
    line["settings"] = StoredSettings(config.registryDir);
    Print(line);
  };
  report("start", "result", kActionMergeServerFirst);
  report("settings", "result", scheduler.ShowSettings());
  report("profiles", "result", scheduler.ShowSyncProfiles());
  const Node local("b1", {{"ntype", "bookmark"},
                          {"name", "News <today>"},
                          {"url", "https://news.example/today"},
                          {"description", "Morning read & more"}});
  const Node server("b1", {{"ntype", "bookmark"},
                           {"name", "News"},
                           {"url", "https://news.example/"},
                           {"description", ""}});
  report("conflict", "answer", scheduler.AskVersionConflict(local, server));
  scheduler.HandleUIMessage(kActionWizard, true);
  report("wizard", "status", services.settings().GetInt("syncstatus", 0));

  DestroyWindow(window);
  SyncScheduler::Process() = nullptr;
  // The page goes before the services do.
  SetPresenter(std::make_shared<NullPresenter>());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "--dir") != 0 || argv[2][0] == '\0') return Usage();
  try {
    return Run(argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dialogs_demo: %s\n", e.what());
    return 1;
  }
}
