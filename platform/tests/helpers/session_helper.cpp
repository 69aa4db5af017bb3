// A program whose window refuses the end of the session a number of times,
// for the session-end tests:
//   session_helper REFUSALS
// prints "ready" once it runs, then "query" for each WM_QUERYENDSESSION
// (answering 0 the first REFUSALS times), "end N" for WM_ENDSESSION, and
// "quit" when its loop ended; it retries every 10 ms and gives up after
// 300 ms.
#include <cstdio>
#include <cstdlib>

#include "platform/win/SessionEnd.h"
#include "platform/win/Window.h"

using namespace tarvex;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  int refusals = std::atoi(argv[1]);
  if (InstallSessionEnd({10, 300}) != 0) return 3;
  RegisterClass("SessionTest", [&](const HWND&, uint32_t m, uint64_t wParam, int64_t) {
    if (m == WM_QUERYENDSESSION) {
      std::printf("query\n");
      std::fflush(stdout);
      return int64_t{refusals-- > 0 ? 0 : 1};
    }
    if (m == WM_ENDSESSION) {
      std::printf("end %llu\n", static_cast<unsigned long long>(wParam));
      std::fflush(stdout);
    }
    return int64_t{0};
  });
  HWND window;
  if (CreateWindow("SessionTest", "session", &window) != 0) return 4;
  std::printf("ready\n");
  std::fflush(stdout);
  MSG msg;
  while (GetMessage(&msg) > 0) DispatchMessage(msg);
  std::printf("quit\n");
  DestroyWindow(window);
  return 0;
}
