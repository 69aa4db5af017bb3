#include "ie/foundation/core/WindowsFacts.h"

#include <mutex>

#include "text/Text.h"
#include "platform/Win32Error.h"

namespace tarvex {

std::string GetWindowsVersion(const OsFacts& facts) {
  if (!facts.version.ok) return "[unknown]";
  return Format("%u.%u", facts.version.major, facts.version.minor);
}

bool IsVistaOrLater(const OsFacts& facts) {
  return facts.version.ok && facts.version.major > 5;
}

int32_t ProtectedModeCache::Query(const OsFacts& facts, bool* answer) {
  if (known_) {
    if (answer) *answer = answer_;
    return result_;
  }
  bool value = false;
  int32_t hr = win32::E_NOTIMPL;
  if (facts.protectedModeFunction) hr = facts.protectedModeFunction(&value);
  if (hr == win32::S_OK || hr == win32::E_NOTIMPL) {
    known_ = true;
    // A missing function means the browser has no protected mode.
    answer_ = hr == win32::S_OK ? value : false;
    result_ = hr;
    if (answer) *answer = answer_;
  } else if (answer) {
    *answer = value;
  }
  return hr;
}

int32_t IsIEProtectedMode(bool* answer) {
  static std::mutex* mutex = new std::mutex;
  static ProtectedModeCache* cache = new ProtectedModeCache;
  std::lock_guard<std::mutex> lock(*mutex);
  return cache->Query(OsFacts::Process(), answer);
}

char32_t FillerCharacter(const OsFacts& facts) {
  return IsVistaOrLater(facts) ? U'\u200B' : U'\u00A0';
}

std::string TrimTitle(std::string_view title, const OsFacts& facts) {
  return TrimTitleWithFiller(title, FillerCharacter(facts));
}

}  // namespace tarvex
