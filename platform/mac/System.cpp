#include "platform/mac/System.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "text/Text.h"

namespace tarvex::mac {

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

}  // namespace

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = ::getpwuid(::geteuid())) return pw->pw_dir ? pw->pw_dir : "";
  return "";
}

std::string ExpandTilde(const std::string& path) {
  if (path == "~") return HomeFolder();
  if (path.rfind("~/", 0) == 0) return HomeFolder() + path.substr(1);
  return path;
}

std::string UserName() {
  const passwd* pw = ::getpwuid(::geteuid());
  return pw && pw->pw_name ? pw->pw_name : "";
}

std::string NewUUIDString() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return text;
}

std::string DateDescription(int64_t t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm local{};
  ::localtime_r(&tt, &local);
  char buf[64];
  size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &local);
  return std::string(buf, n);
}

void ConsoleLog(std::string_view line) {
  std::string out(line);
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

std::string EnsureFolder(const std::string& path, mode_t mode) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return "";
    return Format("%s is not a folder", path);
  }
  if (path.empty()) return "no folder given";
  std::string parent = FolderOf(path);
  if (parent != path) {
    std::string err = EnsureFolder(parent, mode);
    if (!err.empty()) return err;
  }
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
    return Format("cannot create the folder %s: %s", path, ErrnoText(errno));
  return "";
}

std::string WriteFileAtomically(const std::string& path, std::string_view data, mode_t mode) {
  std::string tmpl = path + ".tmp-XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return Format("cannot write %s: %s", path, ErrnoText(errno));
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmpl.c_str());
    return Format("cannot write %s: %s", path, ErrnoText(err));
  };
  if (::fchmod(fd, mode) != 0) return fail(errno);
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tmpl.c_str());
    return Format("cannot write %s: %s", path, ErrnoText(err));
  }
  if (::rename(tmpl.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmpl.c_str());
    return Format("cannot write %s: %s", path, ErrnoText(err));
  }
  int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return "";
}

std::optional<std::string> ReadWholeFile(const std::string& path, bool* missing, std::string* error) {
  if (missing) *missing = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT && missing) *missing = true;
    if (error) *error = Format("cannot read %s: %s", path, ErrnoText(errno));
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    if (error) *error = Format("cannot read %s: not a regular file", path);
    return std::nullopt;
  }
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      if (error) *error = Format("cannot read %s: %s", path, ErrnoText(err));
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

}  // namespace tarvex::mac
