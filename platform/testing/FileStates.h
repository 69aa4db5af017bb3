// What every entry below a folder is on disk (kind, inode, bytes,
// attributes), to tell which entries a pass changed: a rewrite through a
// temporary file changes the inode even when the bytes stay the same.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "platform/files/FileSystem.h"
#include "platform/testing/Files.h"

namespace tarvex::testing {

struct FileState {
  char kind = '?';
  ino_t inode = 0;
  std::string content;
  uint32_t attributes = 0;
  bool operator==(const FileState&) const = default;
};

inline std::map<std::string, FileState> FilesBelow(const std::string& root) {
  std::map<std::string, FileState> out;
  for (auto it = std::filesystem::recursive_directory_iterator(root);
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    const std::string path = it->path().string();
    struct stat st {};
    ::lstat(path.c_str(), &st);
    FileState state;
    state.inode = st.st_ino;
    state.kind = S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : 'o';
    if (state.kind == 'f') state.content = ReadAll(path);
    if (state.kind != 'o') FileSystem::Native().GetAttributes(path, &state.attributes);
    out[path.substr(root.size())] = state;
  }
  return out;
}

// The paths whose state differs between two listings, one per line.
inline std::string ChangedPaths(const std::map<std::string, FileState>& before,
                                const std::map<std::string, FileState>& after) {
  std::string out;
  for (const auto& [path, state] : before) {
    auto it = after.find(path);
    if (it == after.end())
      out += "gone: " + path + "\n";
    else if (!(it->second == state))
      out += (it->second.content == state.content ? "rewritten: " : "changed: ") + path + "\n";
  }
  for (const auto& [path, state] : after)
    if (!before.count(path)) out += "new: " + path + "\n";
  return out;
}

}  // namespace tarvex::testing
