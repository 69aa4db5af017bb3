// The end of the user's session as the Windows programs meet it: SIGTERM,
// SIGHUP (the session logging out, the service manager stopping the
// program) or SIGINT (Ctrl-C where a person started it) asks the top-level windows of the thread that installed this
// whether the session may end (WM_QUERYENDSESSION). A window that answers 0
// is asked again every `retryMs` until `giveUpMs` passed, since here the
// end cannot be refused for ever; then every window is told it ends
// (WM_ENDSESSION with 1) and the thread's loop is asked to quit.
#pragma once

#include <cstdint>

namespace tarvex {

struct SessionEndOptions {
  uint32_t retryMs = 1000;
  uint32_t giveUpMs = 20000;
};

// Call on the thread that runs the program's windows and loop. 0, or the
// Win32 code of what could not be set up.
uint32_t InstallSessionEnd(SessionEndOptions options = {});

}  // namespace tarvex
