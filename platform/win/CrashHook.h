// The crash hook of the Windows programs: when the process crashes
// (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, or std::terminate) it writes a
// dump file and starts the crash-report program with the dump's full path
// as its only argument, then lets the crash go on, so the process ends as
// it would have.
//
// Everything the handler needs is made when the hook is installed (the
// dump's path, the report program's argument vector, an alternate signal
// stack for the installing thread); the handler itself takes no lock,
// allocates nothing and makes only async-signal-safe calls. The dump is
// created exclusively, mode 0600; only the first crash of a process writes
// one, and a dump that could not be written starts no report.
//
// The dump is ours, text lines then raw bytes:
//   TARVEX-CRASH-DUMP 1
//   signal <number>
//   code <si_code>
//   address <fault address, 0x hex>
//   pid <process id>
//   register <name> <0x hex>          (one line each, where known)
//   stack <0x hex address> <byte count>
//   <that many bytes: the crashing thread's stack from its stack pointer>
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace tarvex {

// Installs the hook for the process: dumps go into `dumpDir` (an existing
// folder), and `reporter` (a full path, or empty for none) is started on
// each. 0, or the Win32 code of what failed.
uint32_t InstallCrashHook(const std::string& dumpDir, const std::string& reporter);
// The path the next dump will have (empty before InstallCrashHook).
std::string CrashDumpPath();

struct CrashDump {
  int signal = 0;
  int code = 0;
  uint64_t address = 0;
  int pid = 0;
  std::map<std::string, uint64_t> registers;
  uint64_t stackAddress = 0;
  std::string stack;  // the bytes
};

// Reads a dump; false (with `error`) when it is not one of ours.
bool ReadCrashDump(const std::string& text, CrashDump* dump, std::string* error);

}  // namespace tarvex
