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
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
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

int main(int argc, char** argv) {
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
    ShowCrashDialog(context, dump);
  } catch (const std::exception& e) {
    // The program that reports crashes ends in order whatever it met.
    std::fprintf(stderr, "faultsend: %s\n", e.what());
  }
  return 0;
}
