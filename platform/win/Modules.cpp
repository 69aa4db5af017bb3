#include "platform/win/Modules.h"

#include <mutex>

#include "platform/Win32Error.h"
#include "platform/win/Window.h"

namespace tarvex {

struct Module {
  std::map<std::string, ProcAddress> exports;  // lower-case names
};

namespace {

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

int FilterExport(uint32_t message, uint32_t action) {
  return ChangeWindowMessageFilter(message, action) ? 1 : 0;
}

std::map<std::string, Module> BuiltIn() {
  std::map<std::string, Module> modules;
  modules["user32.dll"].exports["changewindowmessagefilter"] =
      reinterpret_cast<ProcAddress>(&FilterExport);
  return modules;
}

std::mutex& Lock() {
  static auto* m = new std::mutex;
  return *m;
}
std::map<std::string, Module>& Modules() {
  static auto* modules = new std::map<std::string, Module>(BuiltIn());
  return *modules;
}

}  // namespace

HMODULE LoadLibrary(const std::string& name, uint32_t* error) {
  std::lock_guard<std::mutex> guard(Lock());
  auto it = Modules().find(Lower(name));
  if (error) *error = it == Modules().end() ? win32::ERROR_MOD_NOT_FOUND : win32::ERROR_SUCCESS;
  return it == Modules().end() ? nullptr : &it->second;
}

ProcAddress GetProcAddress(HMODULE module, const std::string& name, uint32_t* error) {
  ProcAddress found = nullptr;
  if (module) {
    std::lock_guard<std::mutex> guard(Lock());
    auto it = module->exports.find(Lower(name));
    if (it != module->exports.end()) found = it->second;
  }
  if (error) *error = found ? win32::ERROR_SUCCESS : win32::ERROR_PROC_NOT_FOUND;
  return found;
}

void SetModuleForTesting(const std::string& name,
                         const std::map<std::string, ProcAddress>* exports) {
  std::lock_guard<std::mutex> guard(Lock());
  if (!exports) {
    Modules().erase(Lower(name));
    return;
  }
  Module& module = Modules()[Lower(name)];
  module.exports.clear();
  for (const auto& [proc, fn] : *exports) module.exports[Lower(proc)] = fn;
}

void ResetModulesForTesting() {
  std::lock_guard<std::mutex> guard(Lock());
  Modules() = BuiltIn();
}

}  // namespace tarvex
