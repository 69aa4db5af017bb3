#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "ie/favorites/FavoritesLimits.h"
#include "ie/favorites/FavoritesReader.h"
#include "ie/favorites/tests/FavoritesFixture.h"
#include "ie/favorites/tests/TestImages.h"
#include "ie/foundation/IniFile.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "nodeset/testing/Trees.h"
#include "platform/Win32Error.h"
#include "platform/testing/FileStates.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using testing::ChangedPaths;
using testing::FilesBelow;
using testing::PutFile;
using testing::ReadAll;
using testing::ScriptedPrompt;
using testing::Shortcut;
namespace fs = std::filesystem;

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
  // News{Paper} Wiki Box{} Site, the tree of the tests of edits made
  // between a read and a write.
  std::unique_ptr<NodeSet> SharedTree() {
    auto start = EmptyTree();
    Insert(*start, "news", "ROOT", "News", {}, "folder");
    Insert(*start, "paper", "news", "Paper", "http://paper/");
    Insert(*start, "wiki", "ROOT", "Wiki", "http://wiki/");
    Insert(*start, "box", "ROOT", "Box", {}, "folder");
    Insert(*start, "site", "ROOT", "Site", "http://site/");
    return start;
  }
};

// The registry ignores case, so sibling folders whose names differ only in
// case would share one order key and one would take the other's order.
TEST_F(FavoritesWriterTest, FoldersWhoseNamesDifferOnlyInCaseKeepTheirOwnOrder) {
  auto fill = [](NodeSet& set, const std::string& folder) {
    for (const char* name : {"zeta", "alpha", "mid"})
      Insert(set, folder + name, folder, name, "http://" + std::string(name) + ".example/");
  };
  {
    SCOPED_TRACE("new folders");
    auto set = EmptyTree();
    Insert(*set, "lower", "ROOT", "site", {}, "folder");
    Insert(*set, "upper", "ROOT", "Site", {}, "folder");
    Insert(*set, "other", "ROOT", "SITE", {}, "folder");
    for (const char* folder : {"lower", "upper", "other"}) fill(*set, folder);
    set->Execute(Command("reorder", "upperalpha", {{"bnid", "upperzeta"}}));
    set->Execute(Command("reorder", "othermid", {{"bnid", "otherzeta"}}));
    Write(*set);
    EXPECT_EQ(Value("site/meta.kv", "Tarvex", "nid"), "lower");
    EXPECT_EQ(Value("Site__1/meta.kv", "Tarvex", "nid"), "upper");
    EXPECT_EQ(Value("SITE__2/meta.kv", "Tarvex", "nid"), "other");
    EXPECT_EQ(Differences(*set), "");
  }
  {
    SCOPED_TRACE("folders found on disk");
    fs::remove_all(fav_);
    Folder("Site", "[Tarvex]\r\nnid=upper\r\n");
    Folder("site", "[Tarvex]\r\nnid=lower\r\n");
    auto set = EmptyTree();
    Insert(*set, "lower", "ROOT", "site", {}, "folder");
    Insert(*set, "upper", "ROOT", "Site", {}, "folder");
    for (const char* folder : {"lower", "upper"}) fill(*set, folder);
    set->Execute(Command("reorder", "upperalpha", {{"bnid", "upperzeta"}}));
    Write(*set);
    EXPECT_EQ(Value("site__1/meta.kv", "Tarvex", "nid"), "lower") << "the first written moves";
    EXPECT_EQ(Value("Site/meta.kv", "Tarvex", "nid"), "upper");
    EXPECT_EQ(Differences(*set), "");
    const auto before = FilesBelow(fav_);
    auto again = CopyOf(*set);
    Write(*again);
    EXPECT_EQ(ChangedPaths(before, FilesBelow(fav_)), "");
  }
}

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
      ":", "?", "..", "???", "...", "a:b?c", "Site", "site", "News", std::string(71, 'x'),
      std::string(80, 'y') + "z",
      "\xF0\x9F\x98\x80 smile",                                   // beyond U+FFFF
      std::string(69, 'p') + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80",  // cut inside a pair
      "trailing...", ".profile", "CON", "lpt1.txt", "a/b", "back\\slash", "meta.kv", "desktop.ini",
      "Links", "Foo__1", "Foo", " padded ", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
      "Mobile Favorites", "",
      // Texts a value line of a file cannot hold as they are.
      "Evil\r\nname", "line\nfeed", "carriage\rreturn", "\r\n", "\ttabbed\t",
      "bell\x07 esc\x1B del\x7F", "\x01", "  ", "trailing space ", " leading space",
      "ideographic space\xE3\x80\x80",
      "\xE2\x80\x8B",  // the filler character alone
      "\xE2\x80\x8B"
      "filler at the ends\xE2\x80\x8B",
      "\xC2\xA0no-break\xC2\xA0", "100% sure", "%tarvex-escaped%looks escaped",
      "%tarvex-escaped%%0A", "[section]", "key=value"};
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
  for (uint32_t n = 1; n <= 100; ++n) {
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
  EXPECT_GT(withToolbar, 40);
  // Only the Favorites, the user folder and the outside file are there.
  std::set<std::string> top;
  for (const auto& e : fs::directory_iterator(dir_.path())) top.insert(e.path().filename());
  EXPECT_EQ(top, (std::set<std::string>{"Favorites", "log", "outside", "registry", "user"}));
}

TEST_F(FavoritesWriterTest, NewNodesNeverTakeOverEntriesAndEntriesWithoutIdsStay) {
  // On disk: "Foo" (id old, which the tree deleted), a favorite saved after
  // the read (no id yet), and one that repeats another's id.
  Url("Foo.url", Shortcut("http://old/", "[Tarvex]\r\nnid=old\r\n"));
  Url("Later.url", Shortcut("http://later/"));
  Url("Keep.url", Shortcut("http://keep/", "[Tarvex]\r\nnid=keep\r\n"));
  Url("Twin.url", Shortcut("http://twin/", "[Tarvex]\r\nnid=keep\r\n"));
  auto set = EmptyTree();
  Insert(*set, "new", "ROOT", "Foo", "http://new/");
  Insert(*set, "keep", "ROOT", "Keep", "http://keep/");
  Write(*set);

  EXPECT_FALSE(fs::exists(fav_ + "/Foo.url")) << "the deleted node's file goes";
  EXPECT_EQ(Value("Foo__1.url", "Tarvex", "nid"), "new");
  EXPECT_EQ(Value("Foo__1.url", "InternetShortcut", "URL"), "http://new/");
  EXPECT_EQ(ReadAll(fav_ + "/Later.url"), Shortcut("http://later/"));
  EXPECT_EQ(Value("Twin.url", "InternetShortcut", "URL"), "http://twin/");
  EXPECT_EQ(Value("Keep.url", "Tarvex", "ntype"), "bookmark");
}

TEST_F(FavoritesWriterTest, DeletedFoldersGoDeepestFirstUnlessTheyHoldForeignEntries) {
  struct Case {
    const char* name;
    int bookmarks;
    std::vector<std::string> foreign;  // files that are not ours
    bool nested;                       // a deleted subfolder with bookmarks inside
    bool kept;
    bool link = false;  // a symbolic link to a folder outside
    // An entry with the name of one of our files that is not a file: "link"
    // (to a read-only file outside) or "folder".
    const char* impostor = nullptr;
  };
  const Case cases[] = {
      {"one bookmark", 1, {}, false, false},
      {"five bookmarks", 5, {}, false, false},
      {"six bookmarks", 6, {}, false, false},
      {"nested folders", 3, {}, true, false},
      {"its own files only", 0, {"desktop.ini"}, false, false},
      {"a foreign file", 2, {"notes.txt"}, false, true},
      {"a foreign file below", 2, {"Sub/notes.txt"}, true, true},
      {"a link to a folder outside", 1, {}, false, true, true},
      {"a link named like our file", 1, {}, false, true, false, "link"},
      {"a folder named like our file", 1, {}, false, true, false, "folder"},
  };
  PutFile(dir_ / "outside/keep.txt", "outside");
  fs::permissions(dir_ / "outside/keep.txt", fs::perms::owner_read);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(fav_);
    Folder("Old", "[Tarvex]\r\nnid=old\r\n");
    for (int i = 0; i < c.bookmarks; ++i)
      Url(Format("Old/B%d.url", i), Shortcut("http://b/", Format("[Tarvex]\r\nnid=b%d\r\n", i)));
    if (c.nested) {
      Folder("Old/Sub", "[Tarvex]\r\nnid=sub\r\n");
      Url("Old/Sub/Deep.url", Shortcut("http://deep/", "[Tarvex]\r\nnid=deep\r\n"));
    }
    for (const std::string& f : c.foreign) Url("Old/" + f, "foreign");
    if (c.link) fs::create_directory_symlink(dir_ / "outside", fav_ + "/Old/Out");
    if (c.impostor && std::string_view(c.impostor) == "link")
      fs::create_symlink(dir_ / "outside/keep.txt", fav_ + "/Old/desktop.ini");
    if (c.impostor && std::string_view(c.impostor) == "folder")
      fs::create_directory(fav_ + "/Old/Desktop.ini");
    auto set = EmptyTree();
    Write(*set);
    EXPECT_EQ(ReadAll(dir_ / "outside/keep.txt"), "outside");
    EXPECT_EQ(fs::status(dir_ / "outside/keep.txt").permissions(), fs::perms::owner_read);

    EXPECT_EQ(fs::exists(fav_ + "/Old"), c.kept);
    for (const std::string& f : c.foreign)
      if (f != "desktop.ini") {
        EXPECT_EQ(ReadAll(fav_ + "/Old/" + f), "foreign");
      }
    // Our own bookmarks go in every case.
    for (int i = 0; i < c.bookmarks; ++i)
      EXPECT_FALSE(fs::exists(fav_ + Format("/Old/B%d.url", i)));
    EXPECT_FALSE(fs::exists(fav_ + "/Old/Sub/Deep.url"));
    EXPECT_EQ(settings_.GetValue("syncproblemfile", ""), "");
  }
}

TEST_F(FavoritesWriterTest, KindOnDiskChangesWithTheNode) {
  Url("Was bookmark.url", Shortcut("http://a/", "[Tarvex]\r\nnid=a\r\n"));
  Folder("Was folder", "[Tarvex]\r\nnid=f\r\n");
  Url("Was folder/Child.url", Shortcut("http://c/", "[Tarvex]\r\nnid=c\r\n"));
  // Stray folder files of ours go; anything else named .kv stays.
  Url("Was folder/old.kv", "x");
  Hide("Was folder/old.kv");
  Url("visible.kv", "user data");
  auto set = EmptyTree();
  Insert(*set, "a", "ROOT", "Was bookmark", {}, "folder");
  Insert(*set, "c", "a", "Child", "http://c/");
  Insert(*set, "f", "ROOT", "Was folder", "http://f/");
  Write(*set);

  EXPECT_FALSE(fs::exists(fav_ + "/Was bookmark.url"));
  EXPECT_EQ(Value("Was bookmark/meta.kv", "Tarvex", "nid"), "a");
  EXPECT_EQ(Value("Was bookmark/Child.url", "Tarvex", "nid"), "c");
  EXPECT_FALSE(fs::exists(fav_ + "/Was folder"));
  EXPECT_EQ(Value("Was folder.url", "InternetShortcut", "URL"), "http://f/");
  EXPECT_EQ(ReadAll(fav_ + "/visible.kv"), "user data");
  EXPECT_EQ(Differences(*set), "");
}

TEST_F(FavoritesWriterTest, MobileFavoritesKeepTheirFilesAsTheyAre) {
  Folder("Mobile Favorites");
  Url("Mobile Favorites/Phone.url", Shortcut("http://phone/"));
  Url("Mobile Favorites/Tablet.url", Shortcut("http://tablet/"));
  auto set = Read();
  Write(*set);
  // Their ids come from their paths and are not written into them; their
  // type is.
  EXPECT_EQ(Value("Mobile Favorites/Phone.url", "Tarvex", "nid"), "<absent>");
  EXPECT_EQ(Value("Mobile Favorites/Phone.url", "Tarvex", "ntype"), "bookmark");
  EXPECT_EQ(Differences(*set), "");
  const auto after = FilesBelow(fav_);
  Write(*Read());
  EXPECT_EQ(ChangedPaths(after, FilesBelow(fav_)), "");
  EXPECT_EQ(Value("Mobile Favorites/Tablet.url", "InternetShortcut", "URL"), "http://tablet/");
}

class RecordingShell : public ShellNotifier {
 public:
  void OrderChanged(const std::string& folder) override { folders.push_back(folder); }
  std::vector<std::string> folders;
};

TEST_F(FavoritesWriterTest, TheToolbarFolderTakesTheLinksFoldersPlace) {
  struct Case {
    const char* name;
    std::string tnid;
    std::string toolbarParent;  // where the toolbar folder is in the tree
    bool occupied;              // another folder of the tree is titled "Links"
    std::string linksId;        // the folder on disk at "Links" afterwards
  };
  const Case cases[] = {
      {"renamed elsewhere", "bar", "ROOT", false, "bar"},
      {"Links taken by another folder", "bar", "ROOT", true, "bar"},
      {"below another folder", "bar", "x", true, "bar"},
      {"inside the folder titled Links", "bar", "other", true, "bar"},
      {"dangling", "gone", "ROOT", true, "other"},
      {"a bookmark", "bm", "ROOT", true, "other"},
      {"the root", "ROOT", "ROOT", true, "other"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(fav_);
    fs::create_directories(fav_);
    auto set = EmptyTree();
    Insert(*set, "x", "ROOT", "X", {}, "folder");
    Insert(*set, "first", "x", "First", "http://first/");
    const bool inOther = c.toolbarParent == "other";
    if (inOther) Insert(*set, "other", "ROOT", "Links", {}, "folder");
    Insert(*set, "bar", c.toolbarParent, "Favorites Bar", {}, "folder");
    Insert(*set, "inbar", "bar", "In bar", "http://inbar/");
    Insert(*set, "last", "x", "Last", "http://last/");
    Insert(*set, "bm", "ROOT", "Bookmark", "http://bm/");
    if (c.occupied && !inOther) Insert(*set, "other", "ROOT", "Links", {}, "folder");
    set->GetNode("ROOT", false, false, false)->SetAttr("tnid", c.tnid);
    auto again = CopyOf(*set);

    RecordingShell shell;
    FavoritesEnvironment env = Env();
    env.shell = &shell;
    Write(*set, env);

    EXPECT_EQ(Value("Links/meta.kv", "Tarvex", "nid"), c.linksId);
    const bool mapped = c.linksId == "bar";
    if (mapped) {
      EXPECT_EQ(Value("Links/In bar.url", "Tarvex", "nid"), "inbar");
      EXPECT_EQ(Value("Links/meta.kv", "Tarvex", "original_name"), "Favorites Bar");
      EXPECT_TRUE(IsHidden(fav_ + "/Links/desktop.ini"));
      EXPECT_EQ(Value("Links/desktop.ini", ".ShellClassInfo", "LocalizedResourceName"),
                "@%windir%\\System32\\ieframe.dll,-12385");
      if (c.occupied) {
        EXPECT_EQ(Value("Links__1/meta.kv", "Tarvex", "original_name"), "Links");
      }
      EXPECT_EQ(shell.folders, (std::vector<std::string>{fav_, fav_ + "/Links"}));
    } else {
      EXPECT_EQ(shell.folders, (std::vector<std::string>{fav_}));
    }
    EXPECT_EQ(Differences(*set, !mapped), "");

    const auto before = FilesBelow(fav_);
    Write(*again);
    EXPECT_EQ(ChangedPaths(before, FilesBelow(fav_)), "");
  }
}

TEST_F(FavoritesWriterTest, TheFirstPassBacksTheFolderUpOnce) {
  Folder("Sub", "[Tarvex]\r\nnid=sub\r\n");
  Url("Sub/A.url", Shortcut("http://a/", "[Tarvex]\r\nnid=a\r\n"));
  fs::create_symlink(dir_ / "outside", fav_ + "/Escape");
  PutFile(user_ + "/Backup/earlier.txt", "an earlier backup");
  auto set = EmptyTree();
  Write(*set);

  // The earlier backup stays; the new one is complete; links are not copied.
  EXPECT_EQ(ReadAll(user_ + "/Backup/earlier.txt"), "an earlier backup");
  EXPECT_EQ(ReadAll(user_ + "/Backup__1/Sub/A.url"),
            Shortcut("http://a/", "[Tarvex]\r\nnid=a\r\n"));
  EXPECT_TRUE(IsHidden(user_ + "/Backup__1/Sub/meta.kv"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(user_ + "/Backup__1/Escape")));
  EXPECT_TRUE(settings_.GetBool("backedup", false));

  Write(*set);
  EXPECT_FALSE(fs::exists(user_ + "/Backup__2"));
}

// A copy that fails, or the copies that cannot be made durable once all are
// made: either way the Favorites are not backed up.
TEST_F(FavoritesWriterTest, AFailedBackupAsksWhetherToGoOn) {
  for (auto [fault, answer] : {std::pair{FaultyFileSystem::Op::Copy, kButtonCancel},
                               {FaultyFileSystem::Op::Copy, kButtonContinue},
                               {FaultyFileSystem::Op::Sync, kButtonCancel}}) {
    SCOPED_TRACE(::testing::Message() << static_cast<int>(fault) << " " << answer);
    settings_.DeleteValue("backedup");
    fs::remove_all(user_);
    Url("A.url", Shortcut("http://a/", "[Tarvex]\r\nnid=a\r\n"));
    FaultyFileSystem faulty(FileSystem::Native());
    faulty.FailNth(fault, 1, win32::ERROR_DISK_FULL);
    ScriptedPrompt prompt;
    prompt.Script(answer);
    FavoritesEnvironment env = Env();
    env.prompt = &prompt;
    FavoritesEnvironment faultyEnv(faulty, settings_, logger_, registry_, icons_, facts_, fav_,
                                   env.platform);
    faultyEnv.userDir = user_;
    faultyEnv.prompt = &prompt;
    auto set = EmptyTree();
    if (answer == kButtonCancel) {
      EXPECT_THROW(Write(*set, faultyEnv), VelkException);
      EXPECT_TRUE(fs::exists(fav_ + "/A.url")) << "nothing changed";
      EXPECT_FALSE(settings_.GetBool("backedup", false));
    } else {
      Write(*set, faultyEnv);
      EXPECT_FALSE(fs::exists(fav_ + "/A.url"));
      EXPECT_TRUE(settings_.GetBool("backedup", false));
    }
    ASSERT_EQ(prompt.asked.size(), 1u);
    EXPECT_EQ(prompt.asked[0].text.rfind(
                  "An error occurred while attempting to back up your local Favorites: ", 0),
              0u);
    EXPECT_NE(prompt.asked[0].text.find(
                  ".\r\n\r\nTarvex can continue to synchronize, but your local Favorites won't be "
                  "backed up first.  Would you like to continue synchronizing?"),
              std::string::npos);
  }
}

class FakeFeeds : public FeedStore {
 public:
  int32_t IsSubscribed(const std::string& url, bool* subscribed) override {
    calls.push_back("subscribed? " + url);
    *subscribed = false;
    return failCheck;
  }
  int32_t OpenRootFolder() override { return failRoot; }
  int32_t CreateFeed(const std::string& name, const std::string& url) override {
    calls.push_back("create " + name + " " + url);
    return failCreate;
  }
  int32_t failCheck = 0, failRoot = 0, failCreate = 0;
  std::vector<std::string> calls;
};

TEST_F(FavoritesWriterTest, FeedsAreSubscribedAndFailuresDoNotStopTheWriting) {
  struct Case {
    const char* name;
    int32_t check, root, create;
    std::string logged;
  };
  const Case cases[] = {
      {"subscribes", 0, 0, 0, ""},
      {"check fails", -5, 0, 0, "Unable to check IsSubscribed for 'http://f/rss': -5"},
      {"root fails", 0, -6, 0, "Unable to get root folder: -6"},
      {"create fails", 0, 0, -7, "Unable to create new RSS feed (http://f/rss): -7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFeeds feeds;
    feeds.failCheck = c.check;
    feeds.failRoot = c.root;
    feeds.failCreate = c.create;
    FavoritesEnvironment env = Env();
    env.feeds = &feeds;
    auto set = EmptyTree();
    Insert(*set, "feed", "ROOT", "Feed", "http://f/", "feed");
    set->GetNode("feed", false, false, false)->SetAttr("feedurl", "http://f/rss");
    Insert(*set, "after", "ROOT", "After", "http://after/");
    Write(*set, env);
    EXPECT_EQ(Value("Feed.url", "MonitoredItem", "FeedUrl"), "http://f/rss");
    EXPECT_EQ(Value("After.url", "Tarvex", "nid"), "after");
    if (c.logged.empty())
      EXPECT_EQ(feeds.calls,
                (std::vector<std::string>{"subscribed? http://f/rss", "create Feed http://f/rss"}));
    else
      EXPECT_NE(LogText().find(c.logged), std::string::npos);
  }

  // The store of this platform keeps the subscription in the user folder.
  FileFeedStore store(FileSystem::Native(), user_ + "/feeds.json");
  bool subscribed = true;
  ASSERT_EQ(store.IsSubscribed("http://f/rss", &subscribed), 0);
  EXPECT_FALSE(subscribed);
  fs::create_directories(user_);
  ASSERT_EQ(store.CreateFeed("Feed", "http://f/rss"), 0);
  ASSERT_EQ(store.IsSubscribed("http://f/rss", &subscribed), 0);
  EXPECT_TRUE(subscribed);
  PutFile(user_ + "/feeds.json", "not json");
  EXPECT_EQ(store.CreateFeed("Other", "http://o/"), kFeedStoreFailure);
  EXPECT_EQ(ReadAll(user_ + "/feeds.json"), "not json");
}

TEST_F(FavoritesWriterTest, AFailedOrderWriteWarnsUntilTheUserTurnsItOff) {
  registry_.SetFaultHook([](Registry::Op op, Hive, std::string_view, std::string_view name) {
    return op == Registry::Op::Write && name == "Order" ? win32::ERROR_ACCESS_DENIED : 0u;
  });
  ScriptedPrompt prompt;
  prompt.Script(kButtonOK, false);
  prompt.Script(kButtonOK, true);
  FavoritesEnvironment env = Env();
  env.prompt = &prompt;
  auto set = EmptyTree();
  Insert(*set, "a", "ROOT", "A", "http://a/");
  for (int pass = 0; pass < 3; ++pass) Write(*set, env);
  EXPECT_EQ(Value("A.url", "Tarvex", "nid"), "a") << "the writing went on";
  ASSERT_EQ(prompt.asked.size(), 2u);
  EXPECT_EQ(prompt.asked[0].text,
            "Oops! Tarvex was unable to tell IE what order your bookmarks should be in (this "
            "usually happens if you don't have admin privileges on this machine).  Future sync "
            "attempts may cause unexpected reorders.");
  EXPECT_EQ(prompt.asked[0].checkboxText, "Don't show this warning again");
  EXPECT_TRUE(settings_.GetBool("ignoreorderwriteerror", false));
}

// A tree the Favorites could not be read back from is refused before
// anything changes, naming the node, the limit and the value at fault; a
// tree at the limits is written and reads back the same.
TEST_F(FavoritesWriterTest, TreesBeyondWhatTheReaderReadsAreRefusedWritingNothing) {
  constexpr int kDepth = FavoritesLimits::kMaxDepth;
  // A chain of `depth` folders named `name`, a favorite with `url` at its end.
  auto chain = [](int depth, const std::string& name, const std::string& url) {
    auto set = EmptyTree();
    std::string parent = "ROOT";
    for (int i = 1; i <= depth; ++i) {
      const std::string id = Format("c%d", i);
      Insert(*set, id, parent, name, {}, "folder");
      parent = id;
    }
    Insert(*set, "leaf", parent, "Leaf", url);
    return set;
  };
  const std::string url = "http://leaf.example/";
  const std::string longUrl =
      "http://long.example/" + std::string(FavoritesLimits::kMaxFileBytes, 'q');
  const std::string longName(200, 'n');
  struct Case {
    const char* name;
    std::function<std::unique_ptr<NodeSet>()> tree;
    const char* fault;  // in the message; nullptr: the tree is written
  };
  const Case cases[] = {
      {"a chain at the depth limit", [&] { return chain(kDepth, "F", url); }, nullptr},
      {"a chain one deeper", [&] { return chain(kDepth + 1, "F", url); },
       "folder \"F\" [c129] would lie 129 folders deep; the Favorites can be read at most 128 "
       "folders deep"},
      {"a chain of 8,000", [&] { return chain(8000, "F", url); }, "[c129] would lie 129 folders"},
      {"an address of half the file limit",
       [&] {
         return chain(
             1, "F", "http://long.example/" + std::string(FavoritesLimits::kMaxFileBytes / 2, 'q'));
       },
       nullptr},
      {"an address longer than a file holds", [&] { return chain(1, "F", longUrl); },
       "favorite \"Leaf\" [leaf] would need a file of about"},
      {"long names, not deep", [&] { return chain(4, longName, url); }, nullptr},
      {"long names too deep for a path", [&] { return chain(60, longName, url); },
       "would need paths of up to"},
      {"a name that is not UTF-8", [&] { return chain(1, "bad\xC3", url); },
       "folder \"bad\xC3\" [c1] has a name that is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(fav_);
    fs::remove_all(user_);
    settings_.SetBool("backedup", false, true);
    // What a write would change: a deleted favorite, a stray folder file.
    Url("Old.url", Shortcut("http://old/", "[Tarvex]\r\nnid=old\r\n"));
    Url("stray.kv", "x");
    Hide("stray.kv");
    const auto before = FilesBelow(fav_);
    auto tree = c.tree();
    if (c.fault) {
      try {
        Write(*tree);
        ADD_FAILURE() << "written";
      } catch (const VelkException& e) {
        EXPECT_NE(std::string(e.what()).find(c.fault), std::string::npos) << e.what();
      }
      EXPECT_EQ(ChangedPaths(before, FilesBelow(fav_)).substr(0, 300), "");
      EXPECT_FALSE(fs::exists(user_ + "/Backup")) << "not even the backup";
      EXPECT_EQ(settings_.GetValue("syncproblemfile", ""), "") << "nothing to try again";
      EXPECT_NO_THROW(Read());
    } else {
      auto again = CopyOf(*tree);
      Write(*tree);
      EXPECT_EQ(Differences(*again), "");
      EXPECT_FALSE(fs::exists(fav_ + "/Old.url"));
    }
  }

  // A file whose other keys leave no room for the node's values is not
  // rewritten: it stays readable.
  fs::remove_all(fav_);
  const std::string big = Shortcut(
      "http://big/", "[Other]\r\nkeep=" + std::string(FavoritesLimits::kMaxFileBytes - 100, 'k') +
                         "\r\n[Tarvex]\r\nnid=big\r\n");
  Url("Big.url", big);
  auto tree = EmptyTree();
  Insert(*tree, "big", "ROOT", "Big", "http://big.example/" + std::string(1000, 'u'));
  try {
    Write(*tree);
    ADD_FAILURE() << "written";
  } catch (const VelkException& e) {
    EXPECT_NE(std::string(e.what()).find("File too large for the Favorites"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(ReadAll(fav_ + "/Big.url"), big);
  EXPECT_NO_THROW(Read());
}

// A folder a pass set aside and did not finish is no folder of the user's:
// reads pass over it, and the next pass removes it, unless something not
// ours came into it: then it goes back to a visible name and stays.
TEST_F(FavoritesWriterTest, FoldersSetAsideAreNeverReadAndTheNextPassFinishesThem) {
  const std::string aside = std::string(kSetAsidePrefix) + "Old";
  struct Case {
    const char* name;
    bool foreign;
  };
  for (const Case& c : {Case{"only our files", false}, Case{"a file of someone else's", true}}) {
    SCOPED_TRACE(c.name);
    fs::remove_all(fav_);
    Folder(aside, "[Tarvex]\r\nnid=old\r\n");
    Url(aside + "/desktop.ini", "[.ShellClassInfo]\r\n");
    if (c.foreign) Url(aside + "/notes.txt", "mine");
    Url("Keep.url", Shortcut("http://keep/", "[Tarvex]\r\nnid=keep\r\n"));
    EXPECT_EQ(Dump(*Read()), "Keep [bookmark] http://keep/\n");

    auto tree = EmptyTree();
    Insert(*tree, "keep", "ROOT", "Keep", "http://keep/");
    Write(*tree);
    EXPECT_FALSE(fs::exists(fav_ + "/" + aside));
    EXPECT_EQ(fs::exists(fav_ + "/Old/notes.txt"), c.foreign);
    if (c.foreign) {
      EXPECT_EQ(ReadAll(fav_ + "/Old/notes.txt"), "mine");
    }
  }
}

// Every file operation a write makes, failing once or from then on: the
// write either succeeds with the Favorites holding the tree, or fails; in
// between, nothing is lost or held twice and no deleted folder reads as a
// folder of the user's; the same writer tried again (as the intermediate
// store does), and then a write with the fault gone, end with the tree.
TEST_F(FavoritesWriterTest, EveryFailingFileOperationFailsTheWriteOrLeavesTheTree) {
  settings_.SetBool("backedup", true, false);
  // Before: a toolbar folder at the Links folder's place (desktop.ini and
  // meta.kv), a plain folder, favorites to keep, rename, move and delete.
  auto before = EmptyTree();
  Insert(*before, "keep", "ROOT", "Keep", "http://keep/");
  Insert(*before, "ren", "ROOT", "Rename", "http://ren/");
  Insert(*before, "mov", "ROOT", "Move", "http://mov/");
  Insert(*before, "gone", "ROOT", "Gone", "http://gone/");
  Insert(*before, "dir", "ROOT", "Dir", {}, "folder");
  Insert(*before, "inner", "dir", "Inner", "http://inner/");
  Insert(*before, "dead", "ROOT", "Dead", {}, "folder");
  Insert(*before, "child", "dead", "Child", "http://child/");
  Insert(*before, "plain", "ROOT", "Plain", {}, "folder");
  before->GetNode("ROOT", false, false, false)->SetAttr("tnid", "dead");
  // After: each kind of change, and both folders deleted.
  auto after = EmptyTree();
  Insert(*after, "keep", "ROOT", "Keep", "http://keep/2");
  Insert(*after, "ren", "ROOT", "Renamed", "http://ren/");
  Insert(*after, "dir", "ROOT", "Dir", {}, "folder");
  Insert(*after, "inner", "dir", "Inner", "http://inner/");
  Insert(*after, "mov", "dir", "Move", "http://mov/");
  Insert(*after, "fresh", "ROOT", "Fresh", {}, "folder");
  Insert(*after, "new", "fresh", "New", "http://new/");
  Insert(*after, "top", "ROOT", "Top", "http://top/");
  const std::set<std::string> kept = {"keep", "ren", "mov", "dir", "inner"};
  std::set<std::string> known = {"gone", "dead", "child", "plain", "fresh", "new", "top"};
  known.insert(kept.begin(), kept.end());

  auto reset = [&] {
    fs::remove_all(fav_);
    fs::create_directories(fav_);
    Write(*CopyOf(*before));
    ASSERT_TRUE(fs::exists(fav_ + "/Links/desktop.ini"));
  };
  using Op = FaultyFileSystem::Op;
  // How often a clean write calls each operation.
  const Op kOps[] = {Op::Write,           Op::Move,       Op::Delete, Op::CreateDirectory,
                     Op::RemoveDirectory, Op::Attributes, Op::List};
  std::map<Op, int> calls;
  reset();
  {
    FaultyFileSystem counting(FileSystem::Native());
    Write(*CopyOf(*after), Env(counting));
    ASSERT_EQ(Differences(*after), "");
    for (Op op : kOps) calls[op] = counting.Calls(op);
  }
  for (Op op : {Op::Write, Op::Move, Op::Delete, Op::CreateDirectory, Op::RemoveDirectory})
    ASSERT_GT(calls[op], 0) << static_cast<int>(op);

  auto setAside = [&] {
    std::string out;
    for (auto it = fs::recursive_directory_iterator(fav_); it != fs::recursive_directory_iterator();
         ++it)
      if (it->path().filename().string().rfind(kSetAsidePrefix, 0) == 0) out += it->path().string();
    return out;
  };
  int failures = 0;
  for (Op op : kOps) {
    for (int nth = 1; nth <= calls[op]; ++nth) {
      for (bool sticky : {false, true}) {
        SCOPED_TRACE(Format("operation %d, call %d, %s", static_cast<int>(op), nth,
                            sticky ? "from then on" : "once"));
        reset();
        FaultyFileSystem faulty(FileSystem::Native());
        faulty.FailNth(op, nth, win32::ERROR_ACCESS_DENIED, sticky);
        FavoritesDatasource writer(Env(faulty));
        for (int attempt = 1; attempt <= 2; ++attempt) {
          SCOPED_TRACE(Format("attempt %d", attempt));
          settings_.SetValue("syncproblemfile", "", false);
          auto tree = CopyOf(*after);
          try {
            writer.WriteNodeSet(*tree);
            EXPECT_EQ(Differences(*after), "") << "a write that succeeded left another tree";
            break;
          } catch (const VelkException& e) {
            ++failures;
            EXPECT_NE(settings_.GetValue("syncproblemfile", ""), "") << e.what();
          }
          // What a failed write leaves: nothing lost, nothing twice, no
          // folder of ours without its id.
          auto read = Read();
          std::set<std::string> ids;
          for (const auto& [path, id] : Ids(*read)) {
            ids.insert(id);
            EXPECT_TRUE(known.count(id)) << path << " [" << id << "] came from nowhere";
          }
          for (const std::string& id : kept) EXPECT_TRUE(ids.count(id)) << id << " is lost";
        }
        Write(*CopyOf(*after));
        EXPECT_EQ(Differences(*after), "");
        EXPECT_EQ(setAside(), "") << "left set aside";
      }
    }
  }
  EXPECT_GT(failures, 10);
}

// The sync writes back the tree it made from a read: what the user changed
// on disk in between stays as the user made it, and only that, so that the
// tree the write was given (the next baseline) against the Favorites gives
// exactly the user's change, to be sent with the next sync. Each kind of
// edit on "Wiki", with the service's tree changing Wiki in each way too (or
// not at all); the service's other changes are always written.
TEST_F(FavoritesWriterTest, AWriteAfterAReadLeavesWhatTheUserChangedInBetween) {
  records_ = &shelf_;
  settings_.SetBool("backedup", true, false);
  auto start = SharedTree();

  struct Edit {
    const char* name;
    std::function<void()> apply;
  };
  auto readdress = [&](const std::string& rel, const std::string& url) {
    std::string text = ReadAll(fav_ + "/" + rel);
    text.replace(text.find("URL=http://wiki/"), 16, "URL=" + url);
    std::ofstream(fav_ + "/" + rel, std::ios::binary | std::ios::trunc) << text;  // in place
  };
  const Edit edits[] = {
      {"rename", [&] { fs::rename(fav_ + "/Wiki.url", fav_ + "/Wiki (user).url"); }},
      {"change of address", [&] { readdress("Wiki.url", "http://wiki/user"); }},
      {"delete", [&] { fs::remove(fav_ + "/Wiki.url"); }},
      {"move to another folder", [&] { fs::rename(fav_ + "/Wiki.url", fav_ + "/Box/Wiki.url"); }},
      {"a new favourite", [&] { Url("Box/Fresh.url", Shortcut("http://fresh/")); }},
  };
  const char* services[] = {"nothing", "rename", "change of address", "move", "delete"};
  // The entry of Wiki (or the new favourite) afterwards, then the commands
  // that take the written tree to the Favorites.
  const char* expected[5][5] = {
      // rename
      {"/Wiki (user) http://wiki/|update wiki name=Wiki (user)",
       "/Wiki (user) http://wiki/|update wiki name=Wiki (user)",
       "/Wiki (user) http://wiki/service|update wiki name=Wiki (user)",
       "/News/Wiki (user) http://wiki/|update wiki name=Wiki (user)",
       "/Wiki (user) http://wiki/|insert wiki"},
      // change of address
      {"/Wiki http://wiki/user|update wiki url=http://wiki/user",
       "/Wiki (service) http://wiki/user|update wiki url=http://wiki/user",
       "/Wiki http://wiki/user|update wiki url=http://wiki/user",
       "/News/Wiki http://wiki/user|update wiki url=http://wiki/user",
       "/Wiki http://wiki/user|insert wiki"},
      // delete
      {"|delete wiki", "|delete wiki", "|delete wiki", "|delete wiki", "|"},
      // move to another folder
      {"/Box/Wiki http://wiki/|move wiki pnid=box",
       "/Box/Wiki (service) http://wiki/|move wiki pnid=box",
       "/Box/Wiki http://wiki/service|move wiki pnid=box",
       "/Box/Wiki http://wiki/|move wiki pnid=box", "/Box/Wiki http://wiki/|insert wiki"},
      // a new favourite
      {"/Box/Fresh http://fresh/ /Wiki http://wiki/|insert new",
       "/Box/Fresh http://fresh/ /Wiki (service) http://wiki/|insert new",
       "/Box/Fresh http://fresh/ /Wiki http://wiki/service|insert new",
       "/Box/Fresh http://fresh/ /News/Wiki http://wiki/|insert new",
       "/Box/Fresh http://fresh/|insert new"},
  };
  for (size_t e = 0; e < std::size(edits); ++e) {
    for (size_t k = 0; k < std::size(services); ++k) {
      SCOPED_TRACE(Format("%s by the user, %s by the service", edits[e].name, services[k]));
      fs::remove_all(fav_);
      fs::create_directories(fav_);
      shelf_.Take(fav_);  // the last case's read
      Write(*CopyOf(*start));
      // The sync: a read, the service's changes, a user's edit, the write.
      auto tree = Read();
      tree->Execute(Command("insert", "added",
                            {{"pnid", "ROOT"}, {"name", "Added"}, {"url", "http://added/"}}));
      tree->Execute(Command("update", "site", {{"name", "Site (new)"}}));
      switch (k) {
        case 1:
          tree->Execute(Command("update", "wiki", {{"name", "Wiki (service)"}}));
          break;
        case 2:
          tree->Execute(Command("update", "wiki", {{"url", "http://wiki/service"}}));
          break;
        case 3:
          tree->Execute(Command("move", "wiki", {{"pnid", "news"}}));
          break;
        case 4:
          tree->Execute(Command("delete", "wiki", {}));
          break;
      }
      edits[e].apply();
      Write(*tree);

      // What the Favorites hold: the service's other changes, and Wiki.
      auto read = Read();
      std::string wiki;
      std::set<std::string> others;
      for (const auto& [path, id] : Ids(*read)) {
        Node& node = *read->GetNode(id, false, false, false);
        const std::string line = path + (node.HasAttr("url") ? " " + node.GetAttr("url") : "");
        if (id == "wiki" || node.GetAttr("url") == "http://fresh/")
          wiki += (wiki.empty() ? "" : " ") + line;
        else
          others.insert(line);
      }
      EXPECT_TRUE(others.count("/Added http://added/"));
      EXPECT_TRUE(others.count("/Site (new) http://site/"));
      EXPECT_TRUE(others.count("/News/Paper http://paper/"));
      // What the next sync finds: the user's change.
      std::string changes;
      CommandSet commands = CopyOf(*tree)->Compare(*read);
      for (size_t i = 0; i < commands.GetSize(); ++i) {
        const Command& c = *commands.GetAt(i);
        if (c.GetAction() == "reorder") continue;
        std::string id = c.GetID() == "wiki" ? "wiki" : "new";
        std::string text = c.GetAction() + " " + id;
        if (c.GetAction() == "update")
          for (const auto& [key, value] : c.GetArgs())
            if (IsImportantAttribute(key)) text += " " + key + "=" + value;
        if (c.GetAction() == "move") text += " pnid=" + c.GetArg("pnid");
        changes += (changes.empty() ? "" : ", ") + text;
      }
      EXPECT_EQ(wiki + "|" + changes, expected[e][k]);
    }
  }

  // A read's record serves one write: a second write, which follows no
  // read, writes its whole tree again.
  fs::remove_all(fav_);
  fs::create_directories(fav_);
  shelf_.Take(fav_);
  Write(*CopyOf(*start));
  auto tree = Read();
  fs::rename(fav_ + "/Wiki.url", fav_ + "/Wiki (user).url");
  Write(*CopyOf(*tree));
  EXPECT_TRUE(fs::exists(fav_ + "/Wiki (user).url"));
  Write(*CopyOf(*tree));
  EXPECT_TRUE(fs::exists(fav_ + "/Wiki.url"));
  EXPECT_FALSE(fs::exists(fav_ + "/Wiki (user).url"));

  // Records cleared: the write follows no read.
  Write(*CopyOf(*start));
  tree = Read();
  fs::rename(fav_ + "/Wiki.url", fav_ + "/Wiki (user).url");
  shelf_.Clear();
  Write(*CopyOf(*tree));
  EXPECT_TRUE(fs::exists(fav_ + "/Wiki.url"));
  EXPECT_FALSE(fs::exists(fav_ + "/Wiki (user).url"));
}

// A write after a read that fails part way and is tried again by the same
// writer (as the intermediate store does) still tells the user's changes
// from its own: the retry ends as a write without the failure would.
TEST_F(FavoritesWriterTest, ARetriedWriteStillLeavesWhatTheUserChanged) {
  records_ = &shelf_;
  settings_.SetBool("backedup", true, false);
  using Op = FaultyFileSystem::Op;
  // Writes, through `files`, the service's changes over a read while the
  // user renames Wiki, gives Site another address and saves a favourite;
  // then what the Favorites hold, one "path url" line each.
  auto sync = [&](FaultyFileSystem& files) {
    fs::remove_all(fav_);
    fs::create_directories(fav_);
    shelf_.Take(fav_);
    auto start = SharedTree();
    Write(*start);
    auto tree = Read();
    tree->Execute(Command("update", "wiki", {{"url", "http://wiki/service"}}));
    tree->Execute(Command("update", "site", {{"name", "Site (new)"}}));
    tree->Execute(Command("move", "paper", {{"pnid", "box"}}));
    tree->Execute(Command("insert", "added",
                          {{"pnid", "news"}, {"name", "Added"}, {"url", "http://added/"}}));
    fs::rename(fav_ + "/Wiki.url", fav_ + "/Wiki (user).url");
    std::string site = ReadAll(fav_ + "/Site.url");
    site.replace(site.find("URL=http://site/"), 16, "URL=http://site/user");
    std::ofstream(fav_ + "/Site.url", std::ios::binary | std::ios::trunc) << site;
    Url("Box/Fresh.url", Shortcut("http://fresh/"));

    FavoritesDatasource writer(Env(files));
    int attempts = 0;
    for (bool done = false; !done && attempts < 2;) {
      ++attempts;
      auto copy = CopyOf(*tree);
      try {
        writer.WriteNodeSet(*copy);
        done = true;
      } catch (const VelkException&) {
      }
    }
    std::string out = Format("%d attempts:", attempts);
    auto read = Read();
    for (const auto& [path, id] : Ids(*read))
      out += " " + path + " " + read->GetNode(id, false, false, false)->GetAttr("url");
    return out;
  };
  FaultyFileSystem clean(FileSystem::Native());
  const std::string expected = sync(clean);
  EXPECT_EQ(
      expected,
      "1 attempts: /Box  /Box/Fresh http://fresh/ /Box/Paper http://paper/ /News  /News/Added "
      "http://added/ /Site (new) http://site/user /Wiki (user) http://wiki/service");
  const int calls[] = {clean.Calls(Op::Write), clean.Calls(Op::Move)};
  int faulted = 0;
  for (Op op : {Op::Write, Op::Move}) {
    for (int nth = 1; nth <= calls[op == Op::Write ? 0 : 1]; ++nth) {
      SCOPED_TRACE(Format("operation %d, call %d", static_cast<int>(op), nth));
      FaultyFileSystem faulty(FileSystem::Native());
      // Counted from the writing: the preparation takes none of the faults.
      faulty.FailNth(op, nth, win32::ERROR_SHARING_VIOLATION);
      const std::string got = sync(faulty);
      faulted += got.rfind("2 attempts:", 0) == 0;
      EXPECT_EQ(got.substr(got.find(':')), expected.substr(expected.find(':')));
    }
  }
  EXPECT_GT(faulted, 3);
}

// A pass that fails names the file at fault and leaves the tree as it was,
// so the retry writes the same tree, favicons included.
TEST_F(FavoritesWriterTest, AFailedPassLeavesTheTreeForTheRetry) {
  const std::string icon = testing::DataUriOf("image/png", testing::MakeImage(FIF_PNG, 16, 16));
  struct Case {
    const char* name;
    FaultyFileSystem::Op op;
    int nth;
    std::string problem;
  };
  const Case cases[] = {
      {"a folder cannot be made", FaultyFileSystem::Op::CreateDirectory, 1, fav_ + "/Folder"},
      {"a new folder cannot be moved into place", FaultyFileSystem::Op::Move, 1, fav_ + "/Folder"},
      {"a file cannot be moved", FaultyFileSystem::Op::Move, 2, fav_ + "/Old.url"},
      {"a file cannot be written", FaultyFileSystem::Op::Write, 2, fav_ + "/Folder/Site.url"},
  };
  settings_.SetBool("backedup", true, false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(fav_);
    Url("Old.url", Shortcut("http://old/", "[Tarvex]\r\nnid=old\r\n"));
    auto set = EmptyTree();
    Insert(*set, "f", "ROOT", "Folder", {}, "folder");
    Insert(*set, "b", "f", "Site", "http://site/");
    set->GetNode("b", false, false, false)->SetAttr("icon", icon);
    Insert(*set, "old", "ROOT", "Renamed", "http://old/");
    settings_.SetValue("syncproblemfile", "", false);

    FaultyFileSystem faulty(FileSystem::Native());
    faulty.FailNth(c.op, c.nth, win32::ERROR_ACCESS_DENIED);
    FavoritesEnvironment env(faulty, settings_, logger_, registry_, icons_, facts_, fav_,
                             OrderPlatform{6, 1, "8.0"});
    env.userDir = user_;
    EXPECT_THROW(Write(*set, env), VelkException);
    EXPECT_EQ(settings_.GetValue("syncproblemfile", ""), c.problem);
    EXPECT_EQ(set->GetNode("b", false, false, false)->GetAttr("icon"), icon);

    Write(*set);
    IniFile site(fav_ + "/Folder/Site.url", 0, FileSystem::Native(), settings_, logger_);
    EXPECT_FALSE(icons_.ReadIcon(site).empty()) << "the favicon is linked";
    EXPECT_FALSE(set->GetNode("b", false, false, false)->HasAttr("icon"));
    EXPECT_FALSE(fs::exists(fav_ + "/Old.url"));
    EXPECT_EQ(Differences(*set), "");
  }
}

}  // namespace
}  // namespace tarvex
