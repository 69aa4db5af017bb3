// The error value of the Windows client: a source ("internal", "network",
// "windows", "windows_shell", "windows_auth"), a numeric id (a Win32 error or
// HRESULT for the "windows" sources, else one of the program's own negative
// ids below) and a message. Thrown by value, caught by reference.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace tarvex {

// The program's own ids.
inline constexpr int32_t kErrGeneral = -10;  // a step failed
inline constexpr int32_t kErrCannotStartClient = -11;
inline constexpr int32_t kErrImpossible = -12;  // impossible state or parameter
inline constexpr int32_t kErrNodeExists = -40;  // "Node [%s] already exists!"
inline constexpr int32_t kErrSyncGaveUp = -50;
inline constexpr int32_t kErrUserCancelled = -51;
inline constexpr int32_t kErrServer403 = -60;
inline constexpr int32_t kErrServer503 = -61;
inline constexpr int32_t kErrServer444 = -62;

class VelkException : public std::exception {
 public:
  VelkException(std::string_view source, int32_t id, std::string_view message);
  // A null source or message counts as empty text.
  VelkException(const char* source, int32_t id, const char* message);
  VelkException(const VelkException&) = default;
  VelkException& operator=(const VelkException&) = default;

  const std::string& source() const { return source_; }
  int32_t id() const { return id_; }
  const std::string& message() const { return message_; }

  // "TarvexException [source: %s, id: %d]: %s"
  std::string ToString() const;
  // The same text, for termination messages.
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string source_;
  int32_t id_;
  std::string message_;
  std::string text_;
};

}  // namespace tarvex
