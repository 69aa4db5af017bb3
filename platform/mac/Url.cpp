#include "platform/mac/Url.h"

#include <cstring>

#include "text/Text.h"

namespace tarvex::mac {

namespace {

bool IsAddressChar(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != 0 && std::strchr("-._~:/?#[]@!$&'()*+,;=", c) != nullptr;
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool EscapeAt(const std::string& text, size_t i) {
  return i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0;
}

// The authority of an address with one ("scheme://authority/..."), else "".
std::string Authority(const std::string& text) {
  size_t colon = text.find(':');
  if (colon == std::string::npos || text.compare(colon + 1, 2, "//") != 0) return "";
  size_t start = colon + 3;
  size_t end = text.find_first_of("/?#", start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

bool IsValidUrlText(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = text[i];
    if (c == '%') {
      if (!EscapeAt(text, i)) return false;
      i += 2;
    } else if (!IsAddressChar(c)) {
      return false;
    }
  }
  return true;
}

std::optional<Url> Url::FromString(const std::string& text) {
  if (!IsValidUrlText(text)) return std::nullopt;
  return Url(text);
}

std::string Url::scheme() const {
  size_t colon = text_.find(':');
  if (colon == std::string::npos || colon == 0) return "";
  for (size_t i = 0; i < colon; ++i) {
    unsigned char c = text_[i];
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!(letter || (i > 0 && other))) return "";
  }
  return text_.substr(0, colon);
}

std::string Url::host() const {
  if (scheme().empty()) return "";
  std::string authority = Authority(text_);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    return close == std::string::npos ? "" : authority.substr(1, close - 1);
  }
  size_t colon = authority.find(':');
  return authority.substr(0, colon);
}

std::optional<std::string> UnescapePercent(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (!EscapeAt(text, i)) return std::nullopt;
    out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
    i += 2;
  }
  if (!IsValidUtf8(out)) return std::nullopt;
  return out;
}

std::string EscapePercent(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (IsAddressChar(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace tarvex::mac
