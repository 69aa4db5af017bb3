#include "app/launcher/Launcher.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "text/Text.h"

#ifndef TARVEX_PYTHON_PROGRAM
#define TARVEX_PYTHON_PROGRAM "/usr/bin/python3"
#endif
#ifndef TARVEX_PY_EXTRAS
#define TARVEX_PY_EXTRAS ""
#endif

namespace tarvex::launcher {
namespace {

// The source file's own name, as the Mac's messages give it.
std::string SourceName() {
  return std::filesystem::path(__FILE__).filename().string();
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string BaseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

[[noreturn]] void RunFailed(const std::string& script, int line) {
  throw InternalInconsistency(
      Format("%s:%d main() PyRun_SimpleFile failed with file '%s'.  See console for errors.",
             SourceName(), line, script));
}

}  // namespace

std::string ResourcesDir() {
  const char* given = std::getenv("TARVEX_RESOURCES");
  if (given && *given) return given;
  std::error_code ec;
  const auto program = std::filesystem::canonical("/proc/self/exe", ec);
  if (ec) return "Resources";
  return (program.parent_path().parent_path() / "Resources").string();
}

std::string LauncherPythonPath(const std::string& resources, const std::string& extras) {
  std::string path = resources + ":" + resources + "/PyObjC";
  if (!extras.empty()) path += ":" + extras;
  return path;
}

std::optional<std::string> FindMainScript(const std::string& resources) {
  for (const char* name : {"main.py", "main.pyc", "main.pyo"}) {
    const std::string path = resources + "/" + name;
    if (IsRegularFile(path)) return path;
  }
  return std::nullopt;
}

int RunLauncher(int argc, char** argv) {
  const std::string resources = ResourcesDir();
  ::setenv("PYTHONPATH", LauncherPythonPath(resources, TARVEX_PY_EXTRAS).c_str(), 1);

  const auto script = FindMainScript(resources);
  if (!script)
    throw InternalInconsistency(Format(
        "%s:%d main() Failed to find the Main.{py,pyc,pyo} file in the application wrapper's "
        "Resources directory.",
        SourceName(), __LINE__));

  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  // The agent's arguments are the script's, never the interpreter's options.
  config.parse_argv = 0;
  PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, TARVEX_PYTHON_PROGRAM);
  if (!PyStatus_Exception(status)) status = PyConfig_SetBytesArgv(&config, argc, argv);
  if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) {
    if (PyStatus_IsExit(status)) return status.exitcode;
    throw InternalInconsistency(Format("%s:%d main() Python did not start: %s", SourceName(),
                                       __LINE__,
                                       status.err_msg ? status.err_msg : "unknown error"));
  }

  std::FILE* fp = std::fopen(script->c_str(), "r");
  if (!fp) {
    std::fprintf(stderr, "%s: %s\n", script->c_str(), std::strerror(errno));
    RunFailed(*script, __LINE__);
  }
  // Python 3 knows a compiled script by its ".pyc" name or, when it may
  // close the file itself, by its magic number: a main.pyo is compiled too.
  // It opens a compiled script again by the name it is given, so that name
  // is the full path; a source script runs under its bare file name.
  const bool compiled = !script->ends_with(".py");
  const std::string runName = compiled ? *script : BaseName(*script);
  const int result = PyRun_SimpleFileExFlags(fp, runName.c_str(), compiled ? 1 : 0, nullptr);
  if (!compiled) std::fclose(fp);
  if (result != 0) RunFailed(*script, __LINE__);
  return result;
}

}  // namespace tarvex::launcher
