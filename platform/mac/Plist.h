// Property lists of dictionaries, over libplist: read from XML or binary
// files, written as XML, atomically. Text, integers, reals, booleans,
// arrays and dictionaries are kept; dates and data read as nil.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/mac/Value.h"

namespace tarvex::mac {

struct PlistRead {
  enum class Status { Dict, Missing, Unreadable };
  Status status = Status::Missing;
  DictRef dict;       // set for Dict
  std::string error;  // why it is Unreadable, naming the file
};

// A file that does not exist is Missing; one that exists but cannot be read,
// is no property list or holds something other than a dictionary is
// Unreadable.
PlistRead ReadPlistDict(const std::string& path);
// The dictionary of a property list in memory, or nullptr.
DictRef PlistDictFromMemory(const std::string& data);
// The XML form of `dict`.
std::string PlistXml(const DictRef& dict);
// The binary form of `dict` (for files the platform writes that way).
std::string PlistBinary(const DictRef& dict);

// Writes `dict` as an XML property list to `path` atomically (a temporary
// file created with `mode`, renamed over it); the folder is created (0700)
// when missing. Answers "" or the error, naming the file; on failure the old
// file stays as it was.
std::string WritePlistDictAtomically(const std::string& path, const DictRef& dict, mode_t mode = 0600);

}  // namespace tarvex::mac
