// Trimming, case, numbers, encodings, titles, command lines and versions.
#include "text/Text.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace tarvex {
namespace {

bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

char AsciiLowerChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char kUpperHex[] = "0123456789ABCDEF";

}  // namespace

// ---- White space and trimming ----------------------------------------------

bool IsWhiteSpace(char32_t cp) {
  if (cp >= 0x09 && cp <= 0x0D) return true;
  if (cp >= 0x2000 && cp <= 0x200A) return true;
  switch (cp) {
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return false;
  }
}

std::string Trim(std::string_view text) {
  // Walk the code points once: keep from the start of the first one that is
  // not white space to the end of the last one that is not.
  size_t begin = text.size();
  size_t end = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    if (!IsWhiteSpace(DecodeUtf8(text, pos))) {
      if (begin == text.size()) begin = start;
      end = pos;
    }
  }
  if (begin >= end) return std::string();
  return std::string(text.substr(begin, end - begin));
}

std::string TrimCodePoint(std::string_view text, char32_t cp) {
  // A valid UTF-8 sequence starts with a lead byte, so matching its bytes at
  // either end never cuts into another character.
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::string(text);
  std::string encoded;
  AppendUtf8(encoded, cp);
  std::string_view rest = text;
  while (rest.starts_with(encoded)) rest.remove_prefix(encoded.size());
  while (rest.ends_with(encoded)) rest.remove_suffix(encoded.size());
  return std::string(rest);
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLowerChar(c);
  return out;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLowerChar(a[i]) != AsciiLowerChar(b[i])) return false;
  }
  return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.starts_with(prefix);
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  for (size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size()))
    text.replace(pos, from.size(), to);
  return text;
}

bool IsWebAddress(std::string_view url, bool anyCase) {
  const std::string lower = anyCase ? AsciiLower(url.substr(0, 8)) : std::string(url.substr(0, 8));
  return StartsWith(lower, "http://") || StartsWith(lower, "https://");
}

// ---- Numbers ----------------------------------------------------------------

int64_t ParseLeadingInt(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    if (!IsWhiteSpace(DecodeUtf8(text, pos))) {
      pos = start;
      break;
    }
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  // The magnitude saturates at 2^63, the largest one any int64 needs.
  constexpr uint64_t kLimit = uint64_t{1} << 63;
  uint64_t magnitude = 0;
  for (; pos < text.size() && IsAsciiDigit(text[pos]); ++pos) {
    const auto digit = static_cast<uint64_t>(text[pos] - '0');
    magnitude = magnitude > (kLimit - digit) / 10 ? kLimit : magnitude * 10 + digit;
  }
  if (negative) {
    if (magnitude >= kLimit) return std::numeric_limits<int64_t>::min();
    return -static_cast<int64_t>(magnitude);
  }
  if (magnitude >= kLimit) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(magnitude);
}

int32_t ParseLeadingInt32(std::string_view text) {
  int64_t value = ParseLeadingInt(text);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

std::string ToBase36(int64_t value) {
  constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  uint64_t magnitude =
      value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string out;
  do {
    out.insert(out.begin(), kDigits[magnitude % 36]);
    magnitude /= 36;
  } while (magnitude != 0);
  if (value < 0) out.insert(out.begin(), '-');
  return out;
}

// ---- Encoding ---------------------------------------------------------------

std::string hex_encode(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    out.push_back(kUpperHex[b >> 4]);
    out.push_back(kUpperHex[b & 0x0F]);
  }
  return out;
}

std::string CURLEncode::Encode(std::string_view text) const {
  constexpr std::string_view kReserved = "!\"#$%&+,/:;<=>?@[]\\^`|";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\0' && kReserved.find(c) != std::string_view::npos) {
      auto b = static_cast<unsigned char>(c);
      out.push_back('%');
      out.push_back(kUpperHex[b >> 4]);
      out.push_back(kUpperHex[b & 0x0F]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string URLEncodeString(std::string_view text, bool trim) {
  CURLEncode encoder;
  if (trim) return encoder.Encode(Trim(text));
  return encoder.Encode(text);
}

// ---- Titles -----------------------------------------------------------------

std::string TrimTitleWithFiller(std::string_view title, char32_t filler) {
  return StripUniqueSuffix(TrimCodePoint(Trim(title), filler));
}

std::string StripUniqueSuffix(std::string_view name) {
  size_t last = name.rfind('_');
  if (last == std::string_view::npos || last < 1 || name[last - 1] != '_') {
    return std::string(name);
  }
  for (size_t i = last + 1; i < name.size(); ++i) {
    if (!IsAsciiDigit(name[i])) return std::string(name);
  }
  // A title made only of the suffix is kept as it is.
  if (last - 1 == 0) return std::string(name);
  return std::string(name.substr(0, last - 1));
}

// ---- Command line -----------------------------------------------------------

SwitchTable ParseCommandLine(std::string_view line) {
  SwitchTable table;
  std::string rest = Trim(line);
  while (!rest.empty() && rest.front() == '-') {
    std::string_view body = std::string_view(rest).substr(1);
    size_t space = body.find(' ');
    if (space == std::string_view::npos) {
      table.emplace(std::string(body), std::string());
      break;
    }
    std::string name(body.substr(0, space));
    std::string after = Trim(body.substr(space + 1));
    if (after.empty() || after.front() == '-') {
      table.emplace(std::move(name), std::string());
      rest = std::move(after);
      continue;
    }
    size_t valueEnd = after.find(' ');
    if (valueEnd == std::string::npos) {
      table.emplace(std::move(name), std::move(after));
      break;
    }
    table.emplace(std::move(name), after.substr(0, valueEnd));
    rest = Trim(std::string_view(after).substr(valueEnd + 1));
  }
  return table;
}

// ---- Versions ---------------------------------------------------------------

std::vector<int64_t> VersionStrToIntVector(std::string_view version) {
  std::vector<int64_t> parts;
  size_t start = 0;
  while (start < version.size()) {
    size_t dot = version.find('.', start);
    if (dot == std::string_view::npos) {
      parts.push_back(ParseLeadingInt(version.substr(start)));
      break;
    }
    parts.push_back(ParseLeadingInt(version.substr(start, dot - start)));
    start = dot + 1;
  }
  return parts;
}

int VersionStrCmp(std::string_view a, std::string_view b) {
  std::vector<int64_t> left = VersionStrToIntVector(a);
  std::vector<int64_t> right = VersionStrToIntVector(b);
  size_t n = std::max(left.size(), right.size());
  for (size_t i = 0; i < n; ++i) {
    int64_t l = i < left.size() ? left[i] : 0;
    int64_t r = i < right.size() ? right[i] : 0;
    if (l != r) return l < r ? -1 : 1;
  }
  return 0;
}

}  // namespace tarvex
