// The INI reader of the Favorites' .url and meta.kv files (IniFile).
// Whatever a file holds, reading never crashes; what it reads, written by
// the store and read again, is the same; and a value the store writes into
// a shortcut reads back as the store meant it (cut at a line break or NUL,
// without trailing white space).
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "ie/foundation/IniFile.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/VelkException.h"
#include "platform/clock/Clock.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/registry/Registry.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using tarvex::fuzz::Check;

struct Services {
  std::string dir = fuzz::WorkDir();
  Registry registry{dir + "/registry"};
  OsFacts facts;
  FakeClock clock{1796858716};
  Logger logger{dir + "/tarvex.log", FileSystem::Native(), clock};
  Settings settings{registry, FileSystem::Native(), clock, facts, logger};
};

Services& Shared() {
  static Services* services = new Services;
  return *services;
}

std::string Describe(const IniFile::Sections& sections) {
  std::string out;
  for (const auto& [name, section] : sections) {
    out += "[" + name + "]\n";
    for (const auto& [key, value] : section) out += key + "=" + value + "\n";
  }
  return out;
}

// What a value given to SetValue reads back as.
std::string Stored(std::string_view value) {
  size_t cut = value.find_first_of(std::string_view("\0\r\n", 3));
  if (cut != std::string_view::npos) value = value.substr(0, cut);
  size_t end = 0, pos = 0;
  while (pos < value.size()) {
    char32_t cp = DecodeUtf8(value, pos);
    if (!IsWhiteSpace(cp)) end = pos;
  }
  return std::string(value.substr(0, end));
}

bool Storable(const std::string& key) {
  if (key.find('=') != std::string::npos) return false;
  size_t pos = 0;
  while (pos < key.size()) {
    size_t at = pos;
    char32_t cp = DecodeUtf8(key, pos);
    if (!IsWhiteSpace(cp)) return key[at] != '[';
  }
  return true;
}

}  // namespace

int TestOne(const uint8_t* data, size_t size) {
  Services& s = Shared();
  const std::string bytes(fuzz::Bytes(data, size));
  const std::string input = s.dir + "/input.url";
  const std::string copy = s.dir + "/copy.url";
  fuzz::WriteBytes(input, bytes);

  IniFile::Sections read;
  {
    IniFile ini(FileSystem::Native(), s.settings, s.logger);
    try {
      ini.Load(input, FILE_ATTRIBUTE_NORMAL);
    } catch (const VelkException&) {
      return 0;
    }
    read = ini.sections();
  }

  // What was read, written by the store and read again.
  IniFile::Sections expected;
  std::remove(copy.c_str());
  {
    IniFile out(FileSystem::Native(), s.settings, s.logger);
    out.Load(copy, FILE_ATTRIBUTE_NORMAL);
    for (const auto& [name, section] : read)
      for (const auto& [key, value] : section) {
        if (!Storable(key)) continue;
        out.SetValue(name, key, value);
        expected[name][key] = Stored(value);
      }
    out.Close();
  }
  {
    IniFile back(copy, FILE_ATTRIBUTE_NORMAL, FileSystem::Native(), s.settings, s.logger);
    Check(Describe(back.sections()) == Describe(expected),
          "a file read and written by the store reads back the same",
          "read:\n" + Describe(expected) + "again:\n" + Describe(back.sections()));
  }

  // The input as the address of a shortcut the store writes.
  if (IsValidUtf8(bytes)) {
    std::remove(copy.c_str());
    {
      IniFile out(FileSystem::Native(), s.settings, s.logger);
      out.Load(copy, FILE_ATTRIBUTE_NORMAL);
      out.SetValue("InternetShortcut", "URL", bytes);
      out.Close();
    }
    IniFile back(copy, FILE_ATTRIBUTE_NORMAL, FileSystem::Native(), s.settings, s.logger);
    Check(back.GetValue("InternetShortcut", "URL", "<none>") == Stored(bytes),
          "a value the store writes reads back", Stored(bytes));
  }
  return 0;
}

}  // namespace tarvex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarvex::TestOne(data, size);
}
