// The process table as the pane looks at it: processes of one user found by
// their exact program name, started in a session of their own, signalled.
//
// A process's name is the last part of its first argument (from
// /proc/<pid>/cmdline), or, when that is empty, of the program its "exe"
// link names. The kernel's short name ("comm") is never used: it is cut at
// 15 characters, and "Tarvex for Safari" is longer. Processes that have
// ended but are not yet reaped (zombies) count as gone.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarvex::pane {

// The ids of the processes of `uid` named exactly `name`, ascending.
std::vector<pid_t> FindProcesses(const std::string& name, uid_t uid, const std::string& procRoot = "/proc");

// Sends `signal` to every process of `uid` named exactly `name`; answers how
// many were signalled.
int SignalProcesses(const std::string& name, uid_t uid, int signal, const std::string& procRoot = "/proc");

// Starts `program` with `arguments` in a new session, not as a child of
// this process (so nothing here has to wait for it). Answers "" or the
// error, naming the program.
std::string StartDetached(const std::string& program, const std::vector<std::string>& arguments = {});

}  // namespace tarvex::pane
