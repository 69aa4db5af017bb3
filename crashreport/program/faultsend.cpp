// faultsend: the crash-report program. The client's crash hook starts it
// beside the client with the dump's full path:
//
//   faultsend <dump path>
//
// It tells the user that the client stopped, offers to restart it, and,
// unless the user clears "Send Crash Report To Tarvex", packs the dump, the
// client's log and a copy of its settings into an archive and posts it to
// the service's crash collector. Only a ".dmp" file directly in the user's
// private temporary folder is taken; anything else (or nothing) ends the
// program at once, showing nothing and touching nothing. When nobody can
// be asked (TARVEX_PRESENTER=null), nothing is sent. Always exits 0.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "crashreport/CrashReport.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/UserInteraction.h"
#include "ie/shell/dialogbox/CUIDialogBox.h"
#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"
#include "platform/http/HttpTransport.h"
#include "platform/paths/PlatformConfig.h"
#include "platform/process/Process.h"
#include "platform/registry/Registry.h"
#include "platform/win/Presenter.h"

using namespace tarvex;

namespace {

// The client's crash hook starts this program from the crashing process,
// which ends just after. While it ends, its window is still found.
std::function<void()> CrashedParentWait() {
  const pid_t parent = ::getppid();
  std::error_code ec;
  const std::filesystem::path exe =
      std::filesystem::read_symlink("/proc/" + std::to_string(parent) + "/exe", ec);
  if (ec || exe.filename() != "tarvexsync") return nullptr;
  return [parent] {
    // Once it has ended, this program has another parent. A client that
    // hangs in its end is given up on after a while.
    for (int waited = 0; ::getppid() == parent && waited < 10'000; waited += 20)
      ::usleep(20'000);
  };
}

}  // namespace

int main(int argc, char** argv) {
  const std::function<void()> awaitCrashedClient = CrashedParentWait();
  try {
    const std::string tempDir = GetTempDir();
    const std::string dump =
        AcceptedDumpPath(std::vector<std::string>(argv + 1, argv + argc), tempDir);
    if (dump.empty()) return 0;

    InstallDialogBoxPrompt();
    // An upload that stalls gives up rather than keep the program (and the
    // user's files) waiting.
    CurlOptions http;
    http.connectTimeoutMs = 30'000;
    http.totalTimeoutMs = 120'000;
    CurlTransport transport(http);
    CrashReportContext context{Registry::Process(),
                               FileSystem::Native(),
                               UserInteraction::Process(),
                               transport,
                               Clock::System(),
                               tempDir,
                               PlatformConfig::Current().runtimeDir,
                               SelfExecutablePath()};
    context.canAsk = std::dynamic_pointer_cast<NullPresenter>(CurrentPresenter()) == nullptr;
    context.awaitCrashedClient = awaitCrashedClient;
    ShowCrashDialog(context, dump);
  } catch (const std::exception& e) {
    // The program that reports crashes ends in order whatever it met.
    std::fprintf(stderr, "faultsend: %s\n", e.what());
  }
  return 0;
}
