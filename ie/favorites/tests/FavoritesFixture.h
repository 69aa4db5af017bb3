// The test fixture of the Favorites store: a temporary Favorites folder, user
// folder and registry, settings and log over them, and helpers to lay out
// favorites and folders and to look at the tree read back.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "ie/favorites/FavoritesReader.h"
#include "ie/foundation/IniFile.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/testing/TestEngine.h"
#include "platform/clock/Clock.h"
#include "platform/testing/Files.h"
#include "platform/testing/TempDir.h"

namespace tarvex::testing {

namespace fs = std::filesystem;

// Writes a file, creating its folders.
inline void PutFile(const std::string& path, std::string_view data) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

inline std::string Shortcut(std::string_view url, std::string_view extra = {}) {
  return "[InternetShortcut]\r\nURL=" + std::string(url) + "\r\n" + std::string(extra);
}

class FavoritesFixture : public ::testing::Test {
 protected:
  FavoritesFixture() {
    facts_.systemDir = dir_ / "system";
    facts_.uiLocale = "C";
    fs::create_directories(fav_);
    fs::create_directories(dir_ / "outside");
  }

  FavoritesEnvironment Env(FileSystem& files = FileSystem::Native()) {
    FavoritesEnvironment env(files, settings_, logger_, registry_, icons_, facts_, fav_,
                             OrderPlatform{6, 1, "8.0"});
    env.userDir = user_;
    env.orderDraw = [] { return 0x11u; };
    // The trees written are the tests' own, not ones made from a read.
    env.records = records_;
    return env;
  }
  void Url(const std::string& rel, std::string_view content) { PutFile(fav_ + "/" + rel, content); }
  void Folder(const std::string& rel, std::string_view meta = {}) {
    fs::create_directories(fav_ + "/" + rel);
    if (!meta.empty()) {
      PutFile(fav_ + "/" + rel + "/meta.kv", meta);
      Hide(rel + "/meta.kv");
    }
  }
  void Hide(const std::string& rel) {
    ASSERT_EQ(FileSystem::Native().SetAttributes(fav_ + "/" + rel, FILE_ATTRIBUTE_HIDDEN), 0u);
  }
  // Reads the Favorites into a fresh tree.
  std::unique_ptr<NodeSet> Read() {
    auto set = std::make_unique<NodeSet>();
    FavoritesDatasource reader(Env());
    reader.ProvideNodes(*set);
    return set;
  }
  // One line per node below `id`: indentation, name, ntype and url.
  static std::string Dump(NodeSet& set, const std::string& id = "ROOT", int depth = 0) {
    std::string out;
    Node& node = *set.GetNode(id, false, false, false);
    for (const std::string& child : node.RawChildren()) {
      Node& c = *set.GetNode(child, false, false, false);
      out += std::string(depth * 2, ' ') + c.GetAttr("name") + " [" + c.GetAttr("ntype") + "]";
      if (c.HasAttr("url")) out += " " + c.GetAttr("url");
      if (c.HasAttr("feedurl")) out += " feed=" + c.GetAttr("feedurl");
      out += "\n";
      if (c.IsFolder()) out += Dump(set, child, depth + 1);
    }
    return out;
  }
  // Name path -> id, for every node.
  static std::map<std::string, std::string> Ids(NodeSet& set, const std::string& id = "ROOT",
                                                const std::string& prefix = "") {
    std::map<std::string, std::string> out;
    for (const std::string& child : set.GetNode(id, false, false, false)->RawChildren()) {
      Node& c = *set.GetNode(child, false, false, false);
      const std::string path = prefix + "/" + c.GetAttr("name");
      out[path] = child;
      if (c.IsFolder()) out.merge(Ids(set, child, path));
    }
    return out;
  }
  std::string StoredNid(const std::string& rel) {
    IniFile ini(fav_ + "/" + rel, 0, FileSystem::Native(), settings_, logger_);
    return ini.GetValue("Tarvex", "nid", "<none>");
  }
  std::string LogText() { return testing::ReadAll(dir_ / "log/tarvex.log"); }

  testing::TempDir dir_;
  std::string fav_ = dir_ / "Favorites";
  std::string user_ = dir_ / "user";
  Registry registry_{dir_ / "registry"};
  FakeClock clock_{1796858716};
  OsFacts facts_;
  Logger logger_{dir_ / "log/tarvex.log", FileSystem::Native(), clock_};
  Settings settings_{registry_, FileSystem::Native(), clock_, facts_, logger_};
  IconManager icons_{FileSystem::Native(), logger_, dir_ / "user/favicons"};
  // Where reads leave their records; set to &shelf_ where a write follows a
  // read as in a sync.
  ReadRecords shelf_;
  ReadRecords* records_ = nullptr;
  testing::TestEnginePlatform platform_;
  ScopedEngine engine_{EngineFlavor::Windows(), platform_};
};

}  // namespace tarvex::testing
