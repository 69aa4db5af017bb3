// UTF-8 and UTF-16 conversion and UTF-16 ordering.
#include "text/Text.h"

namespace tarvex {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

// Decodes one code point of UTF-16 at `pos`; a lone surrogate gives U+FFFD.
char32_t DecodeUtf16(std::u16string_view text, size_t& pos) {
  char16_t u = text[pos++];
  if (u >= 0xD800 && u <= 0xDBFF) {
    if (pos < text.size() && text[pos] >= 0xDC00 && text[pos] <= 0xDFFF) {
      char32_t low = text[pos++];
      return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00);
    }
    return kReplacement;
  }
  if (u >= 0xDC00 && u <= 0xDFFF) return kReplacement;
  return u;
}

std::u16string ToUtf16(std::string_view text, bool stopAtNul) {
  std::u16string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    if (stopAtNul && text[pos] == '\0') break;
    AppendUtf16(out, DecodeUtf8(text, pos));
  }
  return out;
}

std::string FromUtf16(std::u16string_view text, bool stopAtNul) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    if (stopAtNul && text[pos] == u'\0') break;
    AppendUtf8(out, DecodeUtf16(text, pos));
  }
  return out;
}

}  // namespace

char32_t DecodeUtf8(std::string_view text, size_t& pos) {
  const auto c0 = static_cast<unsigned char>(text[pos]);
  if (c0 < 0x80) {
    ++pos;
    return c0;
  }
  size_t len;
  char32_t cp;
  char32_t min;
  if (c0 >= 0xC2 && c0 <= 0xDF) {
    len = 2, cp = c0 & 0x1F, min = 0x80;
  } else if (c0 >= 0xE0 && c0 <= 0xEF) {
    len = 3, cp = c0 & 0x0F, min = 0x800;
  } else if (c0 >= 0xF0 && c0 <= 0xF4) {
    len = 4, cp = c0 & 0x07, min = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  size_t i = 1;
  for (; i < len; ++i) {
    if (pos + i >= text.size() || !IsContinuation(static_cast<unsigned char>(text[pos + i]))) break;
    cp = (cp << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
  }
  if (i < len) {
    // A truncated sequence: one replacement for the bytes consumed so far.
    pos += i;
    return kReplacement;
  }
  pos += len;
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::u16string Utf8ToUtf16(std::string_view text) {
  return ToUtf16(text, true);
}
std::string Utf16ToUtf8(std::u16string_view text) {
  return FromUtf16(text, true);
}
std::string ToUtf8(std::u16string_view text) {
  return FromUtf16(text, true);
}
std::u16string FromUtf8(std::string_view text) {
  return ToUtf16(text, true);
}
std::u16string Utf8ToUtf16Whole(std::string_view text) {
  return ToUtf16(text, false);
}
std::string Utf16ToUtf8Whole(std::u16string_view text) {
  return FromUtf16(text, false);
}

bool IsValidUtf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    // U+FFFD itself is valid; any other replacement marks a bad sequence.
    if (DecodeUtf8(text, pos) == 0xFFFD && text.substr(start, pos - start) != "\xEF\xBF\xBD")
      return false;
  }
  return true;
}

std::string SanitizeUtf8(std::string_view text) {
  std::string_view upToNul = text.substr(0, text.find('\0'));
  if (IsValidUtf8(upToNul)) return std::string(upToNul);
  return Utf16ToUtf8(Utf8ToUtf16(upToNul));
}

int CompareUtf16(std::string_view a, std::string_view b) {
  // UTF-8 byte order equals code point order; it differs from UTF-16 code
  // unit order only between a supplementary character (surrogates
  // 0xD800-0xDFFF) and a BMP character of U+E000 or above. Compare code point
  // by code point and map each to its first UTF-16 unit's rank.
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const auto ca0 = static_cast<unsigned char>(a[i]), cb0 = static_cast<unsigned char>(b[j]);
    if (ca0 < 0x80 && cb0 < 0x80) {
      if (ca0 != cb0) return ca0 < cb0 ? -1 : 1;
      ++i, ++j;
      continue;
    }
    char32_t ca = DecodeUtf8(a, i);
    char32_t cb = DecodeUtf8(b, j);
    if (ca == cb) continue;
    auto key = [](char32_t c) -> uint64_t {
      if (c < 0x10000) return static_cast<uint64_t>(c) << 16;
      char32_t v = c - 0x10000;
      uint64_t hi = 0xD800 + (v >> 10), lo = 0xDC00 + (v & 0x3FF);
      return (hi << 16) | lo;
    };
    uint64_t ka = key(ca), kb = key(cb);
    if (ka != kb) return ka < kb ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

size_t Utf16Length(std::string_view text) {
  size_t n = 0, pos = 0;
  while (pos < text.size()) n += DecodeUtf8(text, pos) >= 0x10000 ? 2 : 1;
  return n;
}

std::string CutUtf16(std::string_view text, size_t units) {
  size_t n = 0, pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    size_t w = DecodeUtf8(text, pos) >= 0x10000 ? 2 : 1;
    if (n + w > units) return std::string(text.substr(0, start));
    n += w;
  }
  return std::string(text);
}

}  // namespace tarvex
