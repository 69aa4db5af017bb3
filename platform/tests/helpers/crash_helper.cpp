// Crashes on purpose for the crash hook's tests: installs the hook with the
// dump folder and report program given, prints the dump's path, then
// crashes the way it is told: segv (a read of a page nobody may read, whose
// address it prints first), abort, terminate, or taken (segv with a file
// already where the dump goes, so no dump can be written).
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/win/CrashHook.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: crash_helper DUMP_DIR REPORTER segv|abort|terminate|taken\n");
    return 2;
  }
  if (tarvex::InstallCrashHook(argv[1], argv[2]) != 0) return 3;
  std::printf("%s\n", tarvex::CrashDumpPath().c_str());
  void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  std::printf("%llx\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(page)));
  std::fflush(stdout);
  if (std::strcmp(argv[3], "taken") == 0) {
    std::FILE* f = std::fopen(tarvex::CrashDumpPath().c_str(), "w");
    if (f) std::fclose(f);
    return *static_cast<volatile int*>(page);
  }
  if (std::strcmp(argv[3], "segv") == 0) return *static_cast<volatile int*>(page);
  if (std::strcmp(argv[3], "abort") == 0) std::abort();
  if (std::strcmp(argv[3], "terminate") == 0) throw std::runtime_error("nobody catches this");
  return 0;
}
