// The system's credential dialog, as the client asks for a user name and
// password: a dialog of its own shown through the presenters (the person's
// browser page, a script in tests), with the user name given filled in,
// the password hidden, and "Remember my password". OK with a user name and
// a password answers 0; Cancel, Escape or the close box ERROR_CANCELLED
// (1223), as does a presenter with nobody to answer. OK with a field left
// empty keeps the dialog open and says what is missing.
#pragma once

#include <string>

#include "platform/credentials/CredentialPrompt.h"

namespace tarvex {

inline constexpr int kCredentialTemplate = 1800;
inline constexpr int kCredentialMessage = 1801;
inline constexpr int kCredentialUser = 1802;
inline constexpr int kCredentialPassword = 1803;
inline constexpr int kCredentialRemember = 1804;
inline constexpr int kCredentialProblem = 1805;

class DialogCredentialPrompt : public CredentialPrompt {
 public:
  // Asks on the calling thread, in a modal dialog of its own loop.
  CredentialAnswer Ask(const std::string& target, const std::string& caption,
                       const std::string& message, const std::string& user,
                       bool alwaysShow) override;
};

}  // namespace tarvex
