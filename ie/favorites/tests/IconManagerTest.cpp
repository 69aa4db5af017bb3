#include <FreeImage.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "ie/favorites/IconManager.h"
#include "ie/favorites/tests/TestImages.h"
#include "ie/foundation/core/VelkException.h"
#include "platform/Win32Error.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex {

using namespace win32;
namespace {

using testing::DataUriOf;
using testing::MakeImage;
using testing::Padded;
using testing::ReadAll;
using testing::WriteAll;

class FakeStreams : public IconStreams {
 public:
  bool Supported() const override { return true; }
  std::optional<std::string> Read(const std::string& name) override {
    auto it = streams.find(name);
    if (it == streams.end()) return std::nullopt;
    return it->second;
  }
  void Delete(const std::string& name) override { streams.erase(name); }
  std::map<std::string, std::string> streams;
};

class FakeCache : public UrlCache {
 public:
  std::optional<std::string> LocalFileFor(const std::string& url) override {
    asked.push_back(url);
    auto it = files.find(url);
    if (it == files.end()) return std::nullopt;
    return it->second;
  }
  std::map<std::string, std::string> files;
  std::vector<std::string> asked;
};

OsFacts TestFacts(const testing::TempDir& dir) {
  OsFacts facts;
  facts.systemDir = dir / "system";
  facts.uiLocale = "C";
  return facts;
}

class IconManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir_ / "fav"); }

  // An open .url file of node `nid` (none when empty).
  std::unique_ptr<IniFile> Shortcut(const std::string& nid, const std::string& name = "x") {
    auto ini = std::make_unique<IniFile>(faulty_, settings_, logger_);
    ini->Load(dir_ / ("fav/" + name + ".url"), FILE_ATTRIBUTE_NORMAL);
    ini->SetValue("InternetShortcut", "URL", "http://example.com/");
    if (!nid.empty()) ini->SetValue("Tarvex", "nid", nid);
    return ini;
  }
  std::vector<std::string> StoreFiles() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(store_, ec))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string LogText() { return ReadAll(dir_ / "log/tarvex.log"); }
  std::string IconFileOf(const IniFile& ini) {
    return ini.GetValue("InternetShortcut", "IconFile", "<none>");
  }

  testing::TempDir dir_;
  std::string store_ = dir_ / "user/favicons";
  Registry registry_{dir_ / "registry", /*allowMachineWrites=*/true};
  FakeClock clock_{1796858716};
  OsFacts facts_ = TestFacts(dir_);
  Logger logger_{dir_ / "log/tarvex.log", FileSystem::Native(), clock_};
  Settings settings_{registry_, FileSystem::Native(), clock_, facts_, logger_};
  FaultyFileSystem faulty_{FileSystem::Native()};
  FakeStreams streams_;
  FakeCache cache_;
  IconManager icons_{faulty_, logger_, store_};
};

TEST(Base64Test, EncodesWithoutPaddingAndDecodesTolerantly) {
  struct Case {
    std::string text;
    std::string bytes;
  } decodes[] = {
      {"YWJj", "abc"},      {"YQ==", "a"},
      {"YQ", "a"},          {"YW\r\nJ j=", "abc"},
      {"=Y=W=J=j=", "abc"}, {std::string("YWJj\0YWJj", 9), "abc"},
      {"!!!!", ""},         {"Y", ""},
  };
  for (const Case& c : decodes) EXPECT_EQ(Base64Decode(c.text), c.bytes) << c.text;
  EXPECT_EQ(Base64Encode("a"), "YQ");
  EXPECT_EQ(Base64Encode("ab"), "YWI");
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t n = 0; n < 6; ++n)
    EXPECT_EQ(Base64Decode(Base64Encode(all.substr(n))), all.substr(n)) << n;
}

TEST_F(IconManagerTest, ImagesBecomeLinkedIcons) {
  struct Case {
    const char* name;
    std::string uri;
    unsigned side;  // of the stored icon, which is square
  } cases[] = {
      {"png", DataUriOf("image/png", MakeImage(FIF_PNG, 16, 16)), 16},
      {"jpeg", DataUriOf("image/jpeg", MakeImage(FIF_JPEG, 32, 32)), 32},
      {"bmp", DataUriOf("image/bmp", MakeImage(FIF_BMP, 16, 16)), 16},
      {"gif", DataUriOf("image/gif", MakeImage(FIF_GIF, 16, 16)), 16},
      {"type found by content", DataUriOf("image/png", MakeImage(FIF_JPEG, 16, 16)), 16},
      {"upper-case header", "DATA:IMAGE/PNG;BASE64," + Base64Encode(MakeImage(FIF_PNG, 20, 20)),
       20},
      {"tiny image is enlarged", DataUriOf("image/png", MakeImage(FIF_PNG, 8, 8)), 16},
      {"tall image is centred", DataUriOf("image/bmp", MakeImage(FIF_BMP, 20, 40)), 40},
      {"300 px is scaled", DataUriOf("image/png", MakeImage(FIF_PNG, 300, 300)), 256},
      {"wide image keeps its shape", DataUriOf("image/png", MakeImage(FIF_PNG, 600, 30)), 256},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string nid = "n" + std::to_string(++n);
    auto ini = Shortcut(nid);
    ASSERT_TRUE(icons_.WriteIconFile(*ini, c.uri)) << c.name;
    std::string file = IconFileOf(*ini);
    EXPECT_TRUE(StartsWith(file, icons_.IconFilePath(nid))) << c.name << ": " << file;
    EXPECT_EQ(ini->GetValue("InternetShortcut", "IconIndex", "<none>"), "0") << c.name;
    EXPECT_EQ(FreeImage_GetFileType(file.c_str(), 0), FIF_ICO) << c.name;
    FIBITMAP* icon = FreeImage_Load(FIF_ICO, file.c_str(), 0);
    ASSERT_NE(icon, nullptr) << c.name;
    EXPECT_EQ(FreeImage_GetWidth(icon), c.side) << c.name;
    EXPECT_EQ(FreeImage_GetHeight(icon), c.side) << c.name;
    FreeImage_Unload(icon);
    // What is stored reads back as an x-icon text of the file's bytes.
    EXPECT_EQ(icons_.ReadIcon(*ini),
              std::string(IconManager::kIconUriPrefix) + Base64Encode(ReadAll(file)))
        << c.name;
  }
  EXPECT_EQ(StoreFiles().size(), std::size(cases));
}

TEST_F(IconManagerTest, RefusedDataWritesNothingAndLogsWhy) {
  std::string png = MakeImage(FIF_PNG, 16, 16);
  std::string hugeSides = png;  // the IHDR width and height of a 65535 x 65535 image
  hugeSides.replace(16, 8, std::string("\0\0\xFF\xFF\0\0\xFF\xFF", 8));
  struct Case {
    const char* name;
    std::string uri;
    const char* logged;
  } cases[] = {
      {"no comma", "data:image/png;base64" + Base64Encode(png), "Can't find header data"},
      {"garbage base64", "data:image/png;base64,!!!!****", "unsupported size (0 bytes)"},
      {"partly garbage base64", "data:image/png;base64,!!!!****iVBO", "not a supported image"},
      {"not an image", DataUriOf("image/png", "hello, this is text"), "not a supported image"},
      {"truncated png", DataUriOf("image/png", png.substr(0, png.size() / 2)), "can't be decoded"},
      {"hostile sides", DataUriOf("image/png", hugeSides), "too large"},
      {"not base64", "data:image/png," + png.substr(0, 8), "not a base64 image data URI"},
      {"not an image type", DataUriOf("text/html", png), "not a base64 image data URI"},
      {"too big", DataUriOf("image/png", png + std::string(0x100000, 'x')), "too big"},
  };
  for (const Case& c : cases) {
    auto ini = Shortcut("n1");
    EXPECT_FALSE(icons_.WriteIconFile(*ini, c.uri)) << c.name;
    EXPECT_EQ(IconFileOf(*ini), "<none>") << c.name;
    EXPECT_TRUE(StoreFiles().empty()) << c.name;
    EXPECT_NE(LogText().find(c.logged), std::string::npos) << c.name << "\n" << LogText();
  }
}

TEST_F(IconManagerTest, OnlyRegularIconFilesAreRead) {
  std::string ico = *ConvertToIcon(MakeImage(FIF_PNG, 16, 16), logger_);
  std::string png = MakeImage(FIF_PNG, 16, 16);
  std::filesystem::create_directories(dir_ / "icons");
  WriteAll(dir_ / "icons/good.ICO", ico);
  WriteAll(dir_ / "icons/png.ico", png);
  WriteAll(dir_ / "icons/big.ico", ico + std::string(2 * 1024 * 1024, '\0'));
  WriteAll(dir_ / "icons/notes.ico", "[secret]\npassword=1\n");
  WriteAll(dir_ / "icons/icon.png", ico);
  ASSERT_EQ(::mkfifo((dir_ / "icons/pipe.ico").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir_ / "icons/good.ICO", dir_ / "icons/link.ico");
  struct Case {
    std::string iconFile;
    std::string expected;  // "" for no icon
    const char* logged;
  } cases[] = {
      {dir_ / "icons/good.ICO", std::string(IconManager::kIconUriPrefix) + Base64Encode(ico), ""},
      {dir_ / "icons/png.ico", std::string(IconManager::kIconUriPrefix) + Base64Encode(png), ""},
      {dir_ / "icons/big.ico", "", "Icon file is too big, icon can't be read"},
      {dir_ / "icons/notes.ico", "", "Icon file is not an icon, icon can't be read"},
      {dir_ / "icons/icon.png", "", "Icon file is not a local icon file, icon can't be read"},
      {dir_ / "icons/pipe.ico", "", "Icon file is not a regular file, icon can't be read"},
      {dir_ / "icons/link.ico", "", "Icon file is not a regular file, icon can't be read"},
      {"icons/good.ICO", "", "Icon file is not a local icon file, icon can't be read"},
      {dir_ / "icons/missing.ico", "", ""},
  };
  for (const Case& c : cases) {
    auto ini = Shortcut("n1");
    ini->SetValue("InternetShortcut", "IconFile", c.iconFile);
    EXPECT_EQ(icons_.ReadIcon(*ini), c.expected) << c.iconFile;
    EXPECT_NE(LogText().find(std::string(c.logged) + (*c.logged ? ": " + c.iconFile : "")),
              std::string::npos)
        << c.iconFile;
  }
}

TEST_F(IconManagerTest, OneFilePerNodeAndNoRewriteOfTheSameIcon) {
  std::string png = DataUriOf("image/png", MakeImage(FIF_PNG, 16, 16));
  std::string ico = *ConvertToIcon(MakeImage(FIF_BMP, 24, 24), logger_);
  auto ini = Shortcut("n1");

  ASSERT_TRUE(icons_.WriteIconFile(*ini, png));
  std::vector<std::string> first = StoreFiles();
  ASSERT_EQ(first.size(), 1u);
  // The same image again (converted before) writes nothing.
  ASSERT_TRUE(icons_.WriteIconFile(*ini, png));
  EXPECT_EQ(StoreFiles(), first);

  // Another icon replaces the node's file.
  ASSERT_TRUE(icons_.WriteIconFile(*ini, DataUriOf("image/x-icon", ico)));
  std::vector<std::string> second = StoreFiles();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(second, first);
  EXPECT_EQ(ReadAll(IconFileOf(*ini)), ico);

  // The peer's text of the linked icon, padded or not, is the same icon.
  std::string read = icons_.ReadIcon(*ini);
  ASSERT_NE(read.find(",") + 1, Padded(read).size() - 1);
  for (const std::string& peer :
       {read, Padded(read), "data:image/vnd.microsoft.icon;base64," + Padded(Base64Encode(ico))}) {
    ASSERT_TRUE(icons_.WriteIconFile(*ini, peer));
    EXPECT_EQ(StoreFiles(), second) << peer.substr(0, 40);
  }
  EXPECT_TRUE(SameIcon(read, Padded(read)));
  EXPECT_FALSE(SameIcon(read, png));
}

TEST_F(IconManagerTest, RemoveIconDeletesExactlyTheNodesFiles) {
  std::string png = DataUriOf("image/png", MakeImage(FIF_PNG, 16, 16));
  auto aB = Shortcut("aB", "aB");
  auto Ab = Shortcut("Ab", "Ab");
  auto aBx = Shortcut("aB-x", "aBx");
  ASSERT_TRUE(icons_.WriteIconFile(*aB, png));
  ASSERT_TRUE(icons_.WriteIconFile(*Ab, png));
  ASSERT_TRUE(icons_.WriteIconFile(*aBx, png));
  // A second file of "aB" left by an earlier run, and a file of ours that
  // is not a store file.
  WriteAll(icons_.IconFilePath("aB") + "old.ico", "x");
  WriteAll(icons_.IconFilePath("aB") + "notes.txt", "x");
  std::string keptAb = IconFileOf(*Ab), keptX = IconFileOf(*aBx);

  icons_.RemoveIcon(*aB);
  EXPECT_EQ(IconFileOf(*aB), "<none>");
  EXPECT_EQ(aB->GetValue("InternetShortcut", "IconIndex", "<none>"), "<none>");
  std::vector<std::string> expected = {keptAb.substr(store_.size() + 1),
                                       keptX.substr(store_.size() + 1), "aB-notes.txt"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(StoreFiles(), expected);
}

TEST_F(IconManagerTest, StoreNamesStayInTheStoreAndApart) {
  std::string longId(80, 'a');
  const char* ids[] = {"aB", "Ab", "../../etc/x", "a b", ".hidden", "x[1]*"};
  std::vector<std::string> prefixes;
  for (std::string id : ids) prefixes.push_back(icons_.IconFilePath(id));
  prefixes.push_back(icons_.IconFilePath(longId));
  prefixes.push_back(icons_.IconFilePath(longId + "b"));
  for (const std::string& p : prefixes) {
    EXPECT_EQ(p.rfind('/'), store_.size()) << p;
    EXPECT_EQ(p.substr(0, store_.size() + 1), store_ + "/") << p;
    EXPECT_LE(p.size() - store_.size(), 40u) << p;
  }
  std::sort(prefixes.begin(), prefixes.end());
  EXPECT_EQ(std::adjacent_find(prefixes.begin(), prefixes.end()), prefixes.end());
  EXPECT_EQ(icons_.IconFilePath("aB"), store_ + "/aB-");
}

TEST_F(IconManagerTest, RemoveIconThrowsWhenTheStoreCannotBeListed) {
  auto ini = Shortcut("n1");
  ASSERT_TRUE(icons_.WriteIconFile(*ini, DataUriOf("image/png", MakeImage(FIF_PNG, 8, 8))));
  faulty_.FailNth(FaultyFileSystem::Op::List, 1, ERROR_ACCESS_DENIED);
  try {
    icons_.RemoveIcon(*ini);
    ADD_FAILURE() << "no throw";
  } catch (const VelkException& e) {
    EXPECT_EQ(e.source(), "windows");
    EXPECT_EQ(e.id(), static_cast<int32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(e.message(), "error reading favicon directory: " + store_ + "/n1-*");
  }
}

TEST_F(IconManagerTest, StreamsAndTheBrowserCacheComeFirst) {
  IconManager icons(faulty_, logger_, store_, streams_, cache_);
  std::string ico = *ConvertToIcon(MakeImage(FIF_PNG, 16, 16), logger_);
  std::string cached = dir_ / "cache/favicon[1].ico";
  std::filesystem::create_directories(dir_ / "cache");
  WriteAll(cached, ico);
  std::string expected = std::string(IconManager::kIconUriPrefix) + Base64Encode(ico);

  struct Case {
    std::string url;
    std::string asked;  // "" when the cache must not be asked
  } cases[] = {
      {"http://a.com/x/y?z", "http://a.com/favicon.ico"},
      {"HTTPS://a.com", "HTTPS://a.com/favicon.ico"},
      {"http://a.com?q=/x", "http://a.com/favicon.ico"},
      {"ftp://a.com/", ""},
      {"file:///etc/passwd", ""},
      {"no scheme", ""},
  };
  for (const Case& c : cases) {
    auto ini = Shortcut("n1");
    ini->SetValue("InternetShortcut", "URL", c.url);
    cache_.asked.clear();
    cache_.files = {{c.asked, cached}};
    EXPECT_EQ(icons.ReadIcon(*ini), c.asked.empty() ? "" : expected) << c.url;
    EXPECT_EQ(cache_.asked,
              c.asked.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.asked})
        << c.url;
  }

  // A stream wins over the link, and removing the icon removes the stream.
  auto ini = Shortcut("n1");
  ASSERT_TRUE(icons.WriteIconFile(*ini, DataUriOf("image/png", MakeImage(FIF_PNG, 8, 8))))
      << LogText();
  std::string stream = icons.StreamName(ini->path());
  EXPECT_EQ(stream, ini->path() + ":favicon");
  streams_.streams[stream] = "stream bytes";
  EXPECT_EQ(icons.ReadIcon(*ini),
            std::string(IconManager::kIconUriPrefix) + Base64Encode("stream bytes"));
  icons.RemoveIcon(*ini);
  EXPECT_TRUE(streams_.streams.empty()) << LogText();
  EXPECT_TRUE(StoreFiles().empty());
  EXPECT_EQ(icons_.StreamName(ini->path()), "");
}

}  // namespace
}  // namespace tarvex
