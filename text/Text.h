// Text helpers shared by every part of Tarvex: UTF-8 is the text of the
// program; UTF-16 appears only where a rule is defined in UTF-16 terms.
// Pure functions, no dependencies; they never throw on bad input.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tarvex {

// ---- UTF-8 <-> UTF-16 -------------------------------------------------------
// Invalid UTF-8 and lone surrogates become U+FFFD. The result ends at the first
// NUL of the input, as the platform's converters do on NUL-terminated text.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Same conversions under the names the rest of the client uses.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);
// Decodes the whole buffer, NULs included (for readers of files that may
// hold them); invalid input becomes U+FFFD.
std::u16string Utf8ToUtf16Whole(std::string_view text);
std::string Utf16ToUtf8Whole(std::u16string_view text);

// True when every byte sequence of `text` is valid UTF-8 (NULs included).
bool IsValidUtf8(std::string_view text);

// Text as the program keeps it: valid UTF-8 up to the first NUL, with
// invalid sequences replaced by U+FFFD (what a round trip through UTF-16
// gives).
std::string SanitizeUtf8(std::string_view text);

// Decodes one code point at `pos` (advancing it); invalid input yields U+FFFD
// and advances by one byte at least.
char32_t DecodeUtf8(std::string_view text, size_t& pos);
void AppendUtf8(std::string& out, char32_t cp);

// Orders two UTF-8 texts by their UTF-16 code units (as the original
// platform's ordinal comparisons do): <0, 0 or >0.
int CompareUtf16(std::string_view a, std::string_view b);
struct Utf16Less {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return CompareUtf16(a, b) < 0; }
};
// Length of the text in UTF-16 code units.
size_t Utf16Length(std::string_view text);
// The longest prefix of at most `units` UTF-16 code units; never splits a
// character.
std::string CutUtf16(std::string_view text, size_t units);

// ---- White space and trimming ----------------------------------------------
// The Unicode White_Space characters: U+0009..U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool IsWhiteSpace(char32_t cp);
std::string Trim(std::string_view text);
// Trims every leading and trailing occurrence of the code point `cp`.
std::string TrimCodePoint(std::string_view text, char32_t cp);
// ASCII-only lower case (for case-insensitive names and schemes).
std::string AsciiLower(std::string_view text);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
bool StartsWith(std::string_view text, std::string_view prefix);
// `text` with every `from` replaced by `to`, from the left; what a
// replacement put in is not searched again. An empty `from` leaves the text
// as it is.
std::string ReplaceAll(std::string text, std::string_view from, std::string_view to);
// Whether `url` begins with "http://" or "https://"; a scheme in capitals
// counts only with `anyCase`.
bool IsWebAddress(std::string_view url, bool anyCase = true);

// ---- Numbers ----------------------------------------------------------------
// The leading decimal integer of a text: leading white space, an optional sign,
// ASCII digits; 0 when there are none; saturates at the int64 limits.
int64_t ParseLeadingInt(std::string_view text);
// The same, saturated to the 32-bit range.
int32_t ParseLeadingInt32(std::string_view text);
// Lower-case base-36 text of a number (negative numbers get a "-").
std::string ToBase36(int64_t value);

// ---- Formatting -------------------------------------------------------------
// A small type-safe printf: supports %s, %d, %i, %u, %x, %X, %ld, %lu, %lld,
// %llu, %lx, %08lx (flags, width and precision for numbers) and %%. Each
// argument is a string (for %s) or an integer; a string given for a number,
// or a number for %s, is written as its text. Missing arguments print nothing.
// The format must be one of our own texts, never text that came from outside.
class FormatArg {
 public:
  FormatArg(std::string_view s) : isText_(true), text_(s) {}
  FormatArg(const std::string& s) : isText_(true), text_(s) {}
  FormatArg(const char* s) : isText_(true), text_(s ? s : "") {}
  FormatArg(std::u16string_view s) : isText_(true), text_(Utf16ToUtf8(s)) {}
  FormatArg(bool b) : isText_(false), isSigned_(true), value_(b ? 1 : 0) {}
  template <typename T>
  requires std::is_integral_v<T> FormatArg(T v)
      : isText_(false), isSigned_(std::is_signed_v<T>), value_(static_cast<int64_t>(v)) {}

  bool isText_;
  bool isSigned_ = true;
  std::string text_;
  int64_t value_ = 0;
};
std::string FormatV(std::string_view format, const std::vector<FormatArg>& args);
template <typename... Args>
std::string Format(std::string_view format, const Args&... args) {
  return FormatV(format, std::vector<FormatArg>{FormatArg(args)...});
}

// ---- Encoding ---------------------------------------------------------------
// Two upper-case hex digits per byte.
std::string hex_encode(std::string_view bytes);

// Percent-encodes exactly the 22 reserved characters
// ! " # $ % & + , / : ; < = > ? @ [ ] \ ^ ` | as "%XX" (upper-case hex);
// every other character, space and non-ASCII included, is copied unchanged.
class CURLEncode {
 public:
  virtual ~CURLEncode() = default;
  std::string Encode(std::string_view text) const;
};
// Trims white space first when `trim`, then CURLEncode::Encode.
std::string URLEncodeString(std::string_view text, bool trim);

// ---- Titles -----------------------------------------------------------------
// Undoes the "__N" suffix that makes file names unique: when the last "_"
// stands at index 1 or later, the character before it is "_" and only ASCII
// digits (or nothing) follow, the text before that "__". A result that would
// be empty leaves the name unchanged (a title made only of a suffix is kept).
std::string StripUniqueSuffix(std::string_view name);

// Cleans a bookmark title: trims white space, then the filler character
// `filler` (the character that pads empty titles), then StripUniqueSuffix.
std::string TrimTitleWithFiller(std::string_view title, char32_t filler);

// ---- Command line -----------------------------------------------------------
// Switch table from a command line ("-q -u name1 -p"): name (without "-") to
// value ("" for a switch without one); the first occurrence of a name wins.
using SwitchTable = std::map<std::string, std::string>;
SwitchTable ParseCommandLine(std::string_view line);

// ---- Versions ---------------------------------------------------------------
// "1.3.5" -> [1, 3, 5]; "1..2" -> [1, 0, 2]; each piece is its leading integer.
std::vector<int64_t> VersionStrToIntVector(std::string_view version);
// -1, 0 or 1, comparing position by position (a missing position counts 0).
// Never throws.
int VersionStrCmp(std::string_view a, std::string_view b);

}  // namespace tarvex
