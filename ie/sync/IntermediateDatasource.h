// The datasource the sync reads and writes the Favorites through. The
// Favorites cannot hold everything a synced tree holds: separators, queries,
// the root's name and the root's unfiled folder (`unid`). Writing strips
// that data, writes the rest through the store it wraps, and keeps the
// stripped data, as the commands that put it back, in the intermediate file
// "tarvex-intermediate.json" of the user folder; reading fills the tree from
// the store and applies those commands again.
//
// The file is one line of JSON: {"_commands": [the restoring commands],
// "_baselineNodes": <the tree as written, stripped data included; {} when
// no command inserts a node>}. It is replaced through a temporary file beside
// it.
//
// When the file is missing or cannot be used, the restoring commands are
// worked out again from the baseline (the tree of the last sync), so that a
// lost file never reads as the user having deleted every separator, query
// and the unfiled folder and renamed the root; what they give becomes the
// file, unless a file that could not be read for now is in its place. A file
// whose contents are broken is kept aside as "tarvex-intermediate.json.bad".
#pragma once

#include <memory>
#include <string>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/sync/WinEnginePlatform.h"
#include "nodeset/Engine.h"
#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"

namespace tarvex {

class Command;
class CommandSet;
class NodeSet;

inline constexpr std::string_view kIntermediateFileName = "tarvex-intermediate.json";

// Everything the intermediate datasource reaches outside itself.
struct IntermediateEnvironment {
  IntermediateEnvironment(Settings& settings, Logger& logger, FileSystem& fs = FileSystem::Native(),
                          Clock& clock = Clock::System())
      : settings(settings), logger(logger), fs(fs), clock(clock) {}

  Settings& settings;  // `syncproblemfile`, `userdir`
  Logger& logger;
  FileSystem& fs;  // the intermediate file
  Clock& clock;    // the waits between write attempts
  // The folder of the intermediate file; empty means GetUserDir().
  std::string userDir;
  // The baseline file the restoring commands are worked out from when the
  // intermediate file is missing or broken (read with NodeSet::LoadFromFile,
  // so through the engine's platform); empty means the engine platform's
  // BaselinePath(). A missing file, or one of another user, means none.
  std::string baselinePath;
};

class IntermediateDatasource : public NativeDatasource {
 public:
  // Attempts at writing the store, and the wait before each later one.
  static constexpr int kWriteAttempts = 3;
  static constexpr int64_t kRetryWaitMs = 5000;

  IntermediateDatasource(IntermediateEnvironment env, std::unique_ptr<NativeDatasource> store);

  // Fills `tree` from the store, then puts back what the store cannot hold
  // (commands from the file, else from the baseline); a root without a name
  // is named "Favorites". Failures of the store's read reach the caller.
  bool ProvideNodes(NodeSet& tree) override;
  // Writes `tree` without what the store cannot hold, then the intermediate
  // file. The store's write is tried up to three times, 5 s apart, while a
  // failure leaves a problem file named in `syncproblemfile`; any other
  // failure reaches the caller at once. `tree` is as it was when this
  // returns or throws. A failure to write the file throws VelkException.
  void WriteNodeSet(NodeSet& tree) override;
  // The store's: the intermediate file is durable when written.
  void MakeDurable() override;
  // The loaded baseline, used instead of the baseline file when the
  // intermediate file is missing or broken.
  void UseBaseline(NodeSet* baseline) override { baseline_ = baseline; }

  // The intermediate file.
  std::string FilePath() const;
  // Reads the file into `stored` and the returned commands. nullptr when the
  // file is missing or cannot be read (left in place) or its contents are
  // broken (moved aside as "<file>.bad"); `*missing` tells whether no file
  // is at its place now (missing, or moved aside).
  std::unique_ptr<CommandSet> ReadFile(NodeSet& stored, bool* missing = nullptr);
  // Replaces the file with `commands` and `tree`; throws VelkException when
  // it cannot (the old file stays).
  void WriteFile(const CommandSet& commands, const NodeSet& tree);

 private:
  void WriteStore(NodeSet& tree);
  // The restoring commands of the baseline, with the baseline in `stored`;
  // nullptr when there is no usable baseline.
  std::unique_ptr<CommandSet> CommandsFromBaseline(std::unique_ptr<NodeSet>& stored);
  // False when the file could not be moved.
  bool MoveAside(const std::string& path);
  void ApplyCommands(NodeSet& tree, CommandSet& commands, NodeSet& stored);
  // The insert's `bnid` when it still places the node, else the first
  // sibling after the node in `stored` that `tree` holds under the same
  // parent, else "" (the end).
  std::string ValidBnid(NodeSet& tree, const Command& insert, NodeSet& stored);

  IntermediateEnvironment env_;
  std::unique_ptr<NativeDatasource> store_;
  NodeSet* baseline_ = nullptr;
};

// Makes the sync reach the browser's store through the intermediate
// datasource: every FetchFromNative and FlushToNative of the engine gets a
// new IntermediateDatasource over a new store made by `favorites` (in the
// client, a FavoritesDatasource of the Favorites folder).
void UseFavoritesThroughIntermediate(WinEnginePlatform& platform, IntermediateEnvironment env,
                                     WinEnginePlatform::DatasourceFactory favorites);

}  // namespace tarvex
