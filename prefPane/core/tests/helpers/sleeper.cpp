// Stands for the agent in the runner's tests: started under the agent's
// name (a link to this program), it waits for a signal. With
// PANE_SLEEPER_IGNORE_TERM set it ignores SIGTERM, as an agent that will
// not quit. It ends by itself after a minute, so no test leaves it behind.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

int main() {
  if (getenv("PANE_SLEEPER_IGNORE_TERM")) signal(SIGTERM, SIG_IGN);
  alarm(60);
  for (;;) pause();
}
