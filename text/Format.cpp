// FormatV: a small printf over typed arguments. Argument text is copied as
// it is and never read as a format.
#include <cstdint>
#include <string>

#include "text/Text.h"

namespace tarvex {
namespace {

// Width and precision beyond this are clamped; no text of ours needs more.
constexpr int kMaxField = 4096;

struct Directive {
  bool left = false;   // '-'
  bool zero = false;   // '0'
  bool plus = false;   // '+'
  bool space = false;  // ' '
  int width = -1;
  int precision = -1;
  bool wide = false;  // l, ll or z: 64-bit unsigned form of negative values
  char conversion = '\0';
};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int ReadNumber(std::string_view format, size_t& pos) {
  int value = 0;
  while (pos < format.size() && IsDigit(format[pos])) {
    if (value < kMaxField) value = value * 10 + (format[pos] - '0');
    ++pos;
  }
  return value < kMaxField ? value : kMaxField;
}

// Parses the conversion that starts after the '%' at `pos`; on success `pos`
// is left after the conversion character.
bool ParseDirective(std::string_view format, size_t& pos, Directive& dir) {
  for (; pos < format.size(); ++pos) {
    char c = format[pos];
    if (c == '-') {
      dir.left = true;
    } else if (c == '0') {
      dir.zero = true;
    } else if (c == '+') {
      dir.plus = true;
    } else if (c == ' ') {
      dir.space = true;
    } else {
      break;
    }
  }
  if (pos < format.size() && IsDigit(format[pos])) dir.width = ReadNumber(format, pos);
  if (pos < format.size() && format[pos] == '.') {
    ++pos;
    dir.precision = ReadNumber(format, pos);
  }
  while (pos < format.size() && (format[pos] == 'l' || format[pos] == 'h' || format[pos] == 'z')) {
    if (format[pos] != 'h') dir.wide = true;
    ++pos;
  }
  if (pos >= format.size()) return false;
  char c = format[pos];
  if (c != 'd' && c != 'i' && c != 'u' && c != 'x' && c != 'X' && c != 's') return false;
  dir.conversion = c;
  ++pos;
  return true;
}

std::string DecimalText(const FormatArg& arg) {
  if (arg.isSigned_) return std::to_string(arg.value_);
  return std::to_string(static_cast<uint64_t>(arg.value_));
}

std::string Digits(uint64_t value, char conversion) {
  const char* digits = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  uint64_t base = (conversion == 'x' || conversion == 'X') ? 16 : 10;
  std::string out;
  do {
    out.insert(out.begin(), digits[value % base]);
    value /= base;
  } while (value != 0);
  return out;
}

// Numbers follow printf's rules: precision is the least number of digits (a
// zero with precision 0 prints no digit), '0' pads with zeros after the sign
// unless a precision is given, '-' pads on the right.
std::string FormatNumber(const Directive& dir, const FormatArg& arg) {
  bool isSignedConversion = dir.conversion == 'd' || dir.conversion == 'i';
  bool negative = false;
  uint64_t magnitude = static_cast<uint64_t>(arg.value_);
  if (isSignedConversion) {
    // Printed as the true value of the type it came from.
    if (arg.isSigned_ && arg.value_ < 0) {
      negative = true;
      magnitude = uint64_t{0} - static_cast<uint64_t>(arg.value_);
    }
  } else if (arg.isSigned_ && arg.value_ < 0 && !dir.wide) {
    // A negative value under an unsigned conversion shows its two's
    // complement form: 32 bits unless the length modifier asks for 64.
    magnitude = static_cast<uint32_t>(arg.value_);
  }

  std::string digits;
  if (!(dir.precision == 0 && magnitude == 0)) {
    digits = Digits(magnitude, isSignedConversion ? 'd' : dir.conversion);
  }
  if (dir.precision > 0 && digits.size() < static_cast<size_t>(dir.precision)) {
    digits.insert(0, static_cast<size_t>(dir.precision) - digits.size(), '0');
  }
  std::string sign;
  if (negative) {
    sign = "-";
  } else if (isSignedConversion && dir.plus) {
    sign = "+";
  } else if (isSignedConversion && dir.space) {
    sign = " ";
  }

  size_t length = sign.size() + digits.size();
  size_t width = dir.width > 0 ? static_cast<size_t>(dir.width) : 0;
  if (length >= width) return sign + digits;
  size_t pad = width - length;
  if (dir.left) return sign + digits + std::string(pad, ' ');
  if (dir.zero && dir.precision < 0) return sign + std::string(pad, '0') + digits;
  return std::string(pad, ' ') + sign + digits;
}

// %s: precision caps the number of characters (never splitting one), width
// pads with spaces to that many characters.
std::string FormatText(const Directive& dir, std::string_view text) {
  size_t pos = 0;
  size_t count = 0;
  while (pos < text.size() && (dir.precision < 0 || count < static_cast<size_t>(dir.precision))) {
    DecodeUtf8(text, pos);
    ++count;
  }
  std::string out(text.substr(0, pos));
  if (dir.width >= 0 && count < static_cast<size_t>(dir.width)) {
    std::string pad(static_cast<size_t>(dir.width) - count, ' ');
    out = dir.left ? out + pad : pad + out;
  }
  return out;
}

}  // namespace

std::string FormatV(std::string_view format, const std::vector<FormatArg>& args) {
  std::string out;
  out.reserve(format.size());
  size_t nextArg = 0;
  size_t pos = 0;
  while (pos < format.size()) {
    size_t percent = format.find('%', pos);
    if (percent == std::string_view::npos) {
      out.append(format.substr(pos));
      break;
    }
    out.append(format.substr(pos, percent - pos));
    pos = percent + 1;
    if (pos < format.size() && format[pos] == '%') {
      out.push_back('%');
      ++pos;
      continue;
    }
    Directive dir;
    if (!ParseDirective(format, pos, dir)) {
      // Not a conversion we know: the text stands as written.
      out.append(format.substr(percent, pos - percent));
      continue;
    }
    if (nextArg >= args.size()) continue;
    const FormatArg& arg = args[nextArg++];
    if (dir.conversion == 's') {
      out += FormatText(dir, arg.isText_ ? arg.text_ : DecimalText(arg));
    } else if (arg.isText_) {
      out += arg.text_;
    } else {
      out += FormatNumber(dir, arg);
    }
  }
  return out;
}

}  // namespace tarvex
