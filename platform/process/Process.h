// Starting programs. Programs are always started with an argument vector,
// never through a shell, so no argument is ever interpreted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvex {

// Starts argv[0] (looked up on PATH when it holds no "/") with the given
// arguments and does not wait. Returns 0, or a Win32 code: ERROR_FILE_NOT_FOUND
// when the program does not exist, ERROR_ACCESS_DENIED when it cannot be
// run, ERROR_GEN_FAILURE otherwise. `pid` receives the process id.
uint32_t StartProcess(const std::vector<std::string>& argv, int* pid = nullptr);

// Waits for a process started by StartProcess; its exit code, or -1 when it
// did not exit normally.
int WaitForProcess(int pid);

// The path of the running program ("" when it cannot be found).
std::string SelfExecutablePath();

// True when `name` is a runnable program on PATH.
bool IsOnPath(const std::string& name);

}  // namespace tarvex
