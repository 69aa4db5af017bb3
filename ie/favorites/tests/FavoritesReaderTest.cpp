#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "ie/favorites/FavoritesReader.h"
#include "ie/favorites/tests/FavoritesFixture.h"
#include "ie/favorites/tests/TestImages.h"
#include "ie/foundation/IniFile.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "text/Text.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/TestEngine.h"
#include "platform/clock/Clock.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using testing::PutFile;
using testing::ReadAll;
using testing::Shortcut;

namespace fs = std::filesystem;

using FavoritesReaderTest = testing::FavoritesFixture;

TEST_F(FavoritesReaderTest, ReadsTheTreeAndLeavesForeignEntriesAlone) {
  Folder("News", "[Tarvex]\r\nnid=newsid\r\n");
  Url("News/Site.URL", Shortcut("http://site.example/"));
  Folder("News/Empty");
  Url(".profile.url", Shortcut("http://profile.example/"));
  Url("Hidden.url", Shortcut("http://hidden.example/"));
  Hide("Hidden.url");
  Folder("HiddenDir");
  Hide("HiddenDir");
  Url("notes.txt", "not a favorite");
  Url("Feed.url",
      Shortcut("http://feed.example/", "[MonitoredItem]\r\nFeedUrl=http://feed.example/rss\r\n"));
  Url("Line.url", Shortcut("", "[Tarvex]\r\nntype=separator\r\n"));
  // Entries that must never be followed or opened.
  const std::string outsideTarget = dir_ / "outside/target.url";
  const std::string outsideText = Shortcut("http://outside.example/");
  PutFile(outsideTarget, outsideText);
  PutFile(dir_ / "outside/dir/Inner.url", outsideText);
  fs::create_symlink(outsideTarget, fav_ + "/Escape.url");
  fs::create_directory_symlink(dir_ / "outside/dir", fav_ + "/LinkedDir");
  ASSERT_EQ(::mkfifo((fav_ + "/Pipe.url").c_str(), 0600), 0);
  Url("Bad\xFF.url", Shortcut("http://bad.example/"));

  auto set = Read();
  EXPECT_EQ(Dump(*set),
            ".profile [bookmark] http://profile.example/\n"
            "Feed [feed] http://feed.example/ feed=http://feed.example/rss\n"
            "Line [separator] \n"
            "News [folder]\n"
            "  Empty [folder]\n"
            "  Site [bookmark] http://site.example/\n");
  EXPECT_EQ(Ids(*set).at("/News"), "newsid");

  // Skipped entries are logged and untouched.
  const std::string log = LogText();
  EXPECT_NE(
      log.find("Skipping entry that is not a regular file or folder: " + fav_ + "/Escape.url"),
      std::string::npos);
  EXPECT_NE(log.find("Skipping entry that is not a regular file or folder: " + fav_ + "/LinkedDir"),
            std::string::npos);
  EXPECT_NE(log.find("Skipping entry that is not a regular file or folder: " + fav_ + "/Pipe.url"),
            std::string::npos);
  EXPECT_NE(log.find("Skipping entry whose name is not valid UTF-8: " + fav_ + "/Bad"),
            std::string::npos);
  EXPECT_EQ(ReadAll(outsideTarget), outsideText);
  EXPECT_EQ(ReadAll(dir_ / "outside/dir/Inner.url"), outsideText);
  EXPECT_TRUE(fs::is_symlink(fav_ + "/Escape.url"));
  EXPECT_TRUE(fs::is_fifo(fav_ + "/Pipe.url"));
  EXPECT_EQ(ReadAll(fav_ + "/Bad\xFF.url"), Shortcut("http://bad.example/"));
  EXPECT_EQ(ReadAll(fav_ + "/Hidden.url"), Shortcut("http://hidden.example/"));
  EXPECT_FALSE(fs::exists(fav_ + "/HiddenDir/meta.kv"));
}

TEST_F(FavoritesReaderTest, NewIdsAreStoredAndStableOnTheNextRead) {
  Folder("A");
  Url("A/One.url", Shortcut("http://one/"));
  Url("Two.url", Shortcut("http://two/"));
  Folder("B", "[Tarvex]\r\nnid=keptB\r\n");

  auto first = Ids(*Read());
  ASSERT_EQ(first.size(), 4u);
  EXPECT_EQ(first.at("/B"), "keptB");
  EXPECT_EQ(StoredNid("A/meta.kv"), first.at("/A"));
  EXPECT_EQ(StoredNid("A/One.url"), first.at("/A/One"));
  EXPECT_EQ(StoredNid("Two.url"), first.at("/Two"));
  // A new meta.kv is hidden, so it never shows up as an entry.
  uint32_t attrs = 0;
  ASSERT_EQ(FileSystem::Native().GetAttributes(fav_ + "/A/meta.kv", &attrs), 0u);
  EXPECT_TRUE(attrs & FILE_ATTRIBUTE_HIDDEN);
  // The URL survives the write-back.
  IniFile ini(fav_ + "/Two.url", 0, FileSystem::Native(), settings_, logger_);
  EXPECT_EQ(ini.GetValue("InternetShortcut", "URL", ""), "http://two/");
  ini.Close();

  const std::string before = ReadAll(fav_ + "/Two.url");
  EXPECT_EQ(Ids(*Read()), first);
  EXPECT_EQ(ReadAll(fav_ + "/Two.url"), before);  // nothing rewritten
}

TEST_F(FavoritesReaderTest, DuplicateIdsKeepTheFirstAndRewriteTheOther) {
  Url("a.url", Shortcut("http://a/", "[Tarvex]\r\nnid=same\r\n"));
  Url("b.url", Shortcut("http://b/", "[Tarvex]\r\nnid=same\r\n"));
  Folder("c", "[Tarvex]\r\nnid=same\r\n");

  auto ids = Ids(*Read());
  EXPECT_EQ(ids.at("/a"), "same");
  EXPECT_NE(ids.at("/b"), "same");
  EXPECT_NE(ids.at("/c"), "same");
  EXPECT_EQ(StoredNid("a.url"), "same");
  EXPECT_EQ(StoredNid("b.url"), ids.at("/b"));
  EXPECT_EQ(StoredNid("c/meta.kv"), ids.at("/c"));
  EXPECT_NE(LogText().find("Duplicated local NID detected, creating new NID and trying again"),
            std::string::npos);
  EXPECT_EQ(Ids(*Read()), ids);
}

TEST_F(FavoritesReaderTest, KindOnDiskWinsOverStoredType) {
  Url("Looks like folder.url", Shortcut("http://x/", "[Tarvex]\r\nntype=folder\r\n"));
  Folder("Looks like bookmark", "[Tarvex]\r\nntype=bookmark\r\n");
  EXPECT_EQ(Dump(*Read()),
            "Looks like bookmark [folder]\n"
            "Looks like folder [bookmark] http://x/\n");
}

TEST_F(FavoritesReaderTest, MobileFavoritesGetHashIdsAndStayUntouched) {
  Folder("Mobile Favorites");
  Url("Mobile Favorites/ab.url", Shortcut("http://ab/"));
  Url("Mobile Favorites/cd.url", Shortcut("http://cd/"));  // same length
  Folder("Mobile Favorites old");
  Url("Mobile Favorites old/ef.url", Shortcut("http://ef/"));
  const std::string abBefore = ReadAll(fav_ + "/Mobile Favorites/ab.url");

  auto ids = Ids(*Read());
  const std::string machine = settings_.GetValue("machineid", "t2000");
  EXPECT_EQ(ids.at("/Mobile Favorites/ab"),
            MakeHashNid(machine + ":" + fav_ + "/Mobile Favorites/ab.url"));
  EXPECT_NE(ids.at("/Mobile Favorites/ab"), ids.at("/Mobile Favorites/cd"));
  EXPECT_EQ(ReadAll(fav_ + "/Mobile Favorites/ab.url"), abBefore);
  EXPECT_FALSE(fs::exists(fav_ + "/Mobile Favorites/meta.kv"));
  // A sibling that merely starts with the name is an ordinary folder.
  EXPECT_EQ(StoredNid("Mobile Favorites old/ef.url"), ids.at("/Mobile Favorites old/ef"));
  EXPECT_EQ(Ids(*Read()), ids);
}

TEST_F(FavoritesReaderTest, ShortcutsInOtherEncodingsKeepTheirAddressAndTitle) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  auto utf16 = [](std::string_view text, bool bigEndian) {
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t u : Utf8ToUtf16(text)) {
      const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
      out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
  };
  const std::string text = "[InternetShortcut]\r\nURL=http://caf\xC3\xA9.example/\r\n";
  const Case cases[] = {
      {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + text},
      {"UTF-16 little-endian", utf16(text, false)},
      {"UTF-16 big-endian", utf16(text, true)},
      {"Windows-1252", "[InternetShortcut]\r\nURL=http://caf\xE9.example/\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(fav_);
    Url("Caf\xC3\xA9.url", c.bytes);
    auto set = Read();
    EXPECT_EQ(Dump(*set), "Caf\xC3\xA9 [bookmark] http://caf\xC3\xA9.example/\n");
    // The new id was stored; the address survived the rewrite.
    auto again = Read();
    EXPECT_EQ(Ids(*again), Ids(*set));
    EXPECT_EQ(Dump(*again), Dump(*set));
  }
}

TEST_F(FavoritesReaderTest, LinkedFaviconsBecomeTheIconAttribute) {
  const std::string png = testing::MakeImage(FIF_PNG, 16, 16);
  const std::string ico = *ConvertToIcon(png, logger_);
  PutFile(dir_ / "user/favicons/x.ico", ico);
  PutFile(dir_ / "outside/secret.txt", "not an icon");
  Url("Linked.url",
      Shortcut("http://a/", "IconFile=" + (dir_ / "user/favicons/x.ico") + "\r\nIconIndex=0\r\n"));
  Url("Foreign.url", Shortcut("http://b/", "IconFile=" + (dir_ / "outside/secret.txt") + "\r\n"));
  Url("Plain.url", Shortcut("http://c/"));
  auto set = Read();
  auto ids = Ids(*set);
  EXPECT_TRUE(SameIcon(set->GetNode(ids.at("/Linked"), false, false, false)->GetAttr("icon"),
                       "data:image/x-icon;base64," + Base64Encode(ico)));
  EXPECT_FALSE(set->GetNode(ids.at("/Foreign"), false, false, false)->HasAttr("icon"));
  EXPECT_FALSE(set->GetNode(ids.at("/Plain"), false, false, false)->HasAttr("icon"));
}

TEST_F(FavoritesReaderTest, OversizedFileFailsTheReadNamingIt) {
  for (std::string rel : {"Big.url", "Dir/meta.kv"}) {
    SCOPED_TRACE(rel);
    fs::remove_all(fav_);
    Folder("Dir");
    Url("Small.url", Shortcut("http://small/"));
    const std::string big = Shortcut("http://big/") + std::string(IniFile::kMaxFileBytes, 'x');
    Url(rel, big);
    settings_.DeleteValue("syncproblemfile");
    NodeSet set;
    FavoritesDatasource reader(Env());
    try {
      reader.ProvideNodes(set);
      ADD_FAILURE() << "read succeeded";
    } catch (const VelkException& e) {
      EXPECT_NE(std::string(e.what()).find(fav_ + "/" + rel), std::string::npos) << e.what();
    }
    EXPECT_EQ(settings_.GetValue("syncproblemfile", ""), fav_ + "/" + rel);
    EXPECT_EQ(ReadAll(fav_ + "/" + rel), big);
  }
}

TEST_F(FavoritesReaderTest, UnreadableFolderFailsTheRead) {
  FaultyFileSystem faulty(FileSystem::Native());
  Folder("Sub");
  faulty.FailNth(FaultyFileSystem::Op::List, 2, 5);
  FavoritesEnvironment env = Env();
  FavoritesDatasource reader(FavoritesEnvironment(faulty, settings_, logger_, registry_, icons_,
                                                  facts_, fav_, env.platform));
  NodeSet set;
  try {
    reader.ProvideNodes(set);
    ADD_FAILURE() << "read succeeded";
  } catch (const VelkException& e) {
    EXPECT_NE(std::string(e.what()).find("error reading directory: " + fav_ + "/Sub"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(settings_.GetValue("syncproblemfile", ""), fav_ + "/Sub");
}

TEST_F(FavoritesReaderTest, LinksFolderSetsTheToolbarId) {
  struct Case {
    const char* setting;  // nullptr: not set
    const char* folder;
    bool found;
  } cases[] = {
      {nullptr, "Links", true},
      {"Favorites Bar", "Favorites Bar", true},
      {"Links", "links", false},  // names are compared exactly
      {"Links", "Other", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    fs::remove_all(fav_);
    Folder(c.folder, "[Tarvex]\r\nnid=toolbar\r\n");
    Url("Links.url", Shortcut("http://not-a-folder/", "[Tarvex]\r\nnid=bm\r\n"));
    Folder("Deep");
    Folder(std::string("Deep/") + (c.setting ? c.setting : "Links"), "[Tarvex]\r\nnid=deep\r\n");
    if (c.setting)
      settings_.SetValue("linksfoldername", c.setting, false);
    else
      settings_.DeleteValue("linksfoldername");
    auto set = Read();
    EXPECT_EQ(set->GetNode("ROOT", false, false, false)->GetAttr("tnid"), c.found ? "toolbar" : "");
  }
}

TEST_F(FavoritesReaderTest, StoredMenuOrderArrangesTheChildren) {
  Folder("Folder");
  Url("Folder/x.url", Shortcut("http://x/"));
  Url("Folder/y.url", Shortcut("http://y/"));
  Url("a.url", Shortcut("http://a/"));
  Url("b.url", Shortcut("http://b/"));
  const OrderPlatform platform{6, 1, "8.0"};
  auto draw = [] { return 0x11u; };
  ASSERT_EQ(registry_.WriteValue(
                Hive::CurrentUser, std::string(kMenuOrderKey), "Order", REG_BINARY,
                EncodeOrder(
                    {{0, false, "b", "", ""}, {1, true, "Folder", "", ""}, {2, false, "a", "", ""}},
                    platform, draw)),
            0u);
  ASSERT_EQ(registry_.WriteValue(
                Hive::CurrentUser, std::string(kMenuOrderKey) + "\\Folder", "Order", REG_BINARY,
                EncodeOrder({{0, false, "y", "", ""}, {1, false, "x", "", ""}}, platform, draw)),
            0u);
  EXPECT_EQ(Dump(*Read()),
            "b [bookmark] http://b/\n"
            "Folder [folder]\n"
            "  y [bookmark] http://y/\n"
            "  x [bookmark] http://x/\n"
            "a [bookmark] http://a/\n");
}

TEST_F(FavoritesReaderTest, OriginalAttributesComeBackIntoTheTree) {
  Url("Q A.url", Shortcut("http://q/", "[Tarvex]\r\nnid=q\r\noriginal_name=Q: A?\r\n"));
  Url("Renamed old.url", Shortcut("http://r/", "[Tarvex]\r\nnid=r\r\noriginal_name=Renamed?\r\n"));
  Folder("Links", "[Tarvex]\r\nnid=links\r\noriginal_name=Favorites Bar\r\n");
  Folder("Target", "[Tarvex]\r\nnid=target\r\n");
  Url("Target/first.url", Shortcut("http://first/", "[Tarvex]\r\nnid=first\r\n"));
  Url("Target/last.url", Shortcut("http://last/", "[Tarvex]\r\nnid=last\r\n"));
  Url("mover.url", Shortcut("http://m/",
                            "[Tarvex]\r\nnid=mover\r\noriginal_pnid=target\r\n"
                            "original_bnid=last\r\n"));
  Url("stale.url", Shortcut("http://s/", "[Tarvex]\r\nnid=stale\r\noriginal_pnid=nope\r\n"));
  Url("tobm.url", Shortcut("http://t/", "[Tarvex]\r\nnid=tobm\r\noriginal_pnid=q\r\n"));
  Folder("Loop", "[Tarvex]\r\nnid=loop\r\noriginal_pnid=inner\r\n");
  Folder("Loop/Inner", "[Tarvex]\r\nnid=inner\r\n");
  Url("nobnid.url", Shortcut("http://n/",
                             "[Tarvex]\r\nnid=nobnid\r\noriginal_pnid=target\r\n"
                             "original_bnid=q\r\n"));

  auto set = Read();
  EXPECT_EQ(Dump(*set),
            "Favorites Bar [folder]\n"
            "Loop [folder]\n"
            "  Inner [folder]\n"
            "Q: A? [bookmark] http://q/\n"
            "Renamed old [bookmark] http://r/\n"
            "Target [folder]\n"
            "  first [bookmark] http://first/\n"
            "  mover [bookmark] http://m/\n"
            "  last [bookmark] http://last/\n"
            "nobnid [bookmark] http://n/\n"
            "stale [bookmark] http://s/\n"
            "tobm [bookmark] http://t/\n");
  EXPECT_EQ(set->GetNode("ROOT", false, false, false)->GetAttr("tnid"), "links");
  for (const char* id : {"q", "r", "links", "mover", "stale", "tobm", "loop", "nobnid"}) {
    const Node& n = *set->GetNode(id, false, false, false);
    for (const char* key : {"original_name", "original_pnid", "original_bnid"})
      EXPECT_FALSE(n.HasAttr(key)) << id << " " << key;
  }
  EXPECT_NE(LogText().find("Dropping original place [nope] [] of node stale"), std::string::npos);
}

// A title kept in a file reads back whole, line breaks and all; a value
// without the escape marker (as every earlier writer left it) reads as it
// is, percent signs included.
TEST_F(FavoritesReaderTest, EscapedOriginalNamesReadBackWholeAndPlainOnesAsTheyAre) {
  struct Case {
    const char* stored;
    std::string title;
  };
  const Case cases[] = {
      {"100% sure", "100% sure"},
      {"a%0Ab", "a%0Ab"},
      {"%tarvex-escaped%Evil%0D%0Aname", "Evil\r\nname"},
      {"%tarvex-escaped%%09tab%20", "\ttab "},
      {"%tarvex-escaped%%25tarvex-escaped%25x", "%tarvex-escaped%x"},
      {"%tarvex-escaped%50%%zz%4", "50%%zz%4"},  // malformed escapes stay
      {"%tarvex-escaped%%e6%97%a5", "\xE6\x97\xA5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    std::filesystem::remove_all(fav_);
    std::filesystem::create_directories(fav_);
    // Under the file name the writer gives that title.
    Url(StoreFileName(c.title, "bookmark", facts_) + ".url",
        Shortcut("http://e/",
                 std::string("[Tarvex]\r\nnid=e\r\noriginal_name=") + c.stored + "\r\n"));
    auto set = Read();
    EXPECT_EQ(set->GetNode("e", false, false, false)->GetAttr("name"), c.title);
    EXPECT_EQ(DecodeStoredText(EncodeStoredText(c.title)), c.title);
  }
  // Only what a value line cannot hold is escaped.
  EXPECT_EQ(EncodeStoredText("Plain title: 100% sure"), "Plain title: 100% sure");
  EXPECT_EQ(EncodeStoredText(" a\r\nb "), "%tarvex-escaped%%20a%0D%0Ab%20");
  EXPECT_EQ(EncodeStoredText("bad\xFF"), "%tarvex-escaped%bad%FF");
  EXPECT_EQ(EncodeStoredText("%tarvex-escaped%"), "%tarvex-escaped%%25tarvex-escaped%25");
}

TEST_F(FavoritesReaderTest, UnreadableMenuOrderAsksWhetherToGoOn) {
  struct Case {
    bool withPrompt;
    int button;
    bool ends;
  } cases[] = {{false, 0, true}, {true, kButtonContinue, false}, {true, kButtonCancel, true}};
  Folder("Sub");
  Url("Sub/a.url", Shortcut("http://a/"));
  const std::string bad("\x08\x00\x00\x00\x02\x00\x00\x00\x63\x00\x00\x00", 12);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    settings_.DeleteValue("ignorereordererror");
    ASSERT_EQ(registry_.WriteValue(Hive::CurrentUser, std::string(kMenuOrderKey), "Order",
                                   REG_BINARY, bad),
              0u);
    testing::ScriptedPrompt prompt;
    if (c.withPrompt) prompt.Script(c.button);
    FavoritesEnvironment env = Env();
    if (c.withPrompt) env.prompt = &prompt;
    FavoritesDatasource reader(env);
    NodeSet set;
    bool ended = false;
    try {
      reader.ProvideNodes(set);
    } catch (const VelkException&) {
      ended = true;
    }
    EXPECT_EQ(ended, c.ends);
    if (!ended) {
      EXPECT_EQ(Dump(set), "Sub [folder]\n  a [bookmark] http://a/\n");
    }
  }
}

TEST(FavoritesEntries, WhichEntriesAreSyncable) {
  struct Case {
    const char* name;
    uint32_t attributes;
    bool isDir;
    bool syncable;
    const char* stripped;
    const char* ext;
  } cases[] = {
      {"Site.url", 0, false, true, "Site", ".url"},
      {"Site.URL", 0, false, true, "Site", ".URL"},
      {"a.b.Url", 0, false, true, "a.b", ".Url"},
      {".profile.url", 0, false, true, ".profile", ".url"},
      {".profile", 0, false, false, "", ""},
      {"notes.txt", 0, false, false, "", ""},
      {"site.url.txt", 0, false, false, "", ""},
      {"noext", 0, false, false, "", ""},
      {"meta.kv", FILE_ATTRIBUTE_HIDDEN, false, false, "", ""},
      {"Hidden.url", FILE_ATTRIBUTE_HIDDEN, false, false, "", ""},
      {"Folder.url", 0, true, true, "Folder.url", ""},
      {".config", 0, true, true, ".config", ""},
      {"HiddenDir", FILE_ATTRIBUTE_HIDDEN, true, false, "", ""},
      {".", 0, true, false, "", ""},
      {"..", 0, true, false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name = c.name, ext = "unset";
    EXPECT_EQ(IsSyncableEntry(name, c.attributes, c.isDir, &ext), c.syncable);
    if (c.syncable) {
      EXPECT_EQ(name, c.stripped);
      EXPECT_EQ(ext, c.ext);
    }
  }
}

TEST(FavoritesEntries, HashIdsAreMd5OfAllUtf16Bytes) {
  EXPECT_EQ(MakeHashNid(""), "QTGVJ0s4l49So042");
  EXPECT_EQ(MakeHashNid("t2000:/fav/Mobile Favorites/a.url"), "QP5r7GHeshHKxLAx");
  EXPECT_EQ(MakeHashNid("\xF0\x9F\x98\x80x"), "iR5339VG1NW7yqn1");
}

TEST(FavoritesEntries, MobileFavoritesPathMatch) {
  struct Case {
    const char* path;
    bool inside;
  } cases[] = {
      {"/f/Mobile Favorites", true},           {"/f/Mobile Favorites/a.url", true},
      {"/f/mobile favorites/Sub/a.url", true}, {"/f/Mobile Favorites old/a.url", false},
      {"/f/Mobile Favorite", false},           {"/g/Mobile Favorites/a.url", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsInMobileFavorites(c.path, "/f"), c.inside) << c.path;
}

}  // namespace
}  // namespace tarvex
