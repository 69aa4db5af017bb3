// The scripts' way into the bookmark engine: class methods only, each
// working on trees of its own built for the call, with files and JSON text
// in and out. Trees are the engine's JSON form ({"_nodes", "currentRevision",
// "userHash", "version"}); command lists are its command arrays. JSON
// results are compact text ending with "\n".
//
// Errors are thrown as KestroveException: 501 when a node is missing (a
// tree without ROOT among them), 500 for every other one. A missing tree
// file reads as an empty tree; one that exists but cannot be read or
// parsed is an error, never an empty tree. Files are replaced through a
// temporary file beside them, so a failed call leaves them as they were,
// even when the output is one of the inputs.
//
// The calls run on the engine in force; when none is installed they install
// the agent's (InstallMacEngine).
#pragma once

#include <string>

namespace tarvex {

class KestroveBridge {
 public:
  KestroveBridge() = delete;

  // A new node id.
  static std::string GenerateNodeID();
  // -1, 0 or 1 as version `a` is lower than, equal to or higher than `b`.
  static int CompareVersions(const std::string& a, const std::string& b);
  // Merges the tree of `otherSetPath` into the tree of `basePath` (the
  // agent's match rule pairs their nodes) and writes the result to
  // `outPath`. Answers true.
  static bool MergeNodesetsToFile(const std::string& outPath, const std::string& basePath,
                                  const std::string& otherSetPath);
  // The hash of every node of the tree: [{"nid", "pnid", "children",
  // "hash"}, ...]; "[]" for an empty tree.
  static std::string GetNodesetHashesFromFile(const std::string& path);
  // Runs the command array `commandsetJson` on an empty tree and writes the
  // tree to `outPath`. Text that is not a whole JSON command array throws
  // (500) and leaves `outPath` alone. Answers true.
  static bool SaveDownloadCommandsetToFile(const std::string& outPath,
                                           const std::string& commandsetJson);
  // The tree as commands: an insert for each node, parents first.
  static std::string GetUploadNodesetFromFile(const std::string& path);
  static std::string GetUploadNodesetFromJson(const std::string& treeJson);
  // The commands that turn the tree `before` into the tree `after`.
  static std::string CompareNodesetsFileBefore(const std::string& beforePath,
                                               const std::string& afterPath);
  static std::string CompareNodesetsJsonBefore(const std::string& beforeJson,
                                               const std::string& afterJson);
};

// Installs the Mac flavour with the agent's match rule and the agent's
// EnginePlatform (over the shared logger and settings) as this process's
// engine, once; later calls do nothing.
void InstallMacEngine();

}  // namespace tarvex
