// Posts commands to a window of another process for the window tests:
// finds the class, posts COUNT WM_COMMAND messages with wParam 1..COUNT, and
// exits 0, or 1 when the window is not found, 2 when a post fails.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win/Window.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: window_poster RUNTIME_DIR CLASS COUNT\n");
    return 3;
  }
  const auto window = tarvex::FindWindow(argv[2], argv[1]);
  if (!window) return 1;
  const int count = std::atoi(argv[3]);
  for (int i = 1; i <= count; ++i)
    if (tarvex::PostMessage(*window, tarvex::WM_COMMAND, static_cast<uint64_t>(i), 0) != 0)
      return 2;
  return 0;
}
