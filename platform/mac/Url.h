// Web addresses as the Mac agent's platform takes them: an address is made
// only from text of the characters an address may hold (letters, digits and
// -._~:/?#[]@!$&'()*+,;=) where every "%" starts an escape of two hex
// digits. Space, "<>\"\\^`{|}", control characters, non-ASCII bytes and a
// lone "%" make the text no address. The empty text is an (empty) address.
#pragma once

#include <optional>
#include <string>

namespace tarvex::mac {

class Url {
 public:
  Url() = default;
  // The address of `text`, or nothing when it is not one.
  static std::optional<Url> FromString(const std::string& text);

  const std::string& absoluteString() const { return text_; }
  // The scheme ("http"), or "" when the address has none.
  std::string scheme() const;
  // The host without user information and port, or "" when there is none.
  std::string host() const;

  friend bool operator==(const Url&, const Url&) = default;

 private:
  explicit Url(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

// True when `text` may be made into an address.
bool IsValidUrlText(const std::string& text);
// Every "%XX" decoded; nothing when a "%" is not followed by two hex
// digits or the result is not UTF-8.
std::optional<std::string> UnescapePercent(const std::string& text);
// Every byte outside the address characters escaped as "%XX" (upper-case
// hex), "%" itself included.
std::string EscapePercent(const std::string& text);

}  // namespace tarvex::mac
