// Posts a command to the running Tarvex client, as the browser's add-on
// does at the browser's start (1066) and as a person may:
//   tarvex-post [--low] [--msg 273|1125] COMMAND
// COMMAND goes in wParam of WM_COMMAND (273) or of the client's own command
// message (1125, the default); --low posts as a low-integrity process (a
// browser's protected mode), which the client lets through for 1125 only.
// Exit status: 0 posted, 1 Tarvex is not running, 2 the post failed, 3 a
// usage error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ie/shell/Resources.h"
#include "platform/Win32Error.h"
#include "platform/win/Window.h"

using namespace tarvex;

namespace {

bool Number(const char* text, uint64_t* out) {
  if (!*text) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(text, &end, 10);
  if (*end || errno || text[0] == '-') return false;
  *out = n;
  return true;
}

int Usage() {
  std::fprintf(stderr, "usage: tarvex-post [--low] [--msg 273|1125] COMMAND\n");
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t message = KVC_MESSAGE_COMMAND;
  uint64_t command = 0;
  bool haveCommand = false;
  for (int i = 1; i < argc; ++i) {
    uint64_t n = 0;
    if (std::strcmp(argv[i], "--low") == 0) {
      SetProcessIntegrity(Integrity::Low);
    } else if (std::strcmp(argv[i], "--msg") == 0 && i + 1 < argc && Number(argv[i + 1], &n) &&
               (n == WM_COMMAND || n == KVC_MESSAGE_COMMAND)) {
      message = static_cast<uint32_t>(n);
      ++i;
    } else if (!haveCommand && Number(argv[i], &n)) {
      command = n;
      haveCommand = true;
    } else {
      return Usage();
    }
  }
  if (!haveCommand) return Usage();
  const HWND window = FindWindow(kWindowClass);
  if (!window) {
    std::fprintf(stderr, "tarvex-post: Tarvex is not running\n");
    return 1;
  }
  if (uint32_t rc = PostMessage(window, message, command, 0)) {
    std::fprintf(stderr, "tarvex-post: the post failed [%u]: %s\n", rc,
                 win32::FormatMessage(rc).c_str());
    return 2;
  }
  return 0;
}
