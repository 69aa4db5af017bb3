// A registry stand-in: hierarchical keys holding named, typed values, kept in
// one SQLite database per hive so that every Tarvex program of the user shares
// it, as the real registry is shared. Values are stored as the bytes the real
// registry holds (REG_SZ as UTF-16LE with its terminating NUL), so size limits
// behave the same. Key and value names are case-insensitive; enumeration
// follows creation order and a rewrite keeps a value's place. Every call is
// atomic on its own and safe from several threads and processes; results are
// Win32 error codes.
//
// One key is not in the database: the values of HKCU
// "Software\Microsoft\Windows\CurrentVersion\Run" are the user's XDG autostart
// entries (AutostartKey.h), so "start with the session" takes effect. Reads,
// writes, deletes and enumeration of its values go there (REG_SZ only; other
// types give ERROR_INVALID_PARAMETER; enumeration follows file names); the
// key always exists and has no subkeys. DeleteTree and Transaction do not
// reach those entries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace tarvex {

class AutostartFolder;
class FileSystem;

enum class Hive { CurrentUser, LocalMachine };

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;

// Key paths use "\" between components, as the program's constants do
// ("Software\\Tarvex\\IEToolbar\\Settings"); a "/" is an ordinary character.
class Registry {
 public:
  enum class Op { Read, Write, DeleteValue, DeleteTree, Enum, Open };
  // A hook that tests install to force a failure: returns a Win32 code to fail
  // the operation with, or 0 to let it run.
  using FaultHook =
      std::function<uint32_t(Op op, Hive hive, std::string_view key, std::string_view name)>;

  struct Value {
    std::string name;
    uint32_t type = REG_NONE;
    std::string data;  // raw bytes
  };

  // `folder` holds "hkcu.sqlite" and "hklm.sqlite". The folder of the current
  // user's hive is created when needed; the machine hive is never created by
  // a write of the programs unless `allowMachineWrites` (tests seed it).
  explicit Registry(std::string folder, bool allowMachineWrites = false);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // The process-wide registry, at the folder of PlatformConfig::Current().
  static Registry& Process();

  const std::string& folder() const { return folder_; }

  // Where the Run key's values live, written through `fs` (the native file
  // system when null). A registry made on a folder keeps them in
  // "<folder>/autostart" until this is called, so a test's registry never
  // touches the user's session; Process() uses PlatformConfig's autostartDir.
  void SetAutostartFolder(std::string folder, FileSystem* fs = nullptr);
  const std::string& autostartFolder() const { return autostartDir_; }

  // 0 when the key exists, ERROR_FILE_NOT_FOUND otherwise.
  uint32_t KeyExists(Hive hive, std::string_view key);
  // Creates the key and every missing key above it.
  uint32_t CreateKey(Hive hive, std::string_view key);

  // Reads one value. Missing key or value: ERROR_FILE_NOT_FOUND. Data larger
  // than `maxBytes`: ERROR_MORE_DATA (nothing returned).
  uint32_t ReadValue(Hive hive, std::string_view key, std::string_view name, size_t maxBytes,
                     Value* out);
  // Writes one value, creating the key (and the keys above it) when needed.
  uint32_t WriteValue(Hive hive, std::string_view key, std::string_view name, uint32_t type,
                      std::string_view data);
  uint32_t DeleteValue(Hive hive, std::string_view key, std::string_view name);

  // The value at `index` in enumeration order. ERROR_NO_MORE_ITEMS past the
  // end; ERROR_MORE_DATA when its name is longer than `maxNameChars` UTF-16
  // units or its data longer than `maxDataBytes` (the value is then skipped by
  // a caller that moves on to index + 1).
  uint32_t EnumValue(Hive hive, std::string_view key, uint32_t index, size_t maxNameChars,
                     size_t maxDataBytes, Value* out);
  // Every value of the key, in enumeration order, from one snapshot.
  uint32_t EnumValues(Hive hive, std::string_view key, std::vector<Value>* out);
  // Names of the direct subkeys, in creation order.
  uint32_t EnumSubkeys(Hive hive, std::string_view key, std::vector<std::string>* out);
  // Deletes the key with everything below it, in one transaction.
  uint32_t DeleteTree(Hive hive, std::string_view key);

  // Runs `body` inside one write transaction of the hive: other threads and
  // processes see all of its writes or none. Calls made by `body` on this
  // object (same thread) join the transaction. When `body` returns non-zero,
  // or throws, everything is rolled back and that code (or the exception)
  // passes on.
  uint32_t Transaction(Hive hive, const std::function<uint32_t()>& body);

  // REG_SZ helpers. ReadString reads at most `maxBytes` bytes (1000 by
  // default, as the settings do) and returns the text up to its first NUL,
  // bounded by the stored size. A REG_DWORD value reads as its decimal text;
  // any other type gives ERROR_INVALID_DATA.
  uint32_t ReadString(Hive hive, std::string_view key, std::string_view name, std::string* out,
                      size_t maxBytes = 1000);
  uint32_t WriteString(Hive hive, std::string_view key, std::string_view name,
                       std::string_view text);

  void SetFaultHook(FaultHook hook);

  // The bytes of a REG_SZ value holding `text` (UTF-16LE plus NUL), and back.
  static std::string EncodeString(std::string_view text);
  static std::string DecodeString(std::string_view bytes);

 private:
  struct Hivedb;
  Hivedb& db(Hive hive);
  uint32_t Fault(Op op, Hive hive, std::string_view key, std::string_view name);
  // The Run key's folder when `key` (normalised) in `hive` is that key.
  bool IsRunKey(Hive hive, const std::string& key) const;
  AutostartFolder Autostart();

  std::string folder_;
  bool allowMachineWrites_;
  std::recursive_mutex mutex_;
  std::unique_ptr<Hivedb> user_;
  std::unique_ptr<Hivedb> machine_;
  FaultHook hook_;
  std::string autostartDir_;
  FileSystem* autostartFs_ = nullptr;
};

}  // namespace tarvex
