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

// Pipes to a started program's standard input and from its standard output.
// The caller asks for either or both, and owns (and closes) the ends it gets;
// a stream not asked for is the caller's own, inherited.
struct ProcessPipes {
  bool toInput = false;
  bool fromOutput = false;
  int input = -1;   // written by the caller, read by the program
  int output = -1;  // written by the program, read by the caller
};

// StartProcess with the pipes `pipes` asks for; on failure no end is left
// open and both stay -1.
uint32_t StartProcess(const std::vector<std::string>& argv, int* pid, ProcessPipes& pipes);

// Waits for a process started by StartProcess; its exit code, or -1 when it
// did not exit normally.
int WaitForProcess(int pid);

// The path of the running program ("" when it cannot be found).
std::string SelfExecutablePath();

// True when `name` is a runnable program on PATH.
bool IsOnPath(const std::string& name);

}  // namespace tarvex
