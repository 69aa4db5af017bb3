#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "ie/favorites/FavoritesReader.h"
#include "ie/favorites/tests/FavoritesFixture.h"
#include "ie/foundation/IniFile.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "ie/foundation/text/Text.h"
#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/Trees.h"
#include "platform/Win32Error.h"

namespace tarvex {
namespace {

using testing::PutFile;
using testing::ReadAll;
using testing::Shortcut;
namespace fs = std::filesystem;

// What a file-system entry is, to tell whether a pass changed it: a
// rewrite through a temporary file changes the inode even when the bytes
// stay the same.
struct FileState {
  char kind = '?';
  ino_t inode = 0;
  std::string content;
  uint32_t attributes = 0;
  bool operator==(const FileState&) const = default;
};

std::map<std::string, FileState> FilesBelow(const std::string& root) {
  std::map<std::string, FileState> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string path = it->path().string();
    struct stat st {};
    ::lstat(path.c_str(), &st);
    FileState state;
    state.inode = st.st_ino;
    state.kind = S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : 'o';
    if (state.kind == 'f') state.content = ReadAll(path);
    if (state.kind != 'o') FileSystem::Native().GetAttributes(path, &state.attributes);
    out[path.substr(root.size())] = state;
  }
  return out;
}

// The paths whose state differs between two listings, one per line.
std::string ChangedPaths(const std::map<std::string, FileState>& before,
                         const std::map<std::string, FileState>& after) {
  std::string out;
  for (const auto& [path, state] : before) {
    auto it = after.find(path);
    if (it == after.end())
      out += "gone: " + path + "\n";
    else if (!(it->second == state))
      out += (it->second.content == state.content ? "rewritten: " : "changed: ") + path + "\n";
  }
  for (const auto& [path, state] : after)
    if (!before.count(path)) out += "new: " + path + "\n";
  return out;
}

std::string Text(const CommandSet& commands) {
  return WriteCompactJson(commands.ToJSON());
}

// A copy of a tree through its JSON form.
std::unique_ptr<NodeSet> CopyOf(NodeSet& set) {
  auto copy = std::make_unique<NodeSet>();
  copy->LoadFromJSON(set.ToJSON());
  return copy;
}

class FavoritesWriterTest : public testing::FavoritesFixture {
 protected:
  FavoritesWriterTest() { platform_.identities.clear(); }

  void Write(NodeSet& set, FavoritesEnvironment env) {
    FavoritesDatasource writer(std::move(env));
    writer.WriteNodeSet(set);
  }
  void Write(NodeSet& set) { Write(set, Env()); }

  // The commands that would turn the tree read from disk into `want`:
  // none when the disk holds `want`.
  std::string Differences(NodeSet& want, bool ignoreToolbar = false) {
    auto read = Read();
    auto expected = CopyOf(want);
    if (ignoreToolbar) {
      read->GetNode("ROOT", false, false, false)->RemoveAttr("tnid");
      expected->GetNode("ROOT", false, false, false)->RemoveAttr("tnid");
    }
    CommandSet commands = read->Compare(*expected);
    return commands.GetSize() == 0 ? std::string() : Text(commands);
  }
  std::string Value(const std::string& rel, std::string_view section, std::string_view key) {
    IniFile ini(fav_ + "/" + rel, 0, FileSystem::Native(), settings_, logger_);
    return ini.GetValue(section, key, "<absent>");
  }
  bool IsHidden(const std::string& path) {
    uint32_t attrs = 0;
    return FileSystem::Native().GetAttributes(path, &attrs) == 0 &&
           (attrs & FILE_ATTRIBUTE_HIDDEN) != 0;
  }
  static void Insert(NodeSet& set, const std::string& id, const std::string& pnid,
                     const std::string& name, const std::string& url = {},
                     const std::string& ntype = "bookmark") {
    Attributes args{{"pnid", pnid}, {"name", name}, {"ntype", ntype}};
    if (!url.empty()) args["url"] = url;
    set.Execute(Command("insert", id, std::move(args)));
  }
  static std::unique_ptr<NodeSet> EmptyTree() {
    auto set = std::make_unique<NodeSet>();
    set->Execute(Command("insert", "ROOT", {{"ntype", "folder"}}));
    return set;
  }
};

TEST_F(FavoritesWriterTest, WritesFilesFoldersAndTitlesThatFileNamesCannotHold) {
  auto set = EmptyTree();
  Insert(*set, "f1", "ROOT", "News", {}, "folder");
  Insert(*set, "b1", "f1", "Q&A: why?", "http://qa.example/\r\n[Injected]\r\nx=y");
  Insert(*set, "b2", "f1", "Site", "http://site.example/");
  Insert(*set, "b3", "ROOT", "Site", "http://other.example/");
  Insert(*set, "b4", "ROOT", "Site", "http://third.example/");
  Insert(*set, "f2", "ROOT", "..", {}, "folder");
  Insert(*set, "s1", "ROOT", "", {}, "separator");
  Insert(*set, "b5", "ROOT", "CON", "http://con.example/");
  set->GetNode("b2", false, false, false)->SetAttr("created", "12");
  Write(*set);

  EXPECT_EQ(Value("News/meta.kv", "Tarvex", "nid"), "f1");
  EXPECT_EQ(Value("News/meta.kv", "Tarvex", "ntype"), "folder");
  EXPECT_TRUE(IsHidden(fav_ + "/News/meta.kv"));
  // The title keeps what the file name cannot; a value ends at a line break.
  EXPECT_EQ(Value("News/Q&A why.url", "Tarvex", "original_name"), "Q&A: why?");
  EXPECT_EQ(Value("News/Q&A why.url", "InternetShortcut", "URL"), "http://qa.example/");
  EXPECT_EQ(Value("News/Q&A why.url", "Injected", "x"), "<absent>");
  EXPECT_EQ(Value("News/Site.url", "Tarvex", "original_name"), "<absent>");
  // Equal titles in one folder get names of their own; nothing is shared.
  EXPECT_EQ(Value("Site.url", "Tarvex", "nid"), "b3");
  EXPECT_EQ(Value("Site__1.url", "Tarvex", "nid"), "b4");
  EXPECT_EQ(Value("Site__1.url", "Tarvex", "original_name"), "Site");
  // Titles that reduce to nothing never land on the parent.
  EXPECT_EQ(Value("[unnamed]/meta.kv", "Tarvex", "nid"), "f2");
  EXPECT_EQ(Value("---.url", "Tarvex", "ntype"), "separator");
  EXPECT_EQ(Value("CON_.url", "Tarvex", "original_name"), "CON");
  EXPECT_FALSE(fs::exists(fav_ + "/meta.kv"));

  // The tree keeps what the files hold; the root its type and toolbar.
  EXPECT_FALSE(set->GetNode("b2", false, false, false)->HasAttr("created"));
  set->Execute(Command("update", "b1", {{"url", "http://qa.example/"}}));
  EXPECT_EQ(Differences(*set), "");
}

// The writing and the reading of random trees with awkward titles, written
// into an empty folder and over an earlier tree: the tree read back is the
// tree written, a second writing changes no file, and nothing outside the
// Favorites, the user folder and the registry is touched.
TEST_F(FavoritesWriterTest, WriteThenReadGivesTheSameTree) {
  static const std::vector<std::string> kTitles = {
      ":",
      "?",
      "..",
      "???",
      "...",
      "a:b?c",
      "Site",
      "site",
      "News",
      std::string(71, 'x'),
      std::string(80, 'y') + "z",
      "\xF0\x9F\x98\x80 smile",                                   // beyond U+FFFF
      std::string(69, 'p') + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80",  // cut inside a pair
      "trailing...",
      ".profile",
      "CON",
      "lpt1.txt",
      "a/b",
      "back\\slash",
      "meta.kv",
      "desktop.ini",
      "Links",
      "Foo__1",
      "Foo",
      " padded ",
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
      "Mobile Favorites",
      ""};
  const std::string outsideTarget = dir_ / "outside/target.url";
  const std::string outsideText = Shortcut("http://outside.example/");
  PutFile(outsideTarget, outsideText);

  auto pick = [](std::mt19937& rng) { return kTitles[rng() % kTitles.size()]; };
  auto randomTitles = [&](NodeSet& set, std::mt19937& rng) {
    std::vector<std::string> ids;
    std::vector<std::string> stack{"ROOT"};
    while (!stack.empty()) {
      Node* node = set.GetNode(stack.back(), false, false, true);
      stack.pop_back();
      for (const std::string& c : node->RawChildren()) {
        ids.push_back(c);
        stack.push_back(c);
      }
    }
    for (const std::string& id : ids)
      if (rng() % 2) set.Do_update(id, {{"name", pick(rng)}});
    for (int i = 0; i < 2 && !ids.empty(); ++i)  // separators
      if (rng() % 3 == 0) {
        const std::string id = Format("sep%d", static_cast<int>(rng() % 100000));
        if (!set.GetNode(id, false, true, true))
          set.Do_insert(id, {{"pnid", "ROOT"}, {"ntype", "separator"}, {"name", "---"}});
      }
    // The toolbar: a folder anywhere, or nothing usable.
    std::vector<std::string> folders;
    for (const std::string& id : ids)
      if (set.GetNode(id, false, false, true)->IsFolder()) folders.push_back(id);
    const int choice = static_cast<int>(rng() % 6);
    std::string tnid;
    if (choice < 3 && !folders.empty()) tnid = folders[rng() % folders.size()];
    if (choice == 3 && !ids.empty()) tnid = ids[rng() % ids.size()];
    if (choice == 4) tnid = "ROOT";
    if (choice == 5) tnid = "gone";
    set.GetNode("ROOT", false, false, true)->SetAttr("tnid", tnid);
    return std::find(folders.begin(), folders.end(), tnid) != folders.end();
  };

  int withToolbar = 0;
  for (uint32_t n = 1; n <= 60; ++n) {
    SCOPED_TRACE(Format("case %d", static_cast<int>(n)));
    std::mt19937 rng(n * 7919u);
    fs::remove_all(fav_);
    fs::create_directories(fav_);
    registry_.DeleteTree(Hive::CurrentUser, "Software");
    fs::create_symlink(outsideTarget, fav_ + "/Planted.url");

    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round == 0 ? "into an empty folder" : "over an earlier tree");
      NodeSet tree;
      if (round == 0) {
        tree.Execute(Command("insert", "ROOT", {{"ntype", "folder"}}));
        testing::RandomTree(tree, rng, 3 + static_cast<int>(rng() % 30));
      } else {
        auto earlier = Read();  // the ids the disk holds now
        tree.LoadFromJSON(earlier->ToJSON());
        for (const auto& [key, value] : tree.GetNode("ROOT", false, false, true)->Attrs())
          if (key != "ntype") tree.GetNode("ROOT", false, false, true)->RemoveAttr(key);
        testing::MutateTree(tree, rng, 1 + static_cast<int>(rng() % 12));
      }
      const bool toolbar = randomTitles(tree, rng);
      withToolbar += toolbar;
      auto again = CopyOf(tree);

      Write(tree);
      ASSERT_EQ(Differences(tree, !toolbar), "") << Dump(tree) << "--- read:\n" << Dump(*Read());

      const auto before = FilesBelow(fav_);
      Write(*again);
      EXPECT_EQ(ChangedPaths(before, FilesBelow(fav_)), "") << "the second writing changed files";
    }
    EXPECT_EQ(ReadAll(outsideTarget), outsideText);
    EXPECT_TRUE(fs::is_symlink(fav_ + "/Planted.url"));
  }
  EXPECT_GT(withToolbar, 20);
  // Only the Favorites, the user folder and the outside file are there.
  std::set<std::string> top;
  for (const auto& e : fs::directory_iterator(dir_.path())) top.insert(e.path().filename());
  EXPECT_EQ(top, (std::set<std::string>{"Favorites", "log", "outside", "registry", "user"}));
}

}  // namespace
}  // namespace tarvex
