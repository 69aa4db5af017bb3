// The credential file is text, one entry a line after a header line:
//
//   tarvex-credentials 1
//   <target> TAB <user> TAB <base64 of the secret>
//
// Targets and user names are kept as they are (they may not hold a tab, a
// line break or a carriage return); secrets may hold any bytes. Every line,
// the last one included, ends with a line feed, so a cut file does not
// parse. A file that does not have exactly this shape is refused as a whole.
#include "platform/credentials/CredentialStore.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "text/Text.h"
#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/paths/PlatformConfig.h"

namespace tarvex {
namespace {

constexpr std::string_view kFileName = "credentials.json";
constexpr std::string_view kHeader = "tarvex-credentials 1\n";

using Entries = std::map<std::string, Credential, std::less<>>;

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                 static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kBase64Digits[v >> 18];
    out += kBase64Digits[(v >> 12) & 63];
    out += kBase64Digits[(v >> 6) & 63];
    out += kBase64Digits[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kBase64Digits[v >> 18];
    out += kBase64Digits[(v >> 12) & 63];
    out += rest == 2 ? kBase64Digits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict decoding: padded groups of four, no other characters, and unused
// low bits zero (so every secret has exactly one spelling).
bool Base64Decode(std::string_view text, std::string* out) {
  out->clear();
  if (text.size() % 4 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int pad = 0;
    if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      int d = k < 4 - pad ? Base64Value(text[i + k]) : 0;
      if (d < 0) return false;
      v = v << 6 | static_cast<uint32_t>(d);
    }
    if ((pad == 1 && (v & 0xFF) != 0) || (pad == 2 && (v & 0xFFFF) != 0)) return false;
    out->push_back(static_cast<char>(v >> 16));
    if (pad < 2) out->push_back(static_cast<char>((v >> 8) & 0xFF));
    if (pad < 1) out->push_back(static_cast<char>(v & 0xFF));
  }
  return true;
}

bool FitsOnLine(std::string_view field) {
  return field.find_first_of("\t\n\r") == std::string_view::npos;
}

// Entries from the file's content; false when it is not a credential file.
// `badLine` receives the 1-based line that failed.
bool Parse(std::string_view data, Entries* entries, size_t* badLine) {
  entries->clear();
  *badLine = 1;
  if (data.substr(0, kHeader.size()) != kHeader) return false;
  data.remove_prefix(kHeader.size());
  while (!data.empty()) {
    ++*badLine;
    size_t end = data.find('\n');
    if (end == std::string_view::npos) return false;
    std::string_view line = data.substr(0, end);
    data.remove_prefix(end + 1);
    size_t tab1 = line.find('\t');
    if (tab1 == std::string_view::npos || tab1 == 0) return false;
    size_t tab2 = line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos) return false;
    std::string_view target = line.substr(0, tab1);
    std::string_view user = line.substr(tab1 + 1, tab2 - tab1 - 1);
    std::string_view secret = line.substr(tab2 + 1);
    if (!FitsOnLine(target) || !FitsOnLine(user) || !FitsOnLine(secret)) return false;
    Credential credential{std::string(user), {}};
    if (!Base64Decode(secret, &credential.secret)) return false;
    if (!entries->emplace(std::string(target), std::move(credential)).second) return false;
  }
  return true;
}

std::string Serialize(const Entries& entries) {
  std::string out(kHeader);
  for (const auto& [target, credential] : entries) {
    out += target;
    out += '\t';
    out += credential.user;
    out += '\t';
    out += Base64Encode(credential.secret);
    out += '\n';
  }
  return out;
}

std::string OctalMode(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

uint32_t WriteAllTo(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32FromErrno(errno);
    }
    if (n == 0) return win32::ERROR_DISK_FULL;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return win32::ERROR_SUCCESS;
}

// Replaces `path` with `data`: a temporary file in the same folder, private
// from its creation on, flushed to disk and renamed over the old file. A
// symbolic link or any other file at `path` is replaced, never followed.
uint32_t ReplacePrivateFile(const std::string& folder, const std::string& path,
                            std::string_view data) {
  std::string temp = folder + "/." + std::string(kFileName) + ".tmp-XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) return Win32FromErrno(errno, path);
  auto fail = [&](uint32_t code) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return code;
  };
  if (::fchmod(fd, 0600) != 0) return fail(Win32FromErrno(errno, path));
  if (uint32_t code = WriteAllTo(fd, data)) return fail(code);
  if (::fsync(fd) != 0) return fail(Win32FromErrno(errno, path));
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return fail(Win32FromErrno(errno, path));
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(Win32FromErrno(errno, path));
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);  // best effort: makes the rename durable
    ::close(dir);
  }
  return win32::ERROR_SUCCESS;
}

// Reads the entries of the file at `path`. A missing file holds nothing. A
// file that is not ours to trust is refused: `log` hears why, and it holds
// nothing. Any other failure to read returns its Win32 code.
uint32_t LoadEntries(const std::string& path, const std::function<void(const std::string&)>& log,
                     Entries* entries) {
  entries->clear();
  auto refuse = [&](const std::string& why) {
    if (log) log(Format("Ignoring the credential file %s: %s.", path, why));
    return win32::ERROR_SUCCESS;
  };

  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return win32::ERROR_SUCCESS;
    return Win32FromErrno(errno, path);
  }
  if (S_ISLNK(st.st_mode)) return refuse("it is a symbolic link");
  if (!S_ISREG(st.st_mode)) return refuse("it is not a regular file");

  // Opened without following links and checked again through the descriptor,
  // so a file swapped in after lstat is caught too.
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return win32::ERROR_SUCCESS;
    if (errno == ELOOP) return refuse("it is a symbolic link");
    return Win32FromErrno(errno, path);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::fstat(fd, &st) != 0) return Win32FromErrno(errno, path);
  if (!S_ISREG(st.st_mode)) return refuse("it is not a regular file");
  if ((st.st_mode & 077) != 0)
    return refuse("others may access it (mode " + OctalMode(st.st_mode) + ")");
  if (st.st_uid != ::geteuid()) return refuse("it belongs to another user");
  if (static_cast<uint64_t>(st.st_size) > FileCredentialStore::kMaxFileBytes)
    return refuse(Format("it is larger than %llu bytes", FileCredentialStore::kMaxFileBytes));

  std::string data;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32FromErrno(errno, path);
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
    if (data.size() > FileCredentialStore::kMaxFileBytes)
      return refuse(Format("it is larger than %llu bytes", FileCredentialStore::kMaxFileBytes));
  }
  size_t badLine = 0;
  if (!Parse(data, entries, &badLine)) {
    entries->clear();
    return refuse(Format("it is damaged (line %llu)", badLine));
  }
  return win32::ERROR_SUCCESS;
}

}  // namespace

FileCredentialStore::FileCredentialStore(std::string folder,
                                         std::function<void(const std::string&)> log)
    : folder_(std::move(folder)),
      path_(folder_ + "/" + std::string(kFileName)),
      log_(std::move(log)) {}

uint32_t FileCredentialStore::Read(std::string_view target, Credential* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entries entries;
  if (uint32_t code = LoadEntries(path_, log_, &entries)) return code;
  auto it = entries.find(target);
  if (it == entries.end()) return ERROR_NOT_FOUND;
  if (out) *out = it->second;
  return win32::ERROR_SUCCESS;
}

uint32_t FileCredentialStore::Write(std::string_view target, const Credential& credential) {
  if (target.empty() || !FitsOnLine(target) || !FitsOnLine(credential.user))
    return win32::ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(mutex_);
  if (uint32_t code = EnsurePrivateDirectory(folder_)) return code;
  Entries entries;
  if (uint32_t code = LoadEntries(path_, log_, &entries)) return code;
  auto it = entries.find(target);
  if (it == entries.end()) {
    entries.emplace(std::string(target), credential);
  } else {
    it->second = credential;
  }
  std::string data = Serialize(entries);
  // A file this store would refuse to read is not written.
  if (data.size() > kMaxFileBytes) return win32::ERROR_NOT_ENOUGH_MEMORY;
  return ReplacePrivateFile(folder_, path_, data);
}

uint32_t FileCredentialStore::Delete(std::string_view target) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entries entries;
  if (uint32_t code = LoadEntries(path_, log_, &entries)) return code;
  auto it = entries.find(target);
  if (it == entries.end()) return ERROR_NOT_FOUND;
  entries.erase(it);
  if (uint32_t code = EnsurePrivateDirectory(folder_)) return code;
  return ReplacePrivateFile(folder_, path_, Serialize(entries));
}

uint32_t MemoryCredentialStore::Read(std::string_view target, Credential* out) {
  auto it = entries.find(target);
  if (it == entries.end()) return ERROR_NOT_FOUND;
  if (out) *out = it->second;
  return win32::ERROR_SUCCESS;
}

uint32_t MemoryCredentialStore::Write(std::string_view target, const Credential& credential) {
  if (failWrites != 0) return failWrites;
  auto it = entries.find(target);
  if (it == entries.end()) {
    entries.emplace(std::string(target), credential);
  } else {
    it->second = credential;
  }
  return win32::ERROR_SUCCESS;
}

uint32_t MemoryCredentialStore::Delete(std::string_view target) {
  auto it = entries.find(target);
  if (it == entries.end()) return ERROR_NOT_FOUND;
  entries.erase(it);
  return win32::ERROR_SUCCESS;
}

CredentialStore& CredentialStore::Process() {
  // Never destroyed: other threads may still use it while the process exits.
  static FileCredentialStore* store =
      new FileCredentialStore(PlatformConfig::Current().registryDir);
  return *store;
}

}  // namespace tarvex
