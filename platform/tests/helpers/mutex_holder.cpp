// Takes a named mutex for a test in another process: prints what the wait
// gave ("0" or "128"), then holds the mutex until its standard input ends,
// releases it (unless the test kills it first) and exits 0.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/win/NamedMutex.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: mutex_holder RUNTIME_DIR NAME\n");
    return 2;
  }
  std::shared_ptr<tarvex::NamedMutex> mutex;
  if (tarvex::NamedMutex::Open(argv[2], &mutex, argv[1]) != 0) return 3;
  const uint32_t got = mutex->Wait(tarvex::INFINITE);
  std::printf("%u\n", got);
  std::fflush(stdout);
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  return mutex->Release() == 0 ? 0 : 4;
}
