#include "platform/mac/LoginItems.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/mac/Plist.h"
#include "text/Text.h"

namespace tarvex::mac {

LoginItemUpdate UpdateLoginItem(const std::string& path, const std::string& application, bool wanted) {
  LoginItemUpdate result;
  PlistRead read = ReadPlistDict(path);
  if (read.status == PlistRead::Status::Unreadable) {
    result.outcome = LoginItemUpdate::Outcome::Unreadable;
    result.error = read.error;
    return result;
  }
  DictRef dict = read.status == PlistRead::Status::Dict ? read.dict : NewDict();
  Value& listValue = (*dict)[kAutoLaunchedApplications];
  if (listValue.IsNil()) listValue = NewArray();
  ArrayRef list = listValue.AsArray();
  if (!list) {
    result.outcome = LoginItemUpdate::Outcome::Unreadable;
    result.error = Format("%s: %s is not a list", path, kAutoLaunchedApplications);
    return result;
  }
  auto isOurs = [&](const Value& item) {
    DictRef entry = item.AsDict();
    if (!entry) return false;
    auto found = entry->find("Path");
    return found != entry->end() && found->second.IsString() && found->second.AsString() == application;
  };
  bool present = std::any_of(list->begin(), list->end(), isOurs);
  if (wanted == present) return result;
  if (wanted)
    list->push_back(NewDict({{"Path", application}, {"Hide", false}}));
  else
    list->erase(std::remove_if(list->begin(), list->end(), isOurs), list->end());

  mode_t mode = 0600;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  result.error = WritePlistDictAtomically(path, dict, mode);
  result.outcome = result.error.empty() ? LoginItemUpdate::Outcome::Written : LoginItemUpdate::Outcome::WriteFailed;
  return result;
}

}  // namespace tarvex::mac
