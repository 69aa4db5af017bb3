// The engine's seams. The bookmark engine is one library shared by the
// Windows client and the Mac agent; what differs between the two is a
// flavour (a few switches of behaviour) and a platform (how the engine logs,
// fails, reads settings and reaches the browser's store). Each program
// installs its own at start; tests install theirs with ScopedEngine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex {

class Node;
class NodeSet;
class NativeDatasource;

// How well `candidate` matches `sought` when two trees are merged (0: not at
// all; higher is better).
using MatchScoreFn = int (*)(const NodeSet& set, const Node& sought, const Node& candidate);

struct EngineFlavor {
  enum class InsertExisting {
    // Windows: an insert of a node that exists acts as an update when an
    // attribute other than created/modified/icon differs.
    UpdateSkippingTimestamps,
    // Mac: an insert of a node that exists fails on any differing attribute.
    ThrowOnConflict,
  };

  const char* name = "windows";
  bool tagsAsJsonArray = true;  // command JSON carries `tags` as an array
  InsertExisting insertExisting = InsertExisting::UpdateSkippingTimestamps;
  bool logHandlerStarts = true;   // "Starting Do_... for: %s" lines
  bool logHashes = false;         // "Hashed %s as %s" per node
  bool checkBaselineUser = true;  // a baseline must belong to the current user
  const char* fileLineEnd = "\r\n";
  MatchScoreFn score = nullptr;

  static EngineFlavor Windows();
  static EngineFlavor Mac();
};

enum class ErrorKind {
  NotFound,   // a node lookup failed
  Duplicate,  // a node id is already taken
  General,    // every other tree, command or file error
};

// The stored form of a tree: the baseline of Windows, the bridge's files on
// the Mac.
class NativeDatasource {
 public:
  virtual ~NativeDatasource() = default;
  // Fills the empty `set` from the browser's store and returns true. A read
  // that fails throws (the program's error type) rather than returning
  // false, and may leave `set` partly filled.
  virtual bool ProvideNodes(NodeSet& set) = 0;
  // Writes `set` to the browser's store.
  virtual void WriteNodeSet(NodeSet& set) = 0;
  // Makes everything written to the store so far durable, or throws (the
  // program's error type). Nothing to do for a store whose writes are
  // durable when they return.
  virtual void MakeDurable() {}
};

class EnginePlatform {
 public:
  virtual ~EnginePlatform() = default;

  // Whether information lines are written at all (checked before a line is
  // formatted, so quiet runs cost nothing).
  virtual bool InfoEnabled() = 0;
  virtual void Info(std::string_view text) = 0;
  virtual void Error(std::string_view text) = 0;
  // Throws the program's error type for the kind; never returns.
  [[noreturn]] virtual void Raise(ErrorKind kind, const std::string& message) = 0;
  virtual std::string GetSetting(std::string_view key, std::string_view defaultValue) = 0;
  // The identities a baseline may carry for the current user: the current one
  // ("user@serverroot") first, then any the user had under the service's
  // earlier domain. An empty list: no user check.
  virtual std::vector<std::string> UserIdentities() = 0;
  // Where the baseline lives when no path is given.
  virtual std::string BaselinePath() = 0;
  // Whole-file reads and replacing writes (a temporary file beside the
  // target, renamed over it). Win32 codes: 0, 2 or 3 when the file or its
  // folder is missing, another code for any other failure.
  virtual uint32_t ReadFile(const std::string& path, std::string* data) = 0;
  virtual uint32_t WriteFileAtomic(const std::string& path, std::string_view data) = 0;
  // The character that pads empty titles.
  virtual char32_t FillerChar() = 0;
  // The datasource of the browser's store, for FetchFromNative/FlushToNative.
  virtual std::unique_ptr<NativeDatasource> MakeDatasource() = 0;
  // Makes what was written to the browser's store durable (the store's
  // MakeDurable), or throws. The baseline records the store, so
  // NodeSet::SaveToFile calls this before it writes: no file the baseline
  // stands for may be less durable than the baseline. By default nothing:
  // a platform whose store writes are durable at once.
  virtual void MakeStoreDurable() {}
};

// The engine in force for this process.
struct Engine {
  EngineFlavor flavor;
  EnginePlatform* platform = nullptr;

  static Engine& Current();
  const EngineFlavor& Flavor() const { return flavor; }
  EnginePlatform& Platform() const;
};

// Installs a flavour and a platform for the life of the object.
class ScopedEngine {
 public:
  ScopedEngine(const EngineFlavor& flavor, EnginePlatform& platform);
  ~ScopedEngine();
  ScopedEngine(const ScopedEngine&) = delete;
  ScopedEngine& operator=(const ScopedEngine&) = delete;

 private:
  Engine saved_;
};

// Shorthands used throughout the engine.
[[noreturn]] void Fail(ErrorKind kind, const std::string& message);
bool InfoOn();
void LogInfo(std::string_view text);
void LogError(std::string_view text);

}  // namespace tarvex
