#include <gtest/gtest.h>

#include "ie/foundation/core/WindowsFacts.h"
#include "platform/Win32Error.h"

namespace tarvex {
namespace {

OsFacts WithVersion(bool ok, unsigned major, unsigned minor) {
  OsFacts facts;
  facts.version = {ok, major, minor};
  return facts;
}

TEST(WindowsFacts, VersionTextAndVistaTest) {
  struct Case {
    OsFacts facts;
    const char* text;
    bool vista;
  } cases[] = {
      {WithVersion(true, 5, 1), "5.1", false},
      {WithVersion(true, 6, 0), "6.0", true},
      {WithVersion(true, 6, 1), "6.1", true},
      {WithVersion(false, 6, 1), "[unknown]", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetWindowsVersion(c.facts), c.text);
    EXPECT_EQ(IsVistaOrLater(c.facts), c.vista) << c.text;
  }
}

TEST(WindowsFacts, TrimTitleUsesTheFillerOfTheVersion) {
  OsFacts xp = WithVersion(true, 5, 1), seven = WithVersion(true, 6, 1);
  struct Case {
    const OsFacts& facts;
    const char* title;
    const char* trimmed;
  } cases[] = {
      {seven, "  News__12 ", "News"},
      {seven, "\u200B\u200BNews\u200B", "News"},
      {xp, "\u200BNews", "\u200BNews"},  // not the filler before Vista
      {xp, "\u00A0News\u00A0", "News"},
      {seven, "\u3000Folder__", "Folder"},
      {seven, "A_3", "A_3"},
      {seven, "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TrimTitle(c.title, c.facts), c.trimmed) << c.title;
}

TEST(WindowsFacts, ProtectedModeCacheKeepsOnlyDefiniteAnswers) {
  OsFacts facts;
  int calls = 0;
  int32_t next = win32::E_FAIL;
  facts.protectedModeFunction = [&](bool* answer) {
    ++calls;
    *answer = true;
    return next;
  };
  ProtectedModeCache cache;
  bool answer = false;
  EXPECT_EQ(cache.Query(facts, &answer), win32::E_FAIL);
  EXPECT_EQ(cache.Query(facts, &answer), win32::E_FAIL);
  EXPECT_EQ(calls, 2);  // failures are asked again

  next = win32::S_OK;
  EXPECT_EQ(cache.Query(facts, &answer), win32::S_OK);
  answer = false;
  EXPECT_EQ(cache.Query(facts, &answer), win32::S_OK);
  EXPECT_TRUE(answer);
  EXPECT_EQ(calls, 3);  // cached
}

TEST(WindowsFacts, MissingProtectedModeTestAnswersFalse) {
  OsFacts facts;  // the browser's library has no such function
  ProtectedModeCache cache;
  bool answer = true;  // whatever the caller had
  EXPECT_EQ(cache.Query(facts, &answer), win32::E_NOTIMPL);
  EXPECT_FALSE(answer);
  bool later = true;
  EXPECT_EQ(cache.Query(facts, &later), win32::E_NOTIMPL);
  EXPECT_FALSE(later);
}

}  // namespace
}  // namespace tarvex
