// Runs Tarvex for Safari as a separate process, as a person or the system
// starts it: the tests' arguments, environment and current folder, its
// standard output and error kept apart, its exit code.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/Files.h"

namespace tarvex::testing {

struct LaunchOptions {
  std::vector<std::string> args;  // after the program's own path
  // Variables set (a value) or removed (nullopt) for the program only; the
  // rest of the environment is the test's.
  std::map<std::string, std::optional<std::string>> env;
  std::string cwd;        // "" keeps the test's
  bool asNobody = false;  // run as the user nobody when the test is root
  std::string program;    // "" is the launcher built in the bundle
};

struct LaunchResult {
  int exitCode = -1;  // -signal when it did not exit normally
  std::string out;
  std::string err;
};

// The embedded interpreter's own allocations are never freed (it is not
// finalised): the leak checker is given their suppression file.
LaunchResult Launch(const LaunchOptions& options);

}  // namespace tarvex::testing
