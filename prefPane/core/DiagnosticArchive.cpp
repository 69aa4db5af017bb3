#include "prefPane/core/DiagnosticArchive.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "crashreport/zip/ZipArchive.h"
#include "platform/mac/Plist.h"
#include "platform/mac/System.h"
#include "prefPane/core/KestroveSettings.h"
#include "text/Text.h"

namespace tarvex::pane {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool IsSecretKey(const std::string& key) {
  std::string lower = Lower(key);
  return lower == kSettingAuthtoken || lower.find("password") != std::string::npos ||
         lower.find("token") != std::string::npos || lower.find("secret") != std::string::npos;
}

class ArchiveWriter {
 public:
  explicit ArchiveWriter(ZipHandle* zip) : zip_(zip) {}

  // Adds the folder `path` as `entry` and everything below it.
  std::string AddFolder(const std::string& path, const std::string& entry) {
    if (uint32_t rc = ZipAddFolder(zip_, entry)) return Format("%s: the archive refused it (%x)", path, rc);
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return Format("%s could not be read: %s", path, strerror(errno));
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      std::string child = path + "/" + name;
      struct stat st;
      if (::lstat(child.c_str(), &st) != 0) continue;  // gone meanwhile
      if (S_ISDIR(st.st_mode)) {
        if (name == "backups") continue;
        if (std::string error = AddFolder(child, entry + "/" + name); !error.empty()) return error;
      } else if (S_ISREG(st.st_mode)) {
        if (std::string error = AddFile(child, entry + "/" + name); !error.empty()) return error;
      }
      // Symbolic links and special files are left out.
    }
    return "";
  }

 private:
  std::string AddFile(const std::string& path, const std::string& entry) {
    std::string name = entry.substr(entry.rfind('/') + 1);
    if (name.find("prefs.plist") != std::string::npos) {
      // The settings and any copy of them: in with their secrets emptied,
      // or not at all when they cannot be read as settings.
      mac::PlistRead read = mac::ReadPlistDict(path);
      if (read.status != mac::PlistRead::Status::Dict) return "";
      std::string xml = mac::PlistXml(RedactedSettings(read.dict));
      uint32_t rc = ZipAddMemory(zip_, entry, xml.data(), xml.size());
      return rc ? Format("%s could not be added to the archive (%x)", path, rc) : "";
    }
    uint32_t rc = ZipAdd(zip_, entry, path);
    if (rc == kZipOpenFailed) return "";  // unreadable or gone: left out, as zip does
    return rc ? Format("%s could not be added to the archive (%x)", path, rc) : "";
  }

  ZipHandle* zip_;
};

}  // namespace

std::string WithoutCredentials(const std::string& proxy) {
  size_t start = proxy.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t end = proxy.find_first_of("/?#", start);
  size_t at = proxy.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at == std::string::npos || at < start) return proxy;
  return proxy.substr(0, start) + proxy.substr(at + 1);
}

mac::DictRef RedactedSettings(const mac::DictRef& settings) {
  mac::DictRef copy = mac::DeepMutableCopy(settings ? settings : mac::NewDict());
  for (auto& [key, value] : *copy) {
    if (IsSecretKey(key))
      value = "";
    else if ((key == kSettingHttpProxy || key == kSettingHttpsProxy) && value.IsString())
      value = WithoutCredentials(value.AsString());
  }
  return copy;
}

std::string WriteDiagnosticArchive(const std::string& home) {
  std::string source = home + "/Library/Tarvex";
  struct stat st;
  if (::lstat(source.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Format("%s is no folder", source);
  std::string desktop = home + "/Desktop";
  if (std::string error = mac::EnsureFolder(desktop, 0755); !error.empty()) return error;
  std::string target = desktop + "/" + kArchiveName;
  std::string temporary = desktop + "/." + kArchiveName + ".XXXXXX";
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return Format("%s could not be created: %s", temporary, strerror(errno));

  std::string error;
  ZipHandle* zip = CreateZipOnDescriptor(fd);
  if (!zip) {
    error = Format("%s could not be written (%x)", temporary, LastZipResult());
  } else {
    error = ArchiveWriter(zip).AddFolder(source, "Tarvex");
    uint32_t rc = CloseZip(zip);
    if (error.empty() && rc) error = Format("%s could not be written (%x)", temporary, rc);
  }
  if (error.empty() && ::fsync(fd) != 0) error = Format("%s could not be written: %s", temporary, strerror(errno));
  if (::close(fd) != 0 && error.empty())
    error = Format("%s could not be written: %s", temporary, strerror(errno));
  if (error.empty() && ::rename(temporary.c_str(), target.c_str()) != 0)
    error = Format("%s could not be replaced: %s", target, strerror(errno));
  if (!error.empty()) ::unlink(temporary.c_str());
  return error;
}

}  // namespace tarvex::pane
