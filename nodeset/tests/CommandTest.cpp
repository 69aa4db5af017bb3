// Commands: their JSON form in both flavours, the reader's rules for what
// arrives from the sync service, and the command list operations.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Flavours.h"
#include "nodeset/testing/TestEngine.h"

namespace tarvex {
namespace {

using testing::Flavour;
using testing::FlavourName;
using testing::MakeFlavor;

using ::testing::ElementsAre;

Json::Value Parse(std::string_view text) {
  Json::Value value;
  std::string error;
  if (!ParseJson(text, &value, &error)) ADD_FAILURE() << "bad test JSON: " << error << "\n" << text;
  return value;
}

// "action(nid){key=value,...}" for each command, joined by "; ".
std::string Render(const CommandSet& set) {
  std::string out;
  for (const auto& command : set.Commands()) {
    if (!out.empty()) out += "; ";
    out += command->GetAction() + "(" + command->GetID() + ")";
    if (command->GetArgs().empty()) continue;
    out += "{";
    bool first = true;
    for (const auto& [key, value] : command->GetArgs()) {
      if (!first) out += ",";
      first = false;
      out += key + "=" + value;
    }
    out += "}";
  }
  return out;
}

// What reading `json` gives: the rendered commands, "!invalid" for the
// engine's "Invalid command JSON" error, "!json" for the library's error.
std::string ReadOutcome(const Json::Value& value) {
  try {
    return Render(CommandSet(value));
  } catch (const testing::EngineError& e) {
    if (e.kind == ErrorKind::General && std::string(e.what()) == "Invalid command JSON")
      return "!invalid";
    return std::string("!engine: ") + e.what();
  } catch (const Json::LogicError&) {
    return "!json";
  }
}

class FlavouredCommandTest : public ::testing::TestWithParam<Flavour> {
 protected:
  bool IsWindows() const { return GetParam() == Flavour::Windows; }

  testing::TestEnginePlatform platform_;
  ScopedEngine engine_{MakeFlavor(GetParam()), platform_};
};

// ---- Writing ------------------------------------------------------------------

using CommandWriteTest = FlavouredCommandTest;

TEST_P(CommandWriteTest, CommandWithoutArgumentsHasNoArgsMember) {
  EXPECT_EQ(WriteCompactJson(Command("delete", "x9").ToJSON()),
            R"({"action":"delete","nid":"x9"})");
}

TEST_P(CommandWriteTest, TagsAreAnArrayOfPiecesInWindowsAndTextOnTheMac) {
  const struct {
    const char* tags;
    const char* windows;
    const char* mac;
  } cases[] = {
      {"a,,b", R"(["a","b"])", R"("a,,b")"},
      {"", "[]", R"("")"},
      {",", "[]", R"(",")"},
      {" a , b", R"([" a "," b"])", R"(" a , b")"},
      {"daily,local", R"(["daily","local"])", R"("daily,local")"},
  };
  for (const auto& c : cases) {
    Command command("update", "n", {{"tags", c.tags}});
    EXPECT_EQ(WriteCompactJson(command.ToJSON()["args"]["tags"]), IsWindows() ? c.windows : c.mac)
        << "tags \"" << c.tags << "\"";
  }
}

TEST_P(CommandWriteTest, TimesAreWrittenAsTheirLeadingInteger) {
  Command command("update", "n",
                  {{"created", "12abc"},
                   {"modified", ""},
                   {"visited", " -7"},
                   {"name", "12abc"},
                   {"icon", "3"},
                   {"big", "9999999999999"}});
  EXPECT_EQ(
      WriteCompactJson(command.ToJSON()),
      R"({"action":"update","args":{"big":"9999999999999","created":12,"icon":"3","modified":0,"name":"12abc","visited":-7},"nid":"n"})");
  // 64-bit, saturating.
  Command huge("update", "n", {{"created", "99999999999999999999"}, {"visited", "1262304000123"}});
  EXPECT_EQ(WriteCompactJson(huge.ToJSON()["args"]),
            R"({"created":9223372036854775807,"visited":1262304000123})");
}

TEST_P(CommandWriteTest, ExampleCommandArray) {
  CommandSet set;
  set.Append(MakeCommand("insert", "c4",
                         {{"bnid", "b3"},
                          {"created", "1262304000"},
                          {"name", "Weather"},
                          {"ntype", "bookmark"},
                          {"pnid", "f2"},
                          {"tags", "daily,local"},
                          {"url", "http://weather.example/"}}));
  set.Append(MakeCommand("reorder", "f2", {{"bnid", "a1"}}));
  set.Append(MakeCommand("update", "a1", {{"icon", ""}, {"name", "Example site"}}));
  set.Append(MakeCommand("delete", "x9"));
  const std::string tags = IsWindows() ? R"(["daily","local"])" : R"("daily,local")";
  EXPECT_EQ(
      WriteCompactJson(set.ToJSON()),
      R"([{"action":"insert","args":{"bnid":"b3","created":1262304000,"name":"Weather","ntype":"bookmark","pnid":"f2","tags":)" +
          tags +
          R"(,"url":"http://weather.example/"},"nid":"c4"},{"action":"reorder","args":{"bnid":"a1"},"nid":"f2"},{"action":"update","args":{"icon":"","name":"Example site"},"nid":"a1"},{"action":"delete","nid":"x9"}])");
}

TEST_P(CommandWriteTest, WrittenCommandsReadBackUnchanged) {
  CommandSet set;
  set.Append(MakeCommand("insert", "c4",
                         {{"bnid", ""},
                          {"created", "1262304000"},
                          {"name", "Wetter \xC3\xBC \xF0\x9F\x98\x80"},
                          {"pnid", "f2"},
                          {"tags", "daily,local"},
                          {"url", ""}}));
  set.Append(MakeCommand("move", "a1", {{"pnid", "f2"}}));
  set.Append(MakeCommand("delete", "x9"));
  std::string text = WriteCompactJson(set.ToJSON());
  EXPECT_NE(text.find("\xF0\x9F\x98\x80"), std::string::npos) << "raw UTF-8, not escapes";
  CommandSet back(Parse(text));
  EXPECT_EQ(Render(back), Render(set));
}

INSTANTIATE_TEST_SUITE_P(Flavours, CommandWriteTest,
                         ::testing::Values(Flavour::Windows, Flavour::Mac), FlavourName);

// ---- Reading ------------------------------------------------------------------

using CommandReadTest = FlavouredCommandTest;

TEST_P(CommandReadTest, ReaderTable) {
  const struct {
    const char* what;
    const char* json;
    const char* windows;
    const char* mac;  // nullptr: as in Windows
  } cases[] = {
      // The container.
      {"array",
       R"([{"action":"delete","nid":"a"},{"action":"update","nid":"b","args":{"name":"N"}}])",
       "delete(a); update(b){name=N}", nullptr},
      {"object in place of an array: member values in name order",
       R"({"z":{"action":"delete","nid":"z1"},"a":{"action":"delete","nid":"a1"}})",
       "delete(a1); delete(z1)", nullptr},
      {"string", R"("delete")", "", nullptr},
      {"number", "7", "", nullptr},
      {"null", "null", "", nullptr},
      {"boolean", "true", "", nullptr},
      {"empty array", "[]", "", nullptr},
      // Action and id.
      {"element without action is dropped", R"([{"nid":"a"},{"action":"delete","nid":"b"}])",
       "delete(b)", nullptr},
      {"element without action is dropped even with an unusable nid",
       R"([{"nid":"","args":{"pnid":"\n"}}])", "", nullptr},
      {"null action gives the empty action", R"([{"action":null,"nid":"a"}])", "(a)", nullptr},
      {"action none is dropped", R"([{"action":"none","nid":"a"},{"action":"delete","nid":"b"}])",
       "delete(b)", nullptr},
      {"action is any text", R"([{"action":"copy","nid":"a"},{"action":7,"nid":"b"}])",
       "copy(a); 7(b)", nullptr},
      {"integer nid", R"([{"action":"delete","nid":42}])", "delete(42)", nullptr},
      {"missing nid", R"([{"action":"delete"}])", "!invalid", nullptr},
      {"empty nid", R"([{"action":"delete","nid":""}])", "!invalid", nullptr},
      {"null nid", R"([{"action":"delete","nid":null}])", "!invalid", nullptr},
      {"action an array", R"([{"action":["delete"],"nid":"a"}])", "!json", nullptr},
      {"action an object", R"([{"action":{},"nid":"a"}])", "!json", nullptr},
      {"action a real number", R"([{"action":1.5,"nid":"a"}])", "!json", nullptr},
      {"nid a real number", R"([{"action":"delete","nid":1.5}])", "!json", nullptr},
      {"nid an array ends the whole read",
       R"([{"action":"delete","nid":"a"},{"action":"delete","nid":["b"]}])", "!json", nullptr},
      // Arguments.
      {"args missing", R"([{"action":"update","nid":"a"}])", "update(a)", nullptr},
      {"args null", R"([{"action":"update","nid":"a","args":null}])", "update(a)", nullptr},
      {"text members: string, integers, booleans, null",
       R"([{"action":"update","nid":"a","args":{"s":"x","i":-3,"u":18446744073709551615,"t":true,"f":false,"n":null}}])",
       "update(a){f=false,i=-3,n=,s=x,t=true,u=18446744073709551615}", nullptr},
      {"tags array joined", R"([{"action":"update","nid":"a","args":{"tags":["daily","local"]}}])",
       "update(a){tags=daily,local}", "!json"},
      {"tags object joined in name order",
       R"([{"action":"update","nid":"a","args":{"tags":{"b":"y","a":"x"}}}])",
       "update(a){tags=x,y}", "!json"},
      {"tags: empty texts at the start leave no comma",
       R"([{"action":"update","nid":"a","args":{"tags":["","a"]}}])", "update(a){tags=a}", "!json"},
      {"tags: later empty texts keep their commas",
       R"([{"action":"update","nid":"a","args":{"tags":["","","a","","b",""]}}])",
       "update(a){tags=a,,b,}", "!json"},
      {"tags elements that are text", R"([{"action":"update","nid":"a","args":{"tags":[1,true]}}])",
       "update(a){tags=1,true}", "!json"},
      {"tags empty array", R"([{"action":"update","nid":"a","args":{"tags":[]}}])",
       "update(a){tags=}", "!json"},
      {"tags element a list", R"([{"action":"update","nid":"a","args":{"tags":[["x"]]}}])", "!json",
       nullptr},
      {"tags element a real number", R"([{"action":"update","nid":"a","args":{"tags":["x",1.5]}}])",
       "!json", nullptr},
      {"tags a real number", R"([{"action":"update","nid":"a","args":{"tags":1.5,"name":"N"}}])",
       "update(a){name=N,tags=}", "!json"},
      {"tags a string is not split", R"([{"action":"update","nid":"a","args":{"tags":"a,,b"}}])",
       "update(a){tags=a,,b}", nullptr},
      {"tags null", R"([{"action":"update","nid":"a","args":{"tags":null}}])", "update(a){tags=}",
       nullptr},
      {"other member a real number is left out",
       R"([{"action":"update","nid":"a","args":{"created":1.5,"name":"N","url":"u"}}])",
       "update(a){name=N,url=u}", "!json"},
      {"other member a list is left out",
       R"([{"action":"update","nid":"a","args":{"name":["x"],"url":"u"}}])", "update(a){url=u}",
       "!json"},
      // Malformed commands.
      {"element a string", R"([{"action":"delete","nid":"a"},"delete"])", "!invalid", nullptr},
      {"element a number", "[7]", "!invalid", nullptr},
      {"element a list", R"([[{"action":"delete","nid":"a"}]])", "!invalid", nullptr},
      {"element null has no action", R"([null,{"action":"delete","nid":"a"}])", "delete(a)",
       nullptr},
      {"args a string", R"([{"action":"update","nid":"a","args":"name"}])", "!invalid", nullptr},
      {"args a list", R"([{"action":"update","nid":"a","args":[]}])", "!invalid", nullptr},
      {"args a number", R"([{"action":"update","nid":"a","args":5}])", "!invalid", nullptr},
      // Ids.
      {"line break in nid", R"([{"action":"delete","nid":"a\nb"}])", "!invalid", nullptr},
      {"DEL in nid", R"([{"action":"delete","nid":"a\u007f"}])", "!invalid", nullptr},
      {"NUL in nid", R"([{"action":"delete","nid":"a\u0000b"}])", "!invalid", nullptr},
      {"tab in pnid", R"([{"action":"move","nid":"a","args":{"pnid":"x\ty"}}])", "!invalid",
       nullptr},
      {"NUL as pnid", R"([{"action":"move","nid":"a","args":{"pnid":"\u0000"}}])", "!invalid",
       nullptr},
      {"control character in bnid", R"([{"action":"move","nid":"a","args":{"bnid":"\u0001"}}])",
       "!invalid", nullptr},
      {"empty pnid and bnid are fine",
       R"([{"action":"insert","nid":"a","args":{"pnid":"","bnid":""}}])", "insert(a){bnid=,pnid=}",
       nullptr},
      {"an integer pnid is an id", R"([{"action":"move","nid":"a","args":{"pnid":7}}])",
       "move(a){pnid=7}", nullptr},
      {"control characters elsewhere are kept",
       R"([{"action":"update","nid":"a","args":{"name":"x\ty"}}])", "update(a){name=x\ty}",
       nullptr},
      {"non-ASCII ids", R"([{"action":"delete","nid":"\u00e9\ud83d\ude00"}])",
       "delete(\xC3\xA9\xF0\x9F\x98\x80)", nullptr},
  };
  for (const auto& c : cases) {
    const char* expected = !IsWindows() && c.mac ? c.mac : c.windows;
    EXPECT_EQ(ReadOutcome(Parse(c.json)), expected) << c.what << "\n" << c.json;
  }
}

TEST_P(CommandReadTest, InvalidUtf8BecomesReplacementCharacters) {
  Json::Value value(Json::arrayValue);
  Json::Value& command = value.append(Json::Value(Json::objectValue));
  command["action"] = "update";
  command["nid"] = "a\xFF";
  command["args"]["na\xC3me"] = "x\xE2\x82";
  EXPECT_EQ(ReadOutcome(value), "update(a\xEF\xBF\xBD){na\xEF\xBF\xBDme=x\xEF\xBF\xBD}");
}

TEST_P(CommandReadTest, ReadCommandsExecute) {
  // A null action survives the read and fails only when it runs.
  CommandSet commands(Parse(R"([{"action":"insert","nid":"ROOT","args":{"ntype":"folder"}},
                                {"action":null,"nid":"ROOT"}])"));
  ASSERT_EQ(commands.GetSize(), 2u);
  NodeSet set;
  try {
    commands.Execute(set);
    ADD_FAILURE() << "the empty action ran";
  } catch (const testing::EngineError& e) {
    EXPECT_EQ(e.kind, ErrorKind::General);
    EXPECT_STREQ(e.what(), "No method for action: ");
  }
  EXPECT_EQ(set.GetNode("ROOT", false, false, false)->GetAttr("ntype"), "folder");
}

INSTANTIATE_TEST_SUITE_P(Flavours, CommandReadTest,
                         ::testing::Values(Flavour::Windows, Flavour::Mac), FlavourName);

// ---- The list ------------------------------------------------------------------

class CommandSetTest : public ::testing::Test {
 protected:
  static CommandSet Of(std::vector<std::pair<const char*, const char*>> commands) {
    CommandSet set;
    for (const auto& [action, id] : commands) set.Append(MakeCommand(action, id));
    return set;
  }
  static std::vector<std::string> Ids(const CommandSet& set) {
    std::vector<std::string> ids;
    for (const auto& command : set.Commands()) ids.push_back(command->GetID());
    return ids;
  }

  testing::TestEnginePlatform platform_;
  ScopedEngine engine_{EngineFlavor::Windows(), platform_};
};

TEST_F(CommandSetTest, IndexesPastTheEndDoNoHarm) {
  CommandSet set = Of({{"delete", "a"}, {"delete", "b"}});
  EXPECT_EQ(set.GetAt(2), nullptr);
  EXPECT_EQ(set.GetAt(static_cast<size_t>(-1)), nullptr);
  EXPECT_EQ(set.GetIteratorAt(2), set.GetIteratorAt(99));
  EXPECT_EQ(set.Drop(2), nullptr);
  EXPECT_EQ(set.Drop(static_cast<size_t>(-1)), nullptr);
  EXPECT_THAT(Ids(set), ElementsAre("a", "b"));

  set.Insert(99, MakeCommand("delete", "end"));
  set.Insert(0, MakeCommand("delete", "front"));
  set.Insert(2, MakeCommand("delete", "middle"));
  EXPECT_THAT(Ids(set), ElementsAre("front", "a", "middle", "b", "end"));

  std::unique_ptr<Command> dropped = set.Drop(1);
  ASSERT_NE(dropped, nullptr);
  EXPECT_EQ(dropped->GetID(), "a");
  EXPECT_THAT(Ids(set), ElementsAre("front", "middle", "b", "end"));

  CommandSet::List released = set.ReleaseSet();
  EXPECT_EQ(set.GetSize(), 0u);
  EXPECT_EQ(released.size(), 4u);
}

TEST_F(CommandSetTest, DeletedNodeListToleratesBadIndexes) {
  Command command("delete", "f");
  command.AddDeletedNode("f");
  command.AddDeletedNode("b");
  EXPECT_EQ(command.GetDeletedNodeIndex("b"), 1);
  EXPECT_EQ(command.GetDeletedNodeIndex("x"), -1);
  EXPECT_EQ(command.GetDeletedNodeAt(5), "");
  command.RemoveDeletedNodeAt(5);
  EXPECT_EQ(command.DeletedNodeCount(), 2u);
  command.flagged = true;
  Command copy(command);
  command.RemoveDeletedNodeAt(0);
  EXPECT_FALSE(command.HasDeletedNode("f"));
  EXPECT_TRUE(copy.HasDeletedNode("f"));
  EXPECT_TRUE(copy.flagged);
}

TEST_F(CommandSetTest, LongDeletedNodeListsAnswerAsAPlainSearchWould) {
  // Long lists are searched through an index: after additions, removals
  // (one at a time and many at once), copies and resets, every look-up
  // still gives the first place of the id in the list, as a search from
  // the start does. Ids repeat, so that a first place can move.
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    Command command("delete", "f");
    std::vector<std::string> model;
    std::unique_ptr<Command> copy;
    std::vector<std::string> copied;
    auto check = [&](const Command& c, const std::vector<std::string>& m) {
      ASSERT_EQ(c.DeletedNodeCount(), m.size());
      for (int id = 0; id < 120; ++id) {
        const std::string text = "n" + std::to_string(id);
        auto at = std::find(m.begin(), m.end(), text);
        EXPECT_EQ(c.GetDeletedNodeIndex(text), at == m.end() ? -1 : at - m.begin()) << text;
      }
    };
    for (int step = 0; step < 400; ++step) {
      const unsigned op = rng() % 100;
      if (op < 55) {
        std::string id = "n" + std::to_string(rng() % 100);
        command.AddDeletedNode(id);
        model.push_back(id);
      } else if (op < 70 && !model.empty()) {
        size_t at = rng() % model.size();
        command.RemoveDeletedNodeAt(at);
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
      } else if (op < 73) {
        std::string id = "n" + std::to_string(rng() % 100);
        command.RemoveDeletedNodesIf([&](const std::string& n) { return n <= id; });
        std::erase_if(model, [&](const std::string& n) { return n <= id; });
      } else if (op < 76) {
        copy = std::make_unique<Command>(command);
        copied = model;
      } else if (op < 78) {
        command = copy ? *copy : Command("delete", "g");
        model = copy ? copied : std::vector<std::string>();
      } else if (op < 79) {
        command.ResetDeletedNodes();
        model.clear();
      } else {
        check(command, model);
      }
    }
    check(command, model);
    if (copy) check(*copy, copied);
  }
}

TEST_F(CommandSetTest, CombinePrePostReversesThePreSetAndAppendsThePostSet) {
  CommandSet set = Of({{"delete", "c1"}});
  set.PreSet() = std::make_unique<CommandSet>(Of({{"move", "p1"}, {"move", "p2"}}));
  set.CombinePrePost();
  EXPECT_THAT(Ids(set), ElementsAre("p2", "p1", "c1"));
  EXPECT_EQ(set.PreSet(), nullptr);

  CommandSet other = Of({{"delete", "c1"}});
  other.PostSet() = std::make_unique<CommandSet>(Of({{"reorder", "q1"}, {"reorder", "q2"}}));
  other.CombinePrePost();
  EXPECT_THAT(Ids(other), ElementsAre("c1", "q1", "q2"));
  EXPECT_EQ(other.PostSet(), nullptr);

  CommandSet both = Of({{"delete", "c1"}, {"delete", "c2"}});
  both.PreSet() = std::make_unique<CommandSet>(Of({{"move", "p1"}, {"move", "p2"}}));
  both.PostSet() = std::make_unique<CommandSet>(Of({{"reorder", "q1"}}));
  both.CombinePrePost();
  EXPECT_THAT(Ids(both), ElementsAre("p2", "p1", "c1", "c2", "q1"));
}

TEST_F(CommandSetTest, FilterCommandsRemovesEveryCommandOfTheAction) {
  CommandSet set = Of({{"update", "u1"}, {"insert", "i1"}, {"update", "u2"}});
  set.FilterCommands("update");
  EXPECT_THAT(Ids(set), ElementsAre("i1"));
  set.FilterCommands("Insert");  // exact comparison
  EXPECT_THAT(Ids(set), ElementsAre("i1"));
}

TEST_F(CommandSetTest, DemoteMovesToReordersOnlyWhereTheParentStays) {
  NodeSet base;
  base.Execute(CommandSet(Parse(R"([
      {"action":"insert","nid":"ROOT","args":{"ntype":"folder"}},
      {"action":"insert","nid":"A","args":{"pnid":"ROOT"}},
      {"action":"insert","nid":"F","args":{"pnid":"ROOT","ntype":"folder"}},
      {"action":"insert","nid":"B","args":{"pnid":"F"}},
      {"action":"insert","nid":"C","args":{"pnid":"F"}}])")));
  NodeSet clone(&base);  // the lookup reads through to the base
  clone.Do_delete("C");
  CommandSet set;
  set.Append(MakeCommand("move", "A", {{"pnid", "ROOT"}, {"bnid", "F"}}));
  set.Append(MakeCommand("move", "B", {{"pnid", "ROOT"}}));  // another parent
  set.Append(MakeCommand("move", "Z", {{"pnid", "ROOT"}}));  // no such node
  set.Append(MakeCommand("move", "C", {{"pnid", "F"}}));     // deleted
  set.Append(MakeCommand("update", "B", {{"pnid", "F"}}));   // not a move
  set.Append(MakeCommand("move", "B", {{"pnid", "F"}}));
  set.DemoteMovesToReorders(clone);
  EXPECT_EQ(Render(set),
            "reorder(A){bnid=F}; move(B){pnid=ROOT}; move(Z){pnid=ROOT}; "
            "move(C){pnid=F}; update(B){pnid=F}; reorder(B)");
}

}  // namespace
}  // namespace tarvex
