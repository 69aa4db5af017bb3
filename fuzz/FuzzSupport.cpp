#include "fuzz/FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "platform/testing/TempDir.h"

namespace tarvex::fuzz {

void Broken(std::string_view invariant, std::string_view detail) {
  std::fprintf(stderr, "invariant broken: %.*s\n", static_cast<int>(invariant.size()),
               invariant.data());
  if (!detail.empty())
    std::fprintf(stderr, "%.*s\n", static_cast<int>(detail.size()), detail.data());
  std::fflush(stderr);
  std::abort();
}

const std::string& WorkDir() {
  static testing::TempDir dir;
  return dir.path();
}

void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace tarvex::fuzz
