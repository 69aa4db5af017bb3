// The baseline file (NodeSet::LoadFromFile). Whatever the file holds, the
// load never crashes; a file it refuses leaves the set as it was; a tree it
// takes is sound (every node reachable from ROOT once, naming its parent),
// saves and loads back equal (a second save gives the same bytes), compares
// equal to itself, and is rebuilt by its own insert commands.
#include <set>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Flavours.h"
#include "nodeset/testing/TestEngine.h"
#include "nodeset/testing/Trees.h"

namespace tarvex {
namespace {

using tarvex::fuzz::Check;

std::string ReadText(testing::TestEnginePlatform& platform, const std::string& path) {
  std::string text;
  Check(platform.ReadFile(path, &text) == 0, "a saved baseline reads back", path);
  return text;
}

void CheckSound(NodeSet& set) {
  std::set<std::string> seen;
  for (const std::string& id : testing::Reachable(set)) {
    Check(seen.insert(id).second, "every node is listed once", id);
    Node* node = set.GetNode(id, false, false, true);
    for (const std::string& child : node->RawChildren()) {
      Node* c = set.GetNode(child, false, true, true);
      Check(c != nullptr, "every listed child is present", child);
      Check(c->GetAttr("pnid") == id, "a child names its parent", child);
    }
  }
}

void LoadOnce(std::string_view bytes, testing::Flavour flavour) {
  testing::TestEnginePlatform platform;
  platform.infoEnabled = false;
  ScopedEngine engine(testing::MakeFlavor(flavour), platform);
  const std::string& dir = fuzz::WorkDir();
  const std::string path = dir + "/baseline.json";
  fuzz::WriteBytes(path, bytes);

  NodeSet set;
  testing::BuildExample(set);
  const std::string before = testing::Snapshot(set, true);
  NodeSet::LoadResult result;
  try {
    result = set.LoadFromFile(path);
  } catch (const testing::EngineError&) {
    // Another user's baseline: refused, and the set is as it was.
    Check(testing::Snapshot(set, true) == before, "a refused baseline changes nothing");
    return;
  }
  if (result != NodeSet::LoadResult::Loaded) {
    Check(result == NodeSet::LoadResult::Unparsable, "an existing file is never missing");
    Check(testing::Snapshot(set, true) == before, "an unparsable baseline changes nothing");
    return;
  }
  // A file without nodes is an empty baseline, which the sync rebuilds.
  const bool rooted = set.GetNode("ROOT", false, true, true) != nullptr;
  if (rooted) CheckSound(set);
  // Times are written as their leading integer, so they are left out.
  const std::string tree = testing::Snapshot(set);

  const std::string saved = dir + "/saved.json";
  set.SaveToFile(saved);
  NodeSet again;
  Check(again.LoadFromFile(saved) == NodeSet::LoadResult::Loaded, "a saved baseline loads",
        ReadText(platform, saved));
  Check(testing::Snapshot(again) == tree, "a saved baseline loads back equal",
        ReadText(platform, saved));
  Check(again.GetRevision() == set.GetRevision(), "the revision is kept");
  Check(again.GetUserHash() == set.GetUserHash(), "the user is kept");
  const std::string first = ReadText(platform, saved);
  again.SaveToFile(saved);
  Check(ReadText(platform, saved) == first, "a second save writes the same bytes", first);

  if (!rooted) return;
  NodeSet clone(&set);
  CommandSet changes = clone.Compare(set);
  Check(changes.GetSize() == 0, "a tree compares equal to itself",
        WriteCompactJson(changes.ToJSON()));

  CommandSet inserts = set.ProvideCommandSet();
  NodeSet rebuilt;
  inserts.Execute(rebuilt);
  Check(testing::Snapshot(rebuilt) == testing::Snapshot(set),
        "a tree's insert commands build it again", WriteCompactJson(inserts.ToJSON()));
}

}  // namespace

int TestOne(const uint8_t* data, size_t size) {
  std::string_view bytes = fuzz::Bytes(data, size);
  LoadOnce(bytes, testing::Flavour::Windows);
  LoadOnce(bytes, testing::Flavour::Mac);
  return 0;
}

}  // namespace tarvex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarvex::TestOne(data, size);
}
