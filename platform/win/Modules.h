// Functions the Windows programs look up at run time by module and name
// (LoadLibrary, GetProcAddress), because a system may lack them. Here the
// modules are a table of built-in stand-ins: "user32.dll" exports
// "ChangeWindowMessageFilter"; "ieframe.dll" is absent (no browser with a
// protected mode). Names are matched in any case. Tests replace entries to
// make each lookup fail as it would on a system without them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace tarvex {

using ProcAddress = void (*)();
struct Module;
using HMODULE = const Module*;

// The module, or null with ERROR_MOD_NOT_FOUND in `*error`.
HMODULE LoadLibrary(const std::string& name, uint32_t* error = nullptr);
// The function, or null with ERROR_PROC_NOT_FOUND in `*error`.
ProcAddress GetProcAddress(HMODULE module, const std::string& name, uint32_t* error = nullptr);
inline bool FreeLibrary(HMODULE module) {
  return module != nullptr;
}

// The exports of "user32.dll"'s ChangeWindowMessageFilter.
using ChangeWindowMessageFilterFn = int (*)(uint32_t message, uint32_t action);

// Replaces the module `name` by `exports` (name → function); an absent
// pointer removes it. Tests only.
void SetModuleForTesting(const std::string& name, const std::map<std::string, ProcAddress>* exports);
// Puts the built-in table back.
void ResetModulesForTesting();

}  // namespace tarvex
