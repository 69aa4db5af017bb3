// Asking the user for a user name and password (the system's credential
// dialog). On a terminal the question is asked there, with the password not
// echoed; without a terminal the answer is "cancelled".
#pragma once

#include <cstdint>
#include <string>

namespace tarvex {

struct CredentialAnswer {
  uint32_t result = 0;  // 0, ERROR_CANCELLED (1223) or another Win32 code
  std::string user;
  std::string password;
  bool save = false;  // the "remember my password" box
};

class CredentialPrompt {
 public:
  virtual ~CredentialPrompt() = default;
  // `alwaysShow`: ask even when the platform could answer from what it
  // remembers.
  virtual CredentialAnswer Ask(const std::string& target, const std::string& caption,
                               const std::string& message, const std::string& user,
                               bool alwaysShow) = 0;

  // The process-wide prompt (the terminal one, until the shell installs its
  // dialog).
  static CredentialPrompt*& Process();
};

class TerminalCredentialPrompt : public CredentialPrompt {
 public:
  // Reads from `in` and writes to `out` (file descriptors; the terminal by
  // default). Not a terminal: cancelled.
  explicit TerminalCredentialPrompt(int in = 0, int out = 2) : in_(in), out_(out) {}
  CredentialAnswer Ask(const std::string& target, const std::string& caption,
                       const std::string& message, const std::string& user,
                       bool alwaysShow) override;

 private:
  int in_;
  int out_;
};

}  // namespace tarvex
