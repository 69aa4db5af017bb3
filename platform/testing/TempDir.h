// A private temporary folder for one test or benchmark, removed with
// everything in it at the end; or, made with Kept, a chosen folder that
// stays, for state that several processes take over one after another.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace tarvex::testing {

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tarvex-XXXXXX";
    char* made = mkdtemp(tmpl.data());
    if (!made) throw std::runtime_error("mkdtemp failed for " + tmpl);
    path_ = made;
  }
  // `path`, created with its parents when missing, and left in place at the
  // end.
  static TempDir Kept(const std::string& path) { return TempDir(path, true); }
  ~TempDir() {
    if (kept_) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  TempDir(const std::string& path, bool kept) : path_(path), kept_(kept) {
    if (path.empty()) throw std::invalid_argument("TempDir::Kept: no folder given");
    std::filesystem::create_directories(path);
  }

  std::string path_;
  bool kept_ = false;
};

}  // namespace tarvex::testing
