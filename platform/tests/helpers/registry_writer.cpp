// A second process for RegistryTest: writes `count` distinct values into one
// shared key of the current user's hive and reads each back.
//
//   registry_writer <folder> <process-number> <count>
//
// The values are "p<process>_v<i>" holding the REG_SZ text
// "value <i> of process <process>"; every tenth one is written inside a
// Transaction. Exit code 0 when every write and read-back succeeded, 1 on the
// first failure (described on stderr), 2 on bad arguments.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry/Registry.h"

namespace {

constexpr const char* kKey = "Software\\Tarvex\\Stress";

std::string Name(int proc, int i) {
  return "p" + std::to_string(proc) + "_v" + std::to_string(i);
}
std::string Data(int proc, int i) {
  return "value " + std::to_string(i) + " of process " + std::to_string(proc);
}

int Failed(const char* what, int proc, int i, uint32_t code) {
  std::fprintf(stderr, "registry_writer %d: %s of value %d failed with %u\n", proc, what, i,
               static_cast<unsigned>(code));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: registry_writer <folder> <process-number> <count>\n");
    return 2;
  }
  const int proc = std::atoi(argv[2]);
  const int count = std::atoi(argv[3]);
  tarvex::Registry registry(argv[1]);
  const auto hive = tarvex::Hive::CurrentUser;

  for (int i = 0; i < count; ++i) {
    uint32_t rc;
    if (i % 10 == 9) {
      rc = registry.Transaction(
          hive, [&] { return registry.WriteString(hive, kKey, Name(proc, i), Data(proc, i)); });
    } else {
      rc = registry.WriteString(hive, kKey, Name(proc, i), Data(proc, i));
    }
    if (rc != 0) return Failed("write", proc, i, rc);
    std::string back;
    rc = registry.ReadString(hive, kKey, Name(proc, i), &back);
    if (rc != 0) return Failed("read", proc, i, rc);
    if (back != Data(proc, i)) return Failed("read-back compare", proc, i, 0);
  }
  for (int i = 0; i < count; ++i) {
    std::string back;
    uint32_t rc = registry.ReadString(hive, kKey, Name(proc, i), &back);
    if (rc != 0) return Failed("final read", proc, i, rc);
    if (back != Data(proc, i)) return Failed("final compare", proc, i, 0);
  }
  return 0;
}
