// Command JSON (CommandSet), as the service sends it. Whatever the text,
// reading never crashes; a set read writes JSON that reads back as the
// same set; each command run on a small tree either changes nothing (when
// it fails) or leaves a sound tree that its JSON form loads back equal.
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

void RunOnce(const Json::Value& value, testing::Flavour flavour) {
  testing::TestEnginePlatform platform;
  platform.infoEnabled = false;
  platform.identities.clear();  // trees of no user in particular
  ScopedEngine engine(testing::MakeFlavor(flavour), platform);

  std::unique_ptr<CommandSet> commands;
  try {
    commands = std::make_unique<CommandSet>(value);
  } catch (const testing::EngineError&) {
    return;  // not command JSON: refused as a whole
  } catch (const Json::Exception&) {
    return;  // a value that is not text where text belongs: the library's refusal
  }
  const std::string json = WriteCompactJson(commands->ToJSON());
  Json::Value reparsed;
  std::string error;
  Check(ParseJson(json, &reparsed, &error), "a command set writes JSON", json);
  CommandSet again(reparsed);
  Check(WriteCompactJson(again.ToJSON()) == json, "a command set's JSON reads back the same",
        json);

  NodeSet set;
  testing::BuildTree(set, "a f{b c g{d}} e");
  for (const auto& command : commands->Commands()) {
    const std::string before = testing::Snapshot(set, true);
    try {
      set.Execute(*command);
    } catch (const testing::EngineError&) {
      Check(testing::Snapshot(set, true) == before, "a failed command changes nothing",
            WriteCompactJson(command->ToJSON()));
      continue;
    }
    // The tree stays one the baseline file can hold.
    Json::Value form = set.ToJSON(true);
    NodeSet loaded;
    try {
      loaded.LoadFromJSON(form);
    } catch (const testing::EngineError& e) {
      fuzz::Broken("a command leaves a sound tree",
                   std::string(e.what()) + " after " + WriteCompactJson(command->ToJSON()));
    }
    // Times are written as their leading integer, so they are left out.
    Check(testing::Snapshot(loaded) == testing::Snapshot(set), "a tree's JSON loads back equal",
          WriteCompactJson(form));
  }
}

}  // namespace

int TestOne(const uint8_t* data, size_t size) {
  Json::Value value;
  std::string error;
  if (!ParseJson(fuzz::Bytes(data, size), &value, &error)) return 0;
  RunOnce(value, testing::Flavour::Windows);
  RunOnce(value, testing::Flavour::Mac);
  return 0;
}

}  // namespace tarvex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarvex::TestOne(data, size);
}
