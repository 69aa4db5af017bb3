// Another process of the user for the window tests:
//   window_helper post RUNTIME CLASS MESSAGE FIRST COUNT [low]
//     finds the class and posts COUNT messages with wParam FIRST.. in order
//     (as a low-integrity process with "low"); prints the Win32 code of the
//     first post that fails and exits 2, 1 when no window is found, else 0;
//   window_helper own RUNTIME CLASS
//     creates the window of the class, prints its Win32 code, then (when
//     it got it) prints "wParam" of each WM_COMMAND it takes until its
//     standard input ends or it is killed; WM_COMMAND 86 ends it at once
//     with exit code 86.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/win/Window.h"

using namespace tarvex;

int main(int argc, char** argv) {
  if (argc >= 7 && std::strcmp(argv[1], "post") == 0) {
    if (argc == 8 && std::strcmp(argv[7], "low") == 0) SetProcessIntegrity(Integrity::Low);
    const HWND window = FindWindow(argv[3], argv[2]);
    if (!window) return 1;
    const auto message = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));
    const uint64_t first = std::strtoull(argv[5], nullptr, 10);
    const int count = std::atoi(argv[6]);
    for (int i = 0; i < count; ++i) {
      if (uint32_t rc = PostMessage(window, message, first + static_cast<uint64_t>(i), 0)) {
        std::printf("%u\n", rc);
        return 2;
      }
    }
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "own") == 0) {
    RegisterClass(argv[3], [](const HWND&, uint32_t message, uint64_t wParam, int64_t) {
      if (message == WM_COMMAND && wParam == 86) ExitProcessAnswered(86);
      if (message == WM_COMMAND) {
        std::printf("%llu\n", static_cast<unsigned long long>(wParam));
        std::fflush(stdout);
      }
      return int64_t{0};
    });
    HWND window;
    const uint32_t rc = CreateWindow(argv[3], "helper", &window, argv[2]);
    std::printf("%u\n", rc);
    std::fflush(stdout);
    if (rc != 0) return 0;
    const uint32_t main = GetCurrentThreadId();
    std::thread([main] {
      char c;
      while (::read(0, &c, 1) > 0) {
      }
      PostThreadMessage(main, WM_QUIT, 0, 0);
    }).detach();
    MSG msg;
    while (GetMessage(&msg) > 0) DispatchMessage(msg);
    DestroyWindow(window);
    return 0;
  }
  std::fprintf(stderr, "usage: window_helper post|own ...\n");
  return 3;
}
