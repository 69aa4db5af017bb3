// A program that asks one question, for the presenter tests:
//   dialog_helper PRESENTER STDERR_FILE TEXT
// shows TEXT in the system's message box (Yes/No) through the presenter
// TARVEX_PRESENTER=PRESENTER, its standard error stream going to
// STDERR_FILE, and prints the answer's id.
#include <cstdio>
#include <cstdlib>

#include "platform/win/Dialog.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: dialog_helper PRESENTER STDERR_FILE TEXT\n");
    return 2;
  }
  ::setenv("TARVEX_PRESENTER", argv[1], 1);
  if (!std::freopen(argv[2], "w", stderr)) return 3;
  const int answer = tarvex::MessageBox(argv[3], "Tarvex", tarvex::MB_YESNO);
  std::printf("%d\n", answer);
  return 0;
}
