#include "app/nodeset/KestroveBridge.h"

#include <json/json.h>

#include <mutex>

#include "app/core/KVPort.h"
#include "app/core/KVPortServices.h"
#include "app/nodeset/MatchRules.h"
#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"
#include "text/Text.h"

namespace tarvex {
namespace {

void EnsureEngine() {
  if (!Engine::Current().platform) InstallMacEngine();
}

// JSON results: the compact one-line form and a line end.
std::string Result(const Json::Value& value) { return WriteCompactJson(value) + "\n"; }

Json::Value Parse(const std::string& text, const char* what) {
  Json::Value value;
  std::string error;
  if (!ParseJson(text, &value, &error))
    Fail(ErrorKind::General, Format("Unable to parse %s JSON: %s", what, error));
  return value;
}

// A tree file: a missing one is an empty tree, one that cannot be read or
// parsed an error (an empty tree would stand for a tree that was deleted).
void LoadTreeFile(NodeSet& set, const std::string& path) {
  if (set.LoadFromFile(path) == NodeSet::LoadResult::Unparsable)
    Fail(ErrorKind::General, Format("Unable to read the tree file: %s", path));
}

void LoadTreeJson(NodeSet& set, const std::string& text) {
  set.LoadFromJSON(Parse(text, "tree"));
}

// Commands other clients wrote may carry what the agent's reader takes
// only as text: `tags` as a list of pieces (the Windows client's form),
// joined with ","; any other member that is not text is left out, as the
// Windows client's reader leaves it out.
void TextArguments(Json::Value& commands) {
  for (Json::Value& command : commands) {
    if (!command.isObject() || !command["args"].isObject()) continue;
    Json::Value& args = command["args"];
    for (const std::string& name : args.getMemberNames()) {
      Json::Value& member = args[name];
      if (IsJsonText(member)) continue;
      if (name == "tags" && (member.isArray() || member.isObject())) {
        std::string joined;
        for (const Json::Value& piece : member) {
          if (!IsJsonText(piece)) continue;
          if (!joined.empty()) joined.push_back(',');
          joined += JsonText(piece);
        }
        member = joined;
      } else {
        args.removeMember(name);
      }
    }
  }
}

// Where a call's trees come from: files or JSON text.
using TreeLoader = void (*)(NodeSet& set, const std::string& source);

std::string UploadCommands(TreeLoader load, const std::string& source) {
  EnsureEngine();
  NodeSet set;
  load(set, source);
  return Result(set.ProvideCommandSet().ToJSON());
}

std::string Differences(TreeLoader load, const std::string& before, const std::string& after) {
  EnsureEngine();
  NodeSet a, b;
  load(a, before);
  load(b, after);
  return Result(a.Compare(b).ToJSON());
}

}  // namespace

std::string KestroveBridge::GenerateNodeID() { return mac::KVPort::GenerateNodeID(); }

int KestroveBridge::CompareVersions(const std::string& a, const std::string& b) {
  return mac::KVPort::VersionStrCmp(a, b);
}

bool KestroveBridge::MergeNodesetsToFile(const std::string& outPath, const std::string& basePath,
                                         const std::string& otherSetPath) {
  EnsureEngine();
  NodeSet base, other;
  LoadTreeFile(base, basePath);
  LoadTreeFile(other, otherSetPath);
  base.Merge(other);
  base.SaveToFile(outPath);
  return true;
}

std::string KestroveBridge::GetNodesetHashesFromFile(const std::string& path) {
  EnsureEngine();
  NodeSet set;
  LoadTreeFile(set, path);
  set.HashTree();
  return Result(set.ProvideHashes());
}

bool KestroveBridge::SaveDownloadCommandsetToFile(const std::string& outPath,
                                                  const std::string& commandsetJson) {
  EnsureEngine();
  Json::Value value = Parse(commandsetJson, "command");
  // A download is a whole array; anything else is a reply cut short or
  // not one at all, and would be saved as a tree that lost its nodes.
  if (!value.isArray()) Fail(ErrorKind::General, "Unable to parse command JSON: not an array");
  TextArguments(value);
  CommandSet commands(std::move(value));
  NodeSet set;
  commands.Execute(set);
  set.SaveToFile(outPath);
  return true;
}

std::string KestroveBridge::GetUploadNodesetFromFile(const std::string& path) {
  return UploadCommands(&LoadTreeFile, path);
}

std::string KestroveBridge::GetUploadNodesetFromJson(const std::string& treeJson) {
  return UploadCommands(&LoadTreeJson, treeJson);
}

std::string KestroveBridge::CompareNodesetsFileBefore(const std::string& beforePath,
                                                      const std::string& afterPath) {
  return Differences(&LoadTreeFile, beforePath, afterPath);
}

std::string KestroveBridge::CompareNodesetsJsonBefore(const std::string& beforeJson,
                                                      const std::string& afterJson) {
  return Differences(&LoadTreeJson, beforeJson, afterJson);
}

void InstallMacEngine() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Never destroyed: scripts may call the engine until the process ends.
    static MacEnginePlatform* platform = new MacEnginePlatform();
    Engine::Current().flavor = mac::MacFlavor();
    Engine::Current().platform = platform;
  });
}

}  // namespace tarvex
