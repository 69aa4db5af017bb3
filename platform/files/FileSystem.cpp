// The native file system: POSIX calls with Win32 results.
//
// Notes on the choices made here:
// - READONLY, HIDDEN and SYSTEM live in the extended attribute
//   "user.tarvex.attrs" as decimal text ("1", "6"). A small little-endian
//   binary value is accepted on read too. READONLY is mirrored into the
//   owner-write permission bit for the benefit of people looking at the
//   files, but every write path of this layer checks the attribute itself,
//   because permission bits do not stop root.
// - Files are written through a temporary file in the same folder
//   (".<name>.tmp-XXXXXX") that is flushed and then renamed into place, so a
//   reader never sees half a file and a failure leaves the old one intact.
// - Moves use rename without replacing; copies that must not overwrite are
//   renamed into place the same way, so an existing target is never touched.
#include "platform/files/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>

#include "platform/Win32Error.h"

namespace tarvex {

using namespace win32;

namespace {

constexpr char kAttrName[] = "user.tarvex.attrs";
constexpr uint32_t kStoredAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// Longest part of the target's name reused in a temporary file name, so the
// temporary name stays below the usual 255-byte limit.
constexpr size_t kTempNameStem = 200;

constexpr std::string_view kTempNameTail = ".tmp-XXXXXX";

bool IsUnsupported(int err) {
  return err == ENOTSUP || err == EOPNOTSUPP;
}

// The folder part of a path: "a/b" -> "a", "b" -> ".", "/b" -> "/".
std::string ParentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  while (slash > 0 && p[slash - 1] == '/') --slash;
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

// The name part of a path; empty when the path ends with "/".
std::string NameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The attribute bits held in an extended attribute value.
uint32_t ParseStored(const char* value, ssize_t length) {
  if (length <= 0) return 0;
  bool decimal = length <= 10;
  for (ssize_t i = 0; i < length && decimal; ++i) decimal = value[i] >= '0' && value[i] <= '9';
  uint64_t bits = 0;
  if (decimal) {
    for (ssize_t i = 0; i < length; ++i) bits = bits * 10 + static_cast<uint64_t>(value[i] - '0');
  } else if (length <= 4) {
    for (ssize_t i = length - 1; i >= 0; --i)
      bits = (bits << 8) | static_cast<unsigned char>(value[i]);
  }
  return static_cast<uint32_t>(bits) & kStoredAttributes;
}

// Reads the stored attribute bits of `path` (or of the open `fd` when it is
// not negative). A file without the attribute, or on a file system without
// extended attributes, has none; so does a symbolic link (its target's are
// never read). Fails only when the file itself is missing.
uint32_t ReadStored(const std::string& path, uint32_t* bits, int fd = -1) {
  char value[16];
  ssize_t n = fd >= 0 ? ::fgetxattr(fd, kAttrName, value, sizeof value)
                      : ::lgetxattr(path.c_str(), kAttrName, value, sizeof value);
  *bits = 0;
  if (n >= 0) {
    *bits = ParseStored(value, n);
    return ERROR_SUCCESS;
  }
  int err = errno;
  if (err == ENOENT || err == ENOTDIR) return Win32FromErrno(err, path);
  // ENODATA, ENOTSUP, EACCES, ERANGE (a value that is not ours): no attributes.
  return ERROR_SUCCESS;
}

std::string StoredValue(uint32_t bits) {
  return std::to_string(bits & kStoredAttributes);
}

// The permission bits of a file holding `bits`: READONLY clears the owner's
// write bit, anything else sets it.
mode_t MirrorReadOnly(mode_t mode, uint32_t bits) {
  mode &= 07777;
  return (bits & FILE_ATTRIBUTE_READONLY) ? (mode & ~static_cast<mode_t>(S_IWUSR))
                                          : (mode | S_IWUSR);
}

// 0, or ERROR_ACCESS_DENIED when `path` exists and is READONLY.
uint32_t RefuseReadOnly(const std::string& path) {
  uint32_t bits = 0;
  if (ReadStored(path, &bits) != ERROR_SUCCESS) return ERROR_SUCCESS;
  return (bits & FILE_ATTRIBUTE_READONLY) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

uint32_t WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32FromErrno(errno);
    }
    if (n == 0) return ERROR_DISK_FULL;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return ERROR_SUCCESS;
}

// Best effort: makes a rename in `folder` durable.
void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

int RawRenameNoReplace(const char* from, const char* to) {
#if defined(RENAME_NOREPLACE)
  return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
#elif defined(SYS_renameat2)
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 1u));
#else
  (void)from;
  (void)to;
  errno = ENOSYS;
  return -1;
#endif
}

// Renames without ever replacing `to`: 0 or an errno value (EEXIST when `to`
// exists). Where the file system cannot refuse a replacement itself, files
// are linked and unlinked, and folders are checked before an ordinary rename.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (RawRenameNoReplace(from.c_str(), to.c_str()) == 0) return 0;
  int err = errno;
  if (err != EINVAL && err != ENOSYS && !IsUnsupported(err)) return err;
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) {
    if (::link(from.c_str(), to.c_str()) == 0) {
      if (::unlink(from.c_str()) == 0) return 0;
      int unlinkErr = errno;
      ::unlink(to.c_str());
      return unlinkErr;
    }
    err = errno;
    if (err != EPERM && err != ENOSYS && !IsUnsupported(err)) return err;
  }
  if (::lstat(to.c_str(), &st) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Writes a new file at `path` through a temporary file in its folder:
// `fill` writes the content, then the attribute bits and `mode` are set, the
// data flushed (Durability::Now) and the temporary renamed into place, and
// then the folder flushed (Now). With `exclusive` an existing `path` is left
// alone and ERROR_FILE_EXISTS returned. On failure the temporary file is
// removed and `path` is as it was.
uint32_t WriteThroughTemp(const std::string& path, const std::function<uint32_t(int)>& fill,
                          mode_t mode, uint32_t bits, bool exclusive, Durability durability) {
  std::string name = NameOf(path);
  if (name.empty() || name == "." || name == "..") return ERROR_INVALID_NAME;
  std::string folder = ParentOf(path);
  std::string temp = (folder == "/" ? std::string() : folder) + "/." +
                     name.substr(0, kTempNameStem) + std::string(kTempNameTail);
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Win32FromErrno(errno, path);

  auto fail = [&](uint32_t code) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return code;
  };
  if (uint32_t code = fill(fd)) return fail(code);
  // The attribute goes on before the mode: without the write bit, only root
  // may set it.
  bits &= kStoredAttributes;
  if (bits != 0) {
    std::string value = StoredValue(bits);
    if (::fsetxattr(fd, kAttrName, value.data(), value.size(), 0) != 0 && !IsUnsupported(errno))
      return fail(Win32FromErrno(errno, path));
  }
  if (::fchmod(fd, MirrorReadOnly(mode, bits)) != 0) return fail(Win32FromErrno(errno, path));
  if (durability == Durability::Now && ::fsync(fd) != 0) return fail(Win32FromErrno(errno, path));
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return fail(Win32FromErrno(errno, path));

  if (exclusive) {
    int err = RenameNoReplace(temp, path);
    if (err == EEXIST) return fail(ERROR_FILE_EXISTS);
    if (err != 0) return fail(Win32FromErrno(err, path));
  } else if (::rename(temp.c_str(), path.c_str()) != 0) {
    return fail(Win32FromErrno(errno, path));
  }
  if (durability == Durability::Now) SyncFolder(folder);
  return ERROR_SUCCESS;
}

uint32_t CopyContent(int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32FromErrno(errno);
    }
    if (n == 0) return ERROR_SUCCESS;
    if (uint32_t code = WriteAll(to, buffer, static_cast<size_t>(n))) return code;
  }
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Copies `from` to `to` with its content, mode and attributes; `exclusive`
// refuses an existing target with ERROR_FILE_EXISTS.
uint32_t CopyRegularFile(const std::string& from, const std::string& to, bool exclusive,
                         Durability durability) {
  FileDescriptor source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (source.get() < 0) return Win32FromErrno(errno, from);
  struct stat st;
  if (::fstat(source.get(), &st) != 0) return Win32FromErrno(errno, from);
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  uint32_t bits = 0;
  ReadStored(from, &bits, source.get());
  if (!exclusive) {
    struct stat target;
    if (::stat(to.c_str(), &target) == 0) {
      if (S_ISDIR(target.st_mode)) return ERROR_ACCESS_DENIED;
      if (uint32_t code = RefuseReadOnly(to)) return code;
    }
  }
  return WriteThroughTemp(
      to, [&](int fd) { return CopyContent(source.get(), fd); }, st.st_mode, bits, exclusive,
      durability);
}

class NativeWritableFile : public WritableFile {
 public:
  explicit NativeWritableFile(int fd) : fd_(fd) {}
  ~NativeWritableFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  uint32_t Write(std::string_view data) override {
    if (fd_ < 0) return ERROR_INVALID_HANDLE;
    return WriteAll(fd_, data.data(), data.size());
  }
  // Every Write reaches the kernel before it returns, which is all the log
  // needs; forcing the disk on every line would cost too much.
  uint32_t Flush() override { return fd_ < 0 ? ERROR_INVALID_HANDLE : ERROR_SUCCESS; }
  uint32_t Close() override {
    if (fd_ < 0) return ERROR_INVALID_HANDLE;
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? ERROR_SUCCESS : Win32FromErrno(errno);
  }

 private:
  int fd_;
};

// The file systems written to with Durability::Later since their last
// SyncFileSystem, each with a descriptor opened before the first such write:
// syncfs through it reports every write-back error of the file system since
// it was opened, so a barrier cannot miss the failure of a deferred write
// that happened before the barrier's own open.
class DeferredWrites {
 public:
  ~DeferredWrites() {
    for (auto& [device, fd] : open_) ::close(fd);
  }
  // Called before a deferred write into `folder`.
  void Note(const std::string& folder) {
    {
      // Many files are written into one folder in turn.
      std::lock_guard<std::mutex> lock(mutex_);
      if (folder == lastFolder_ && open_.count(lastDevice_)) return;
    }
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) return;  // the write itself fails
    std::lock_guard<std::mutex> lock(mutex_);
    lastFolder_ = folder;
    lastDevice_ = st.st_dev;
    if (open_.count(st.st_dev)) return;
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) open_.emplace(st.st_dev, fd);
  }
  // The descriptor noted for `device`, now the caller's; -1 when none.
  int Take(dev_t device) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(device);
    if (it == open_.end()) return -1;
    int fd = it->second;
    open_.erase(it);
    return fd;
  }

 private:
  std::mutex mutex_;
  std::map<dev_t, int> open_;
  std::string lastFolder_;
  dev_t lastDevice_ = 0;
};

class NativeFileSystem : public FileSystem {
 public:
  uint32_t GetAttributes(const std::string& path, uint32_t* attributes) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Win32FromErrno(errno, path);
    uint32_t bits = 0;
    if (uint32_t code = ReadStored(path, &bits)) return code;
    if (S_ISDIR(st.st_mode)) bits |= FILE_ATTRIBUTE_DIRECTORY;
    *attributes = bits == 0 ? FILE_ATTRIBUTE_NORMAL : bits;
    return ERROR_SUCCESS;
  }

  uint32_t SetAttributes(const std::string& path, uint32_t attributes) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Win32FromErrno(errno, path);
    uint32_t bits = attributes & kStoredAttributes;
    bool mirror = S_ISREG(st.st_mode);
    mode_t mode = MirrorReadOnly(st.st_mode, bits);
    // Without the write bit, only root may change the attribute: give the
    // bit back first when READONLY goes away, take it last when it comes.
    if (mirror && (mode & S_IWUSR) && mode != (st.st_mode & 07777)) ::chmod(path.c_str(), mode);
    if (bits == 0) {
      if (::removexattr(path.c_str(), kAttrName) != 0 && errno != ENODATA && !IsUnsupported(errno))
        return Win32FromErrno(errno, path);
    } else {
      std::string value = StoredValue(bits);
      if (::setxattr(path.c_str(), kAttrName, value.data(), value.size(), 0) != 0)
        return IsUnsupported(errno) ? ERROR_NOT_SUPPORTED : Win32FromErrno(errno, path);
    }
    if (mirror && !(mode & S_IWUSR) && mode != (st.st_mode & 07777)) ::chmod(path.c_str(), mode);
    return ERROR_SUCCESS;
  }

  uint32_t GetSize(const std::string& path, uint64_t* size) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Win32FromErrno(errno, path);
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    *size = static_cast<uint64_t>(st.st_size);
    return ERROR_SUCCESS;
  }

  uint32_t ReadFile(const std::string& path, std::string* data, uint64_t maxBytes) override {
    // Opened without waiting, so a FIFO planted at the path cannot block the
    // reader; only regular files are read, and a symbolic link at the path
    // is never followed (it could lead out of our folders).
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (fd.get() < 0) return errno == ELOOP ? ERROR_ACCESS_DENIED : Win32FromErrno(errno, path);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Win32FromErrno(errno, path);
    if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
    if (static_cast<uint64_t>(st.st_size) > maxBytes) return ERROR_NOT_ENOUGH_MEMORY;
    std::string content;
    content.reserve(static_cast<size_t>(st.st_size));
    char buffer[64 * 1024];
    for (;;) {
      ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Win32FromErrno(errno, path);
      }
      if (n == 0) break;
      // The file may grow while it is read.
      if (content.size() + static_cast<uint64_t>(n) > maxBytes) return ERROR_NOT_ENOUGH_MEMORY;
      content.append(buffer, static_cast<size_t>(n));
    }
    *data = std::move(content);
    return ERROR_SUCCESS;
  }

  uint32_t WriteFileAtomic(const std::string& path, std::string_view data, uint32_t attributes,
                           bool keepAttributes, Durability durability) override {
    mode_t mode = 0644;
    uint32_t bits = attributes & kStoredAttributes;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      uint32_t old = 0;
      if (uint32_t code = ReadStored(path, &old)) return code;
      if (old & FILE_ATTRIBUTE_READONLY) return ERROR_ACCESS_DENIED;
      if (keepAttributes) bits |= old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
      mode = st.st_mode;
    }
    if (durability == Durability::Later) deferred_.Note(ParentOf(path));
    // A folder in the way makes the final rename fail (ERROR_ACCESS_DENIED).
    return WriteThroughTemp(
        path, [&](int fd) { return WriteAll(fd, data.data(), data.size()); }, mode, bits, false,
        durability);
  }

  uint32_t OpenForAppend(const std::string& path, bool truncate,
                         std::unique_ptr<WritableFile>* out) override {
    out->reset();
    if (uint32_t code = RefuseReadOnly(path)) return code;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND);
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) return Win32FromErrno(errno, path);
    *out = std::make_unique<NativeWritableFile>(fd);
    return ERROR_SUCCESS;
  }

  uint32_t MoveFile(const std::string& from, const std::string& to,
                    Durability durability) override {
    int err = RenameNoReplace(from, to);
    if (err == 0) {
      if (durability == Durability::Now) SyncFolder(ParentOf(to));
      return ERROR_SUCCESS;
    }
    if (err == EEXIST) return ERROR_ALREADY_EXISTS;
    if (err == EXDEV) return MoveAcrossFileSystems(from, to);
    if (err == ENOENT || err == ENOTDIR) {
      struct stat st;
      // The source is there, so the target's folder is missing.
      if (::lstat(from.c_str(), &st) == 0) return ERROR_PATH_NOT_FOUND;
      return Win32FromErrno(errno, from);
    }
    return Win32FromErrno(err, from);
  }

  uint32_t CopyFile(const std::string& from, const std::string& to, bool failIfExists,
                    Durability durability) override {
    if (durability == Durability::Later) deferred_.Note(ParentOf(to));
    return CopyRegularFile(from, to, failIfExists, durability);
  }

  uint32_t SyncFileSystem(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Win32FromErrno(errno, path);
    int fd = deferred_.Take(st.st_dev);
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Win32FromErrno(errno, path);
    int rc = ::syncfs(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0) return err == EIO ? ERROR_WRITE_FAULT : Win32FromErrno(err, path);
    return ERROR_SUCCESS;
  }

  uint32_t DeleteFile(const std::string& path) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return Win32FromErrno(errno, path);
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    if (S_ISREG(st.st_mode)) {
      if (uint32_t code = RefuseReadOnly(path)) return code;
    }
    if (::unlink(path.c_str()) != 0) return Win32FromErrno(errno, path);
    return ERROR_SUCCESS;
  }

  uint32_t CreateDirectory(const std::string& path) override {
    if (::mkdir(path.c_str(), 0777) == 0) return ERROR_SUCCESS;
    int err = errno;
    if (err == EEXIST) return ERROR_ALREADY_EXISTS;
    if (err == ENOENT) return ERROR_PATH_NOT_FOUND;
    return Win32FromErrno(err, path);
  }

  uint32_t CreateDirectories(const std::string& path, uint32_t mode) override {
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    if (IsFolder(path)) return ERROR_SUCCESS;
    size_t pos = 0;
    while (pos < path.size()) {
      size_t slash = path.find('/', pos);
      size_t end = slash == std::string::npos ? path.size() : slash;
      pos = end + 1;
      if (end == 0 || path[end - 1] == '/') continue;  // the root or "//"
      std::string prefix = path.substr(0, end);
      bool last = path.find_first_not_of('/', end) == std::string::npos;
      if (::mkdir(prefix.c_str(), static_cast<mode_t>(mode)) == 0) continue;
      int err = errno;
      if (err == EEXIST) {
        if (IsFolder(prefix)) continue;
        // A file where a folder should be.
        return last ? ERROR_ALREADY_EXISTS : ERROR_DIRECTORY;
      }
      return Win32FromErrno(err, prefix);
    }
    return ERROR_SUCCESS;
  }

  uint32_t RemoveDirectory(const std::string& path) override {
    if (::rmdir(path.c_str()) == 0) return ERROR_SUCCESS;
    int err = errno;
    if (err == ENOTEMPTY || err == EEXIST) return ERROR_DIR_NOT_EMPTY;
    if (err == ENOTDIR && !IsFolder(ParentOf(path))) return ERROR_PATH_NOT_FOUND;
    if (err == ENOTDIR) return ERROR_DIRECTORY;
    return Win32FromErrno(err, path);
  }

  uint32_t ListDirectory(const std::string& path, std::string_view pattern,
                         std::vector<DirEntry>* out) override {
    if (pattern.empty()) return ERROR_INVALID_PARAMETER;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
      int err = errno;
      if (err == ENOTDIR && IsFolder(ParentOf(path))) return ERROR_DIRECTORY;
      return Win32FromErrno(err, path);
    }
    std::vector<DirEntry> entries;
    std::string prefix = path.empty() || path.back() == '/' ? path : path + "/";
    errno = 0;
    while (const dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name == "." || name == ".." || !MatchesPattern(name, pattern)) continue;
      struct stat st;
      if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        continue;  // removed since readdir
      DirEntry entry;
      entry.kind = S_ISREG(st.st_mode)   ? DirEntry::Kind::File
                   : S_ISDIR(st.st_mode) ? DirEntry::Kind::Directory
                   : S_ISLNK(st.st_mode) ? DirEntry::Kind::Link
                                         : DirEntry::Kind::Other;
      uint32_t bits = 0;
      // Attributes are ours only on files and folders; a link's would be its
      // target's.
      if (entry.kind == DirEntry::Kind::File || entry.kind == DirEntry::Kind::Directory)
        ReadStored(prefix + name, &bits);
      if (S_ISDIR(st.st_mode)) {
        entry.attributes = bits | FILE_ATTRIBUTE_DIRECTORY;
      } else {
        entry.attributes = bits == 0 ? FILE_ATTRIBUTE_NORMAL : bits;
        entry.size = static_cast<uint64_t>(st.st_size);
      }
      entry.modified = static_cast<int64_t>(st.st_mtime);
      entry.name = std::move(name);
      entries.push_back(std::move(entry));
      errno = 0;
    }
    int err = errno;
    ::closedir(dir);
    if (err != 0) return Win32FromErrno(err, path);
    std::sort(entries.begin(), entries.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    *out = std::move(entries);
    return ERROR_SUCCESS;
  }

 private:
  // Files only: copies, then deletes the source. When the source cannot be
  // deleted the copy is removed again, so the file exists exactly once.
  DeferredWrites deferred_;

  uint32_t MoveAcrossFileSystems(const std::string& from, const std::string& to) {
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) return Win32FromErrno(errno, from);
    if (!S_ISREG(st.st_mode)) return ERROR_NOT_SAME_DEVICE;
    // The copy is made durable before the source goes, whatever the
    // caller asked: otherwise a crash could lose both.
    uint32_t code = CopyRegularFile(from, to, true, Durability::Now);
    if (code == ERROR_FILE_EXISTS) return ERROR_ALREADY_EXISTS;
    if (code != ERROR_SUCCESS) return code;
    if (::unlink(from.c_str()) != 0) {
      int err = errno;
      ::unlink(to.c_str());
      return Win32FromErrno(err, from);
    }
    return ERROR_SUCCESS;
  }
};

// One byte of a name, lower-cased when it is an ASCII letter.
unsigned char Fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a')
                                : static_cast<unsigned char>(c);
}

// The length of the UTF-8 character starting at `pos`, so that "?" takes a
// whole character; a byte that does not start a valid sequence counts alone.
size_t CharLength(std::string_view text, size_t pos) {
  unsigned char lead = static_cast<unsigned char>(text[pos]);
  size_t want = lead >= 0xF8 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  size_t length = 1;
  while (length < want && pos + length < text.size() &&
         (static_cast<unsigned char>(text[pos + length]) & 0xC0) == 0x80) {
    ++length;
  }
  return length == want ? length : 1;
}

bool MatchesWildcards(std::string_view name, std::string_view pattern) {
  size_t n = 0, p = 0;
  size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starN = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      n += CharLength(name, n);
      ++p;
    } else if (p < pattern.size() && Fold(pattern[p]) == Fold(name[n])) {
      ++n;
      ++p;
    } else if (starP != std::string_view::npos) {
      // Let the last "*" take one more character and try again.
      starN += CharLength(name, starN);
      n = starN;
      p = starP;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

FileSystem& FileSystem::Native() {
  static FileSystem* native = new NativeFileSystem;  // never destroyed
  return *native;
}

bool FileSystem::Exists(const std::string& path) {
  uint32_t attributes = 0;
  return GetAttributes(path, &attributes) == ERROR_SUCCESS;
}

size_t AtomicWriteNameBytes(size_t nameBytes) {
  return std::max(nameBytes, 1 + std::min(nameBytes, kTempNameStem) + kTempNameTail.size());
}

uint32_t Win32FromErrno(int err, const std::string& path) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return path.empty() || IsFolder(ParentOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// "*" matches any run of characters, "?" exactly one, other bytes match
// themselves with ASCII letters compared case-insensitively. As on Windows, a
// pattern ending in ".*" also matches names without that extension, so "*.*"
// matches every name and "readme.*" matches "README".
bool MatchesPattern(std::string_view name, std::string_view pattern) {
  if (MatchesWildcards(name, pattern)) return true;
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*")
    return MatchesWildcards(name, pattern.substr(0, pattern.size() - 2));
  return false;
}

}  // namespace tarvex
