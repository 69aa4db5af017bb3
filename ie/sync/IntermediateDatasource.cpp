#include "ie/sync/IntermediateDatasource.h"

#include <algorithm>

#include "ie/foundation/Helpers.h"
#include "ie/foundation/IniFile.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/VelkException.h"
#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "platform/Win32Error.h"

namespace tarvex {
namespace {

// The file holds a whole tree, like the baseline.
constexpr uint64_t kMaxFileBytes = uint64_t{1} << 30;

// Whether the commands need the stored tree: only an insert is placed by it.
bool PlacesNodes(const CommandSet& commands) {
  for (size_t i = 0; i < commands.GetSize(); ++i)
    if (commands.GetAt(i)->GetAction() == actions::kInsert) return true;
  return false;
}

// Runs the restoring commands from the last to the first.
void Restore(NodeSet& tree, const CommandSet& commands) {
  for (size_t i = commands.GetSize(); i-- > 0;) tree.Execute(*commands.GetAt(i));
}

}  // namespace

IntermediateDatasource::IntermediateDatasource(IntermediateEnvironment env,
                                               std::unique_ptr<NativeDatasource> store)
    : env_(std::move(env)), store_(std::move(store)) {}

std::string IntermediateDatasource::FilePath() const {
  if (env_.userDir.empty()) return GetUserDir(kIntermediateFileName, &env_.settings);
  return JoinPath(env_.userDir, kIntermediateFileName);
}

// ---- Writing ------------------------------------------------------------------------------

void IntermediateDatasource::MakeDurable() {
  store_->MakeDurable();
}

void IntermediateDatasource::WriteNodeSet(NodeSet& tree) {
  CommandSet commands;
  try {
    tree.OnTree(keys::kRoot, NodeSet::kCleanNonIEData, nullptr, &commands, false);
    WriteStore(tree);
  } catch (...) {
    // The caller keeps its tree whatever happened.
    try {
      Restore(tree, commands);
    } catch (const std::exception& e) {
      env_.logger.Error(Format("Unable to restore non-IE data after a failed write: %s", e.what()));
    }
    throw;
  }
  Restore(tree, commands);
  WriteFile(commands, tree);
}

void IntermediateDatasource::WriteStore(NodeSet& tree) {
  for (int attempt = 1;; ++attempt) {
    if (attempt > 1) env_.clock.Sleep(kRetryWaitMs);
    env_.settings.DeleteValue(IniFile::kProblemFileSetting);
    try {
      store_->WriteNodeSet(tree);
      return;
    } catch (const VelkException& e) {
      // Only a file the store could not write (named by the store) is worth
      // another attempt: it may have been held open for a moment.
      const std::string problem = env_.settings.GetValue(IniFile::kProblemFileSetting, "");
      if (problem.empty() || attempt >= kWriteAttempts) throw;
      env_.logger.Error(Format("Writing the Favorites failed on [%s], attempt %d of %d: %s",
                               problem, attempt, kWriteAttempts, e.what()));
    }
  }
}

void IntermediateDatasource::WriteFile(const CommandSet& commands, const NodeSet& tree) {
  const std::string path = FilePath();
  env_.logger.Log(Format("Writing intermediate datasource to disk: %s", path));
  Json::Value value(Json::objectValue);
  value["_commands"] = commands.ToJSON();
  // The tree only places what the commands insert: without inserts it
  // would be read for nothing.
  value["_baselineNodes"] =
      PlacesNodes(commands) ? tree.ToJSON(true) : Json::Value(Json::objectValue);
  const std::string text = WriteCompactJson(value) + Engine::Current().Flavor().fileLineEnd;
  // The user folder may not exist yet on a first run.
  const std::string folder = FolderOfPath(path);
  if (!folder.empty()) env_.fs.CreateDirectories(folder, 0700);
  if (uint32_t rc = env_.fs.WriteFileAtomic(path, text); rc != 0) {
    const std::string message =
        Format("Unable to write intermediate datasource to disk [%d]: %s", rc, path);
    env_.logger.Error(message);
    throw VelkException("internal", kErrGeneral, message);
  }
}

// ---- Reading ------------------------------------------------------------------------------

bool IntermediateDatasource::ProvideNodes(NodeSet& tree) {
  const bool result = store_->ProvideNodes(tree);

  auto stored = std::make_unique<NodeSet>();
  bool missing = false;
  std::unique_ptr<CommandSet> commands = ReadFile(*stored, &missing);
  if (!commands) {
    commands = CommandsFromBaseline(stored);
    // What the baseline gave is kept as the file, so the reads that follow
    // find it there instead of walking the whole baseline again. A file
    // that could not be read for now stays as it is.
    if (commands && missing) {
      try {
        WriteFile(*commands, *stored);
      } catch (const VelkException& e) {
        env_.logger.Error(Format("The intermediate data stay unwritten: %s", e.message()));
      }
    }
  }
  if (commands && commands->GetSize() > 0) {
    env_.logger.Log("Applying intermediate commands");
    ApplyCommands(tree, *commands, *stored);
  }

  Node* root = tree.GetNode(keys::kRoot, true, false, true, "intermediate2");
  if (root->GetAttr(keys::kName).empty()) root->SetAttr(keys::kName, "Favorites");
  return result;
}

std::unique_ptr<CommandSet> IntermediateDatasource::ReadFile(NodeSet& stored, bool* missing) {
  if (missing) *missing = false;
  const std::string path = FilePath();
  env_.logger.Log(Format("Reading NodeSet from disk: %s", path));
  std::string text;
  const uint32_t rc = env_.fs.ReadFile(path, &text, kMaxFileBytes);
  if (rc == win32::ERROR_FILE_NOT_FOUND || rc == win32::ERROR_PATH_NOT_FOUND) {
    env_.logger.Log("No intermediate data on disk");
    if (missing) *missing = true;
    return nullptr;
  }
  if (rc != 0) {
    // The file may be sound; it is left for a later read.
    env_.logger.Error(Format("Unable to read intermediate data [%d]: %s", rc, path));
    return nullptr;
  }

  std::string broken;
  std::unique_ptr<CommandSet> commands;
  Json::Value value;
  if (!ParseJson(text, &value, &broken)) {
    broken = Format("not JSON: %s", broken);
  } else if (!value.isObject() || !value["_commands"].isArray()) {
    broken = "no command list";
  } else if (!value["_baselineNodes"].isObject()) {
    broken = "no stored tree";
  } else {
    try {
      commands = std::make_unique<CommandSet>(value["_commands"]);
      // The stored tree only places what the commands insert: whose it was
      // does not matter. Without inserts none is written ({}); one that is
      // there must still be sound, or the file is not to be trusted.
      Json::Value& nodes = value["_baselineNodes"];
      if (PlacesNodes(*commands) || !nodes.empty()) {
        nodes.removeMember("userHash");
        stored.LoadFromJSON(nodes);
      }
      return commands;
    } catch (const std::exception& e) {
      broken = e.what();
    }
  }
  env_.logger.Error(
      Format("Tarvex error while reading non-IE commands, ignoring data: %s", broken));
  if (MoveAside(path) && missing) *missing = true;
  return nullptr;
}

bool IntermediateDatasource::MoveAside(const std::string& path) {
  // Kept for a look by hand; an older broken file makes room.
  const std::string aside = path + ".bad";
  env_.fs.DeleteFile(aside);
  if (uint32_t rc = env_.fs.MoveFile(path, aside); rc != 0) {
    env_.logger.Error(Format("Unable to move invalid non-IE command data aside [%d].", rc));
    return false;
  }
  env_.logger.Log(Format("Invalid non-IE command data moved to: %s", aside));
  return true;
}

std::unique_ptr<CommandSet> IntermediateDatasource::CommandsFromBaseline(
    std::unique_ptr<NodeSet>& stored) {
  const std::string path =
      env_.baselinePath.empty() ? Engine::Current().Platform().BaselinePath() : env_.baselinePath;
  // The caller's loaded baseline, else the file.
  std::unique_ptr<NodeSet> loaded;
  NodeSet* baseline = baseline_;
  auto commands = std::make_unique<CommandSet>();
  try {
    if (!baseline) {
      loaded = std::make_unique<NodeSet>();
      if (loaded->LoadFromFile(path) != NodeSet::LoadResult::Loaded) return nullptr;
      baseline = loaded.get();
    }
    if (!baseline->GetNode(keys::kRoot, false, true, true)) return nullptr;
    env_.logger.Log(Format("Restoring non-IE data from the baseline: %s", path));
    // Stripped on a clone, so the baseline stays whole to place what the
    // commands restore.
    NodeSet copy(baseline);
    copy.OnTree(keys::kRoot, NodeSet::kCleanNonIEData, nullptr, commands.get(), false);
  } catch (const std::exception& e) {
    env_.logger.Error(Format("Unable to restore non-IE data from the baseline: %s", e.what()));
    return nullptr;
  }
  // A clone over the caller's baseline places as well as the tree itself.
  stored = loaded ? std::move(loaded) : std::make_unique<NodeSet>(baseline);
  return commands;
}

void IntermediateDatasource::ApplyCommands(NodeSet& tree, CommandSet& commands, NodeSet& stored) {
  for (size_t i = commands.GetSize(); i-- > 0;) {
    Command& command = *commands.GetAt(i);
    env_.logger.Log(Format("Applying: %s", WriteCompactJson(command.ToJSON())));
    const std::string& action = command.GetAction();
    try {
      if (action == actions::kUpdate) {
        if (!tree.GetNode(command.GetID(), false, true, true)) {
          env_.logger.Log("NID no longer exists, ignoring command");
          continue;
        }
        // The unfiled folder is named again only while the Favorites still
        // hold it: a user who deleted it wants no root pointing at nothing.
        const std::string unid = command.GetArg(keys::kUnid);
        if (command.GetID() == keys::kRoot && !unid.empty() &&
            !tree.GetNode(unid, false, true, true)) {
          env_.logger.Log(Format("Unfiled folder [%s] no longer exists, not named again", unid));
          command.DeleteArg(keys::kUnid);
          if (command.GetArgs().empty()) continue;
        }
      } else if (action == actions::kInsert) {
        const std::string& pnid = command.GetArg(keys::kPnid);
        if (pnid.empty() || !tree.GetNode(pnid, false, true, true)) {
          env_.logger.Log("No PNID in local ns, skipping command");
          continue;
        }
        command.SetArg(keys::kBnid, ValidBnid(tree, command, stored));
      } else {
        // Restoring never removes or moves anything the Favorites hold.
        env_.logger.Error(Format("Ignoring intermediate command of action [%s]", action));
        continue;
      }
      tree.Execute(command);
    } catch (const std::exception& e) {
      // One command that no longer fits never stops the read.
      env_.logger.Error(Format("Unable to apply intermediate command, skipping it: %s", e.what()));
    }
  }
}

std::string IntermediateDatasource::ValidBnid(NodeSet& tree, const Command& insert,
                                              NodeSet& stored) {
  const std::string& bnid = insert.GetArg(keys::kBnid);
  const std::string& pnid = insert.GetArg(keys::kPnid);
  if (bnid.empty()) return bnid;
  Node* next = tree.GetNode(bnid, false, true, true);
  if (next && next->GetAttr(keys::kPnid) == pnid) return bnid;

  // The sibling it stood before is gone or elsewhere: the next one that is
  // still there, else the end.
  std::string replacement;
  if (stored.GetNode(bnid, false, true, true)) {
    const std::vector<std::string>& siblings =
        stored.GetNode(pnid, false, false, true, "intermediate")->RawChildren();
    auto it = std::find(siblings.begin(), siblings.end(), insert.GetID());
    if (it != siblings.end()) {
      for (++it; it != siblings.end(); ++it) {
        Node* sibling = tree.GetNode(*it, false, true, true);
        if (sibling && sibling->GetAttr(keys::kPnid) == pnid) {
          replacement = *it;
          break;
        }
      }
    }
  }
  env_.logger.Log(Format("Replacing invalid BNID with: [%s]", replacement));
  return replacement;
}

void UseFavoritesThroughIntermediate(WinEnginePlatform& platform, IntermediateEnvironment env,
                                     WinEnginePlatform::DatasourceFactory favorites) {
  platform.SetDatasourceFactory([env = std::move(env), favorites = std::move(favorites)] {
    return std::make_unique<IntermediateDatasource>(env, favorites());
  });
}

}  // namespace tarvex
