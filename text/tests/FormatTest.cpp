#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "text/Text.h"

namespace tarvex {
namespace {

struct Case {
  std::string got;
  std::string want;
};

void ExpectAll(std::initializer_list<Case> cases) {
  int i = 0;
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << "case " << i++;
}

TEST(FormatTest, WritesTextAndDecimalArguments) {
  ExpectAll({
      {Format("TarvexException [source: %s, id: %d]: %s", "network", -10, "Unable"),
       "TarvexException [source: network, id: -10]: Unable"},
      {Format("no conversions"), "no conversions"},
      {Format(""), ""},
      {Format("%d%%", 5), "5%"},
      {Format("%%d"), "%d"},
      {Format("%i|%d", -3, 0), "-3|0"},
      {Format("%s", std::string("abc")), "abc"},
      {Format("%s", std::string_view("abc")), "abc"},
      {Format("%s", std::u16string_view(u"\u00E9")), "\xC3\xA9"},
      {Format("%s", static_cast<const char*>(nullptr)), ""},
      {Format("%d", std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
      {Format("%lld", std::numeric_limits<int64_t>::max()), "9223372036854775807"},
      {Format("%d", std::numeric_limits<uint64_t>::max()), "18446744073709551615"},
      {Format("%zu", size_t{7}), "7"},
      {Format("%hd", short{-3}), "-3"},
      {Format("%d %s", true, false), "1 0"},
  });
}

TEST(FormatTest, AppliesFlagsWidthAndPrecisionToNumbers) {
  ExpectAll({
      {Format("%5d|%-5d|%05d", 42, 42, 42), "   42|42   |00042"},
      {Format("%05d|%-05d", -42, -42), "-0042|-42  "},
      {Format("%+d|% d|%+d|% d", 5, 5, -5, -5), "+5| 5|-5|-5"},
      {Format("%+u", 5u), "5"},
      {Format("%.3d|%.0d|%.0d", 7, 0, 3), "007||3"},
      {Format("%08.3d", 7), "     007"},
      {Format("%6.3d", -7), "  -007"},
      {Format("%2d", 12345), "12345"},
      {Format("%08lx", 0x1fu), "0000001f"},
      {Format("%x|%X|%#x", 255, 255, 1), "ff|FF|%#x"},
      {Format("%04X", 0xabu), "00AB"},
  });
}

TEST(FormatTest, NegativeValuesUnderUnsignedConversionsUseTheModifierWidth) {
  ExpectAll({
      {Format("%u", -1), "4294967295"},
      {Format("%x", -1), "ffffffff"},
      {Format("%X", int64_t{-2}), "FFFFFFFE"},
      {Format("%lu", int64_t{-1}), "18446744073709551615"},
      {Format("%llx", -1), "ffffffffffffffff"},
      {Format("%zx", -16), "fffffffffffffff0"},
      {Format("%hx", -1), "ffffffff"},
      // Non-negative and unsigned values are never cut to 32 bits.
      {Format("%x", int64_t{1} << 40), "10000000000"},
      {Format("%u", uint64_t{1} << 40), "1099511627776"},
  });
}

TEST(FormatTest, MixesTextAndNumbersByTheArgumentType) {
  ExpectAll({
      {Format("%s", 42), "42"},
      {Format("%s", -42), "-42"},
      {Format("%s", std::numeric_limits<uint64_t>::max()), "18446744073709551615"},
      {Format("%d", "abc"), "abc"},
      {Format("%05x", "zz"), "zz"},
      {Format("%5s|%-5s|%.2s", "ab", "ab", "abcdef"), "   ab|ab   |ab"},
      {Format("%.1s|%3s",
              "\xC3\xA9"
              "a",
              "\xC3\xA9"),
       "\xC3\xA9|  \xC3\xA9"},
      {Format("%4s", 7), "   7"},
  });
}

TEST(FormatTest, NeverReinterpretsArgumentText) {
  ExpectAll({
      {Format("[%s]", std::string("a%sb")), "[a%sb]"},
      {Format("%s%s", "%d%n%%", "%s"), "%d%n%%%s"},
      {Format("%d", "%x"), "%x"},
  });
}

TEST(FormatTest, HandlesMissingExtraAndUnknownPieces) {
  ExpectAll({
      {Format("%s and %s", "a"), "a and "},
      {Format("<%d>"), "<>"},
      {Format("<%5d>"), "<>"},
      {Format("x", 1, 2), "x"},
      {Format("%d", 1, 2), "1"},
      {Format("%c%d", 7), "%c7"},
      {Format("%q %d", 3), "%q 3"},
      {Format("100%"), "100%"},
      {Format("abc%5"), "abc%5"},
      {Format("%l"), "%l"},
      {Format("%-"), "%-"},
  });
}

}  // namespace
}  // namespace tarvex
