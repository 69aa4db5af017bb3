// Facts about the running system and the browser, and the title cleaning
// that depends on them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/osfacts/OsFacts.h"

namespace tarvex {

// "major.minor", or "[unknown]" when the version cannot be had.
std::string GetWindowsVersion(const OsFacts& facts = OsFacts::Process());
// True when the version is known and its major number is above 5.
bool IsVistaOrLater(const OsFacts& facts = OsFacts::Process());

// The browser's protected-mode test, cached: S_OK and E_NOTIMPL answers are
// kept for the rest of the run, other failures are asked again. When the
// browser does not provide the test the answer is false.
class ProtectedModeCache {
 public:
  int32_t Query(const OsFacts& facts, bool* answer);

 private:
  bool known_ = false;
  bool answer_ = false;
  int32_t result_ = 0;
};
// The process-wide cache over OsFacts::Process().
int32_t IsIEProtectedMode(bool* answer);

// The character that pads empty titles: U+00A0 before Vista, U+200B from
// Vista on.
char32_t FillerCharacter(const OsFacts& facts = OsFacts::Process());

// Trims white space, then the filler character, then StripUniqueSuffix.
std::string TrimTitle(std::string_view title, const OsFacts& facts = OsFacts::Process());

}  // namespace tarvex
