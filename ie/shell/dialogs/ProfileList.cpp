#include "ie/shell/dialogs/ProfileList.h"

#include <algorithm>

#include "nodeset/Json.h"

namespace tarvex {
namespace {

std::string Upper(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

}  // namespace

std::vector<Profile> ProfileList(const Json::Value& answer) {
  std::vector<Profile> profiles;
  if (answer.isObject()) {
    for (const std::string& name : answer.getMemberNames())
      profiles.push_back({name, IsJsonText(answer[name])
                                    ? static_cast<int>(LeadingInt(JsonText(answer[name])))
                                    : 0});
  } else if (answer.isArray()) {
    for (const Json::Value& name : answer)
      if (name.isString()) profiles.push_back({name.asString(), 0});
  }
  std::erase_if(profiles, [](const Profile& p) { return p.name.empty() || p.name == kNoProfile; });
  std::stable_sort(profiles.begin(), profiles.end(), [](const Profile& a, const Profile& b) {
    return Upper(a.name) < Upper(b.name);
  });
  profiles.insert(profiles.begin(), Profile{kNoProfile, 0});
  return profiles;
}

bool HasProfiles(const std::vector<Profile>& profiles) {
  return profiles.size() > 1;
}

}  // namespace tarvex
