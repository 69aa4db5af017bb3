// Stands in for the client when the crash-report program restarts it:
// appends "<pid> <arguments...>" as a line to "started" in its own folder
// and, as the client does at once, a line to the log "tarvex.log" in the
// temporary folder of the environment (TARVEX_TEMP_DIR),
// takes the client's window ("TarvexSyncWindow", in the runtime folder of
// the environment) and keeps it until it is killed, its window gets
// WM_CLOSE, or a minute has passed.
//   stub_client --crash REPORTER DUMP
// instead crashes as the client does: with its window taken, it starts the
// report program with the dump, as its crash hook does, and ends a moment
// later (a crashing client takes a while to end, its window with it).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/process/Process.h"
#include "platform/win/Window.h"

using namespace tarvex;

int main(int argc, char** argv) {
  const std::string self = SelfExecutablePath();
  const std::string record = self.substr(0, self.rfind('/') + 1) + "started";
  if (std::FILE* f = std::fopen(record.c_str(), "a")) {
    std::fprintf(f, "%d", static_cast<int>(::getpid()));
    for (int i = 1; i < argc; ++i) std::fprintf(f, " %s", argv[i]);
    std::fprintf(f, "\n");
    std::fclose(f);
  }
  if (const char* temp = std::getenv("TARVEX_TEMP_DIR")) {
    if (std::FILE* log = std::fopen((std::string(temp) + "/tarvex.log").c_str(), "a")) {
      std::fprintf(log, "the client starts again\r\n");
      std::fclose(log);
    }
  }
  RegisterClass("TarvexSyncWindow", [](const HWND& window, uint32_t message, uint64_t, int64_t) {
    if (message == WM_CLOSE) {
      DestroyWindow(window);
      PostQuitMessage(0);
    }
    return int64_t{0};
  });
  HWND window;
  if (CreateWindow("TarvexSyncWindow", "stub client", &window) != 0) return 1;
  if (argc == 4 && std::string(argv[1]) == "--crash") {
    const pid_t reporter = ::fork();
    if (reporter == 0) {
      ::execl(argv[2], argv[2], argv[3], static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::usleep(500'000);
    std::_Exit(134);
  }
  SetTimer(window, 1, 60'000);
  MSG msg;
  while (GetMessage(&msg) > 0) {
    if (msg.message == WM_TIMER) break;
    DispatchMessage(msg);
  }
  return 0;
}
