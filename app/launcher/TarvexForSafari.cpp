// Tarvex for Safari: the agent's program. It runs the bundle's main script;
// a start that cannot go on is told on standard error and ends with 1.
#include <cstdio>

#include "app/launcher/Launcher.h"

int main(int argc, char** argv) {
  try {
    return tarvex::launcher::RunLauncher(argc, argv);
  } catch (const tarvex::launcher::InternalInconsistency& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
