// The launcher of the Mac agent, "Tarvex for Safari": it finds the main
// script in the bundle's Resources folder and runs it in an embedded Python 3
// whose import path is that folder, with the agent's classes registered as
// the module tarvex_agent (and the objc shim) before the script starts.
//
// The bundle keeps the Mac's shape: <App>.app/Contents/MacOS/<program> and
// <App>.app/Contents/Resources/main.py. TARVEX_RESOURCES names another
// Resources folder (tests), so the program's own arguments stay untouched.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace tarvex::launcher {

// What the Mac raises as an internal inconsistency: the launcher cannot go
// on. main() prints its text and exits with 1.
class InternalInconsistency : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// $TARVEX_RESOURCES when set and not empty; otherwise the Resources folder
// beside the program's MacOS folder (symbolic links resolved).
std::string ResourcesDir();

// The import path: the Resources folder, its PyObjC folder and `extras`
// when it is not empty. An empty entry would put the current folder on the
// path, so none is ever written.
std::string LauncherPythonPath(const std::string& resources, const std::string& extras);

// The first of main.py, main.pyc and main.pyo in `resources` that is a
// regular file (names in lower case exactly).
std::optional<std::string> FindMainScript(const std::string& resources);

// The whole start: the import path replaced, the main script found, the
// interpreter started with argv passed through unchanged and the script run
// as __main__. Returns the script's result (0 when it ran to its end; a
// sys.exit(n) in the script ends the process with n). Throws
// InternalInconsistency when there is no main script, the interpreter does
// not start, the script cannot be opened or it fails.
int RunLauncher(int argc, char** argv);

}  // namespace tarvex::launcher
