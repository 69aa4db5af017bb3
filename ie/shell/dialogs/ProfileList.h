// The account's sync profiles as the dialogs offer them: from the service's
// answer, an object of name → view (the view read as an integer from its
// text), or an array of names (each with view 0); any other shape gives
// none. "<none>" (view 0, no profile) is always offered, first.
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

namespace tarvex {

inline constexpr const char* kNoProfile = "<none>";

struct Profile {
  std::string name;
  int view = 0;
  bool operator==(const Profile&) const = default;
};

// "<none>" first, then the others sorted by their names' bytes taken in
// upper case (beta, Alpha, gamma → Alpha, beta, gamma).
std::vector<Profile> ProfileList(const Json::Value& answer);
// Whether the account has profiles of its own (more than "<none>").
bool HasProfiles(const std::vector<Profile>& profiles);

}  // namespace tarvex
