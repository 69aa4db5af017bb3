// The shell's "open" as the Windows programs use it, made safe: it opens
// http and https addresses in the user's browser (the desktop's opener) and
// starts programs given by their full path, each with an argument vector,
// so no text ever reaches a shell. Anything else (another scheme, a
// relative name, a document) is refused: text from the service or a page
// never becomes a local file or program to open.
//
// As ShellExecute does, it returns a value above 32 on success, else
// SE_ERR_FNF (2, no such program), SE_ERR_ACCESSDENIED (5, refused or not
// runnable) or SE_ERR_NOASSOC (31, no opener on this machine).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarvex {

inline constexpr intptr_t SE_ERR_FNF = 2;
inline constexpr intptr_t SE_ERR_ACCESSDENIED = 5;
inline constexpr intptr_t SE_ERR_NOASSOC = 31;

// `verb` "open" (or empty); `params`, when not empty, is the program's one
// argument.
intptr_t ShellExecute(const std::string& verb, const std::string& file,
                      const std::string& params = {});

// Whether `text` is an http or https address ShellExecute opens (the scheme
// in any case, no control character or space).
bool IsOpenableAddress(const std::string& text);

// What ShellExecute would start, handed to a test instead: `page` tells an
// address for the browser from a program's argument vector. Empty: the
// real thing.
using ShellHook = std::function<intptr_t(bool page, const std::vector<std::string>& argv)>;
void SetShellHook(ShellHook hook);

}  // namespace tarvex
