#include "platform/win/Shell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "platform/Win32Error.h"
#include "platform/process/Process.h"
#include "platform/ui/Desktop.h"
#include "text/Text.h"

namespace tarvex {
namespace {

std::mutex& HookLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}
ShellHook& Hook() {
  static ShellHook* hook = new ShellHook;
  return *hook;
}

}  // namespace

bool IsOpenableAddress(const std::string& text) {
  if (!IsWebAddress(text) || text.size() == text.find("://") + 3) return false;
  for (unsigned char c : text)
    if (c <= 0x20 || c == 0x7F) return false;
  return true;
}

void SetShellHook(ShellHook hook) {
  std::lock_guard<std::mutex> guard(HookLock());
  Hook() = std::move(hook);
}

intptr_t ShellExecute(const std::string& verb, const std::string& file, const std::string& params) {
  if (!verb.empty() && verb != "open") return SE_ERR_ACCESSDENIED;
  ShellHook hook;
  {
    std::lock_guard<std::mutex> guard(HookLock());
    hook = Hook();
  }
  if (IsOpenableAddress(file)) {
    if (hook) return hook(true, {file});
    const int rc = OpenWithDesktop(file);
    if (rc > 32) return rc;
    return rc == static_cast<int>(win32::ERROR_GEN_FAILURE) ? SE_ERR_NOASSOC : SE_ERR_FNF;
  }
  // A program by its full path, nothing else.
  if (file.empty() || file[0] != '/') return SE_ERR_ACCESSDENIED;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return SE_ERR_FNF;
  if (!S_ISREG(st.st_mode) || ::access(file.c_str(), X_OK) != 0) return SE_ERR_ACCESSDENIED;
  std::vector<std::string> argv{file};
  if (!params.empty()) argv.push_back(params);
  if (hook) return hook(false, argv);
  int pid = -1;
  const uint32_t rc = StartProcess(argv, &pid);
  if (rc == win32::ERROR_FILE_NOT_FOUND) return SE_ERR_FNF;
  if (rc != 0) return SE_ERR_ACCESSDENIED;
  // Reaped when it ends, so no zombie stays behind.
  std::thread([pid] { WaitForProcess(pid); }).detach();
  return 42;
}

}  // namespace tarvex
