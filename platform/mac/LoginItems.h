// The user's login items, kept as the platform keeps them: the property
// list ~/Library/Preferences/loginwindow.plist, whose list
// "AutoLaunchedApplicationDictionary" holds {"Path", "Hide"} dictionaries.
#pragma once

#include <string>

namespace tarvex::mac {

inline constexpr char kAutoLaunchedApplications[] = "AutoLaunchedApplicationDictionary";

struct LoginItemUpdate {
  enum class Outcome {
    Unchanged,    // the entries were already as wanted; nothing written
    Written,      // the file was rewritten (or created)
    Unreadable,   // the file exists but is no dictionary, or its list is no list
    WriteFailed,  // the new file could not be written; the old one stays
  };
  Outcome outcome = Outcome::Unchanged;
  std::string error;  // for Unreadable and WriteFailed, naming the file
};

// Makes the login items at `path` start `application` when `wanted` (one
// entry {"Path": application, "Hide": false} appended when there is none)
// or not (every entry of it removed). Only a missing file counts as an
// empty one; the user's other entries and keys are kept as they are.
LoginItemUpdate UpdateLoginItem(const std::string& path, const std::string& application, bool wanted);

}  // namespace tarvex::mac
