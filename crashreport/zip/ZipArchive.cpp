#include "crashreport/zip/ZipArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "crashreport/zip/Crc32.h"
#include "crashreport/zip/Deflate.h"

namespace tarvex {
namespace {

thread_local uint32_t tLastResult = 0;

uint32_t Result(uint32_t code) {
  tLastResult = code;
  return code;
}

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kDescriptorSignature = 0x08074b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint16_t kVersionNeeded = 20;
constexpr uint16_t kVersionMadeBy = 0x0B17;
constexpr uint16_t kFlagDescriptor = 1 << 3;
constexpr uint16_t kFlagUtf8Name = 1 << 11;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflate = 8;
constexpr uint16_t kExtraTimestamp = 0x5455;  // "UT"
constexpr size_t kLocalHeaderBytes = 30;
constexpr size_t kLocalExtraBytes = 17;
constexpr size_t kCentralExtraBytes = 9;
constexpr uint32_t kMaxEntries = 65535;
constexpr uint64_t kMax32 = 0xFFFFFFFFu;
constexpr size_t kChunk = 16384;

constexpr uint32_t kAttrMemory = 0x80000000u;
constexpr uint32_t kAttrFolder = 0x41C00010u;  // 040700 and the DOS folder bit

// Names whose data is compressed already.
constexpr const char* kStoredExtensions[] = {".Z",   ".zip", ".zoo", ".arc",
                                             ".lzh", ".arj", ".gz",  ".tgz"};

// ---- Little-endian fields -------------------------------------------------------

struct Fields {
  std::vector<uint8_t> bytes;
  void U16(uint32_t v) {
    bytes.push_back(uint8_t(v));
    bytes.push_back(uint8_t(v >> 8));
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  void Text(const std::string& s) { bytes.insert(bytes.end(), s.begin(), s.end()); }
};

// ---- Targets ------------------------------------------------------------------

class Target {
 public:
  virtual ~Target() = default;
  // 0 or a result code.
  virtual uint32_t Write(const uint8_t* data, size_t size) = 0;
  virtual uint32_t SeekTo(uint64_t position) = 0;
  // Called once after the end record: cuts what lies past `end` (bytes of an
  // entry that failed) and lets go of the target.
  virtual uint32_t Finish(uint64_t end) = 0;
  bool seekable = false;
  uint64_t position = 0;  // where the next byte goes (offsets in the archive)
  uint64_t start = 0;     // the position of the archive's first byte
  uint64_t highest = 0;   // the furthest position written to
};

class DescriptorTarget : public Target {
 public:
  DescriptorTarget(int fd, bool owned) : fd_(fd), owned_(owned) {
    const int flags = fcntl(fd, F_GETFL);
    const off_t at = lseek(fd, 0, SEEK_CUR);
    // A descriptor that appends cannot rewrite a header in place.
    seekable = at >= 0 && flags >= 0 && !(flags & O_APPEND);
    if (at >= 0) start = position = highest = static_cast<uint64_t>(at);
    if (at >= 0 && flags >= 0 && (flags & O_APPEND)) {
      const off_t end = lseek(fd, 0, SEEK_END);
      if (end >= 0) start = position = highest = static_cast<uint64_t>(end);
    }
  }
  ~DescriptorTarget() override {
    if (owned_ && fd_ >= 0) close(fd_);
  }
  uint32_t Write(const uint8_t* data, size_t size) override {
    while (size > 0) {
      const ssize_t n = write(fd_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return kZipWriteFailed;
      data += n;
      size -= static_cast<size_t>(n);
      position += static_cast<uint64_t>(n);
    }
    highest = std::max(highest, position);
    return 0;
  }
  uint32_t SeekTo(uint64_t to) override {
    if (!seekable || lseek(fd_, static_cast<off_t>(to), SEEK_SET) != static_cast<off_t>(to))
      return kZipSeekFailed;
    position = to;
    return 0;
  }
  uint32_t Finish(uint64_t end) override {
    uint32_t rc = 0;
    struct stat st;
    if (seekable && highest > end && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) &&
        ftruncate(fd_, static_cast<off_t>(end)) != 0)
      rc = kZipWriteFailed;
    if (owned_) {
      if (close(fd_) != 0 && rc == 0) rc = kZipWriteFailed;
      fd_ = -1;
    }
    return rc;
  }

 private:
  int fd_;
  bool owned_;
};

class MemoryTarget : public Target {
 public:
  MemoryTarget(void* buffer, size_t size) : buffer_(static_cast<uint8_t*>(buffer)), size_(size) {
    seekable = true;
  }
  uint32_t Write(const uint8_t* data, size_t size) override {
    if (size > size_ - position) return kZipMemoryFull;
    std::memcpy(buffer_ + position, data, size);
    position += size;
    highest = std::max(highest, position);
    return 0;
  }
  uint32_t SeekTo(uint64_t to) override {
    if (to > size_) return kZipSeekFailed;
    position = to;
    return 0;
  }
  uint32_t Finish(uint64_t) override { return 0; }

 private:
  uint8_t* buffer_;
  size_t size_;
};

// ---- Sources ------------------------------------------------------------------

struct Times {
  int64_t modified = 0, accessed = 0, created = 0;
};

struct Source {
  int fd = -1;
  bool ownsFd = false;
  const uint8_t* memory = nullptr;
  bool folder = false;
  // The bytes the source holds when known before reading (memory, a declared
  // length); `exact` means fewer or more is an error.
  bool sizeKnown = false;
  uint64_t size = 0;
  bool exact = false;
  Times times;
  uint32_t attributes = kAttrMemory;

  ~Source() {
    if (ownsFd && fd >= 0) close(fd);
  }
  // Up to `n` bytes into buf; 0 at the end, -1 on an error.
  ssize_t Read(uint8_t* buf, size_t n, uint64_t done) {
    if (memory) {
      const size_t k = static_cast<size_t>(std::min<uint64_t>(n, size - done));
      std::memcpy(buf, memory + done, k);
      return static_cast<ssize_t>(k);
    }
    if (fd < 0) return 0;
    for (;;) {
      const ssize_t r = read(fd, buf, n);
      if (r < 0 && errno == EINTR) continue;
      return r;
    }
  }
};

Times NowTimes() {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  return {now, now, now};
}

// Times and attributes of an open file.
void DescribeFile(int fd, Source& source) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    source.times = NowTimes();
    return;
  }
  source.times.modified = st.st_mtim.tv_sec;
  source.times.accessed = st.st_atim.tv_sec;
  source.times.created = st.st_mtim.tv_sec;
#ifdef STATX_BTIME
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
    source.times.created = sx.stx_btime.tv_sec;
#endif
  const bool readOnly = !(st.st_mode & S_IWUSR);
  const uint32_t dos = readOnly ? 0x01 : 0x00;
  source.attributes = (dos & 0x37) | 0x80000000u | (readOnly ? 0x01000000u : 0x01800000u);
}

uint32_t Unix32(int64_t t) { return static_cast<uint32_t>(std::clamp<int64_t>(t, 0, kMax32)); }

// DOS time and date of `t` in local time, within the years DOS can hold.
void DosTime(int64_t t, uint16_t& time, uint16_t& date) {
  std::tm tm{};
  const time_t tt = static_cast<time_t>(t);
  if (!localtime_r(&tt, &tm)) tm = std::tm{0, 0, 0, 1, 0, 80, 0, 0, 0, 0, nullptr};
  if (tm.tm_year < 80) tm = std::tm{0, 0, 0, 1, 0, 80, 0, 0, 0, 0, nullptr};
  if (tm.tm_year > 207) tm = std::tm{58, 59, 23, 31, 11, 207, 0, 0, 0, 0, nullptr};
  time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  date = static_cast<uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

// The name as the archive keeps it, or empty when it cannot be one.
std::string EntryName(const std::string& given, bool folder) {
  std::string name = given;
  std::replace(name.begin(), name.end(), '\\', '/');
  if (name.empty() || name.front() == '/') return {};
  if (folder && name.back() != '/') name += '/';
  if (!folder && name.back() == '/') return {};
  size_t at = 0;
  while (at <= name.size()) {
    size_t end = name.find('/', at);
    if (end == std::string::npos) end = name.size();
    if (name.compare(at, end - at, "..") == 0 && end - at == 2) return {};
    at = end + 1;
  }
  if (name.size() > kZipMaxNameBytes) return {};
  return name;
}

bool IsStoredExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string ext = name.substr(dot);
  for (const char* stored : kStoredExtensions)
    if (strcasecmp(ext.c_str(), stored) == 0) return true;
  return false;
}

// ---- The archive ----------------------------------------------------------------

struct Entry {
  std::string name;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t time = 0, date = 0;
  uint32_t crc = 0;
  uint64_t compressed = 0, size = 0;
  uint32_t attributes = 0;
  uint64_t offset = 0;
  uint32_t modified = 0;
};

// The fields a local header and a central record share, from the version
// needed to the name's length.
void PutSharedFields(Fields& f, const Entry& e, uint16_t flags) {
  f.U16(kVersionNeeded);
  f.U16(flags);
  f.U16(e.method);
  f.U16(e.time);
  f.U16(e.date);
  f.U32(e.crc);
  f.U32(static_cast<uint32_t>(e.compressed));
  f.U32(static_cast<uint32_t>(e.size));
  f.U16(static_cast<uint32_t>(e.name.size()));
}

class ZipArchive {
 public:
  ZipArchive(std::unique_ptr<Target> target, std::string finalPath = {}, std::string tempPath = {})
      : target_(std::move(target)),
        finalPath_(std::move(finalPath)),
        tempPath_(std::move(tempPath)),
        buffer_(kChunk) {}
  ~ZipArchive() {
    if (!tempPath_.empty()) unlink(tempPath_.c_str());
  }

  uint32_t Add(const std::string& given, Source& source) {
    if (failed_) return kZipFailedBefore;
    Entry e;
    e.name = EntryName(given, source.folder);
    if (e.name.empty() || entries_.size() >= kMaxEntries) return kZipBadArguments;
    const bool empty = source.folder || (source.sizeKnown && source.size == 0);
    e.method = empty || IsStoredExtension(e.name) ? kMethodStored : kMethodDeflate;
    e.flags = kFlagDescriptor;
    if (std::any_of(e.name.begin(), e.name.end(), [](char c) { return (c & 0x80) != 0; }))
      e.flags |= kFlagUtf8Name;
    DosTime(source.times.modified, e.time, e.date);
    e.attributes = source.attributes;
    e.modified = Unix32(source.times.modified);
    e.offset = target_->position;
    if (e.offset > kMax32) return Fail(kZipWriteFailed);

    uint32_t rc = WriteLocalHeader(e, source.times);
    if (rc == 0) rc = WriteData(e, source);
    if (rc == 0 && source.exact && e.size != source.size) rc = kZipLengthMismatch;
    if (rc == 0) rc = EndEntry(e);
    if (rc != 0) return Undo(e, rc);
    entries_.push_back(std::move(e));
    return 0;
  }

  // The central directory and the end record; then the target is let go.
  uint32_t Close(uint64_t* length) {
    uint32_t rc = 0;
    const uint64_t directoryStart = target_->position;
    Fields f;
    for (const Entry& e : entries_) {
      f.U32(kCentralSignature);
      f.U16(kVersionMadeBy);
      PutSharedFields(f, e, e.flags);
      f.U16(kCentralExtraBytes);
      f.U16(0);  // comment
      f.U16(0);  // disk
      f.U16(0);  // internal attributes
      f.U32(e.attributes);
      f.U32(static_cast<uint32_t>(e.offset));
      f.Text(e.name);
      f.U16(kExtraTimestamp);
      f.U16(5);
      f.bytes.push_back(7);
      f.U32(e.modified);
    }
    const uint64_t directorySize = f.bytes.size();
    if (directoryStart > kMax32 || directorySize > kMax32) rc = kZipWriteFailed;
    f.U32(kEndSignature);
    f.U16(0);
    f.U16(0);
    f.U16(static_cast<uint32_t>(entries_.size()));
    f.U16(static_cast<uint32_t>(entries_.size()));
    f.U32(static_cast<uint32_t>(directorySize));
    f.U32(static_cast<uint32_t>(directoryStart));
    f.U16(0);
    if (rc == 0) rc = target_->Write(f.bytes.data(), f.bytes.size());
    const uint64_t end = target_->position;
    const uint32_t finish = target_->Finish(end);
    if (rc == 0) rc = finish;
    if (rc == 0 && failed_) rc = kZipFailedBefore;
    if (rc == 0 && !tempPath_.empty()) {
      if (rename(tempPath_.c_str(), finalPath_.c_str()) != 0)
        rc = kZipOpenFailed;
      else
        tempPath_.clear();
    }
    if (length) *length = end - target_->start;
    return rc;
  }

 private:
  uint32_t Fail(uint32_t rc) {
    failed_ = true;
    return rc;
  }

  // After a failed entry: a seekable target goes back to where the entry
  // began (what follows overwrites it, the rest is cut at the end); bytes
  // already sent down a stream cannot be taken back, so that archive fails.
  uint32_t Undo(const Entry& e, uint32_t rc) {
    if (target_->seekable && target_->SeekTo(e.offset) == 0) {
      if (rc == kZipWriteFailed || rc == kZipMemoryFull || rc == kZipCompressorFailed)
        failed_ = true;
      return rc;
    }
    failed_ = true;
    return rc;
  }

  void PutLocalFixed(Fields& f, const Entry& e, uint16_t flags) {
    f.U32(kLocalSignature);
    PutSharedFields(f, e, flags);
    f.U16(kLocalExtraBytes);
  }

  uint32_t WriteLocalHeader(const Entry& e, const Times& times) {
    Fields f;
    PutLocalFixed(f, e, e.flags);
    f.Text(e.name);
    f.U16(kExtraTimestamp);
    f.U16(13);
    f.bytes.push_back(7);
    f.U32(Unix32(times.modified));
    f.U32(Unix32(times.accessed));
    f.U32(Unix32(times.created));
    return target_->Write(f.bytes.data(), f.bytes.size());
  }

  uint32_t WriteData(Entry& e, Source& source) {
    if (source.folder) return 0;
    uint32_t targetRc = 0;
    Deflater::Sink sink = [&](const uint8_t* p, size_t n) {
      e.compressed += n;
      if (e.compressed > kMax32) {
        targetRc = kZipWriteFailed;
        return false;
      }
      targetRc = target_->Write(p, n);
      return targetRc == 0;
    };
    if (e.method == kMethodDeflate) {
      if (!deflater_) deflater_ = std::make_unique<Deflater>();
      deflater_->Reset();
    }
    for (;;) {
      size_t want = kChunk;
      if (source.exact) {
        const uint64_t left = source.size - e.size;
        if (left == 0) break;
        want = static_cast<size_t>(std::min<uint64_t>(want, left));
      }
      const ssize_t n = source.Read(buffer_.data(), want, e.size);
      if (n < 0) return kZipOpenFailed;
      if (n == 0) break;
      e.crc = Crc32(e.crc, buffer_.data(), static_cast<size_t>(n));
      e.size += static_cast<uint64_t>(n);
      if (e.size > kMax32) return kZipWriteFailed;
      if (e.method == kMethodDeflate) {
        if (!deflater_->Write(buffer_.data(), static_cast<size_t>(n), sink))
          return targetRc ? targetRc : kZipCompressorFailed;
      } else if (!sink(buffer_.data(), static_cast<size_t>(n))) {
        return targetRc;
      }
    }
    if (e.method == kMethodDeflate && !deflater_->Finish(sink))
      return targetRc ? targetRc : kZipCompressorFailed;
    return 0;
  }

  // Sizes and CRC into the header when it can be rewritten, else after the
  // data in a descriptor.
  uint32_t EndEntry(Entry& e) {
    if (target_->seekable) {
      const uint64_t end = target_->position;
      e.flags &= static_cast<uint16_t>(~kFlagDescriptor);
      Fields f;
      PutLocalFixed(f, e, e.flags);
      uint32_t rc = target_->SeekTo(e.offset);
      if (rc == 0) rc = target_->Write(f.bytes.data(), f.bytes.size());
      if (rc == 0) rc = target_->SeekTo(end);
      if (rc == kZipSeekFailed) failed_ = true;
      return rc;
    }
    Fields f;
    f.U32(kDescriptorSignature);
    f.U32(e.crc);
    f.U32(static_cast<uint32_t>(e.compressed));
    f.U32(static_cast<uint32_t>(e.size));
    return target_->Write(f.bytes.data(), f.bytes.size());
  }

  std::unique_ptr<Target> target_;
  std::string finalPath_, tempPath_;
  std::vector<uint8_t> buffer_;
  std::unique_ptr<Deflater> deflater_;
  std::vector<Entry> entries_;
  bool failed_ = false;
};

// ---- Handles ------------------------------------------------------------------
// A handle is a number (never a pointer to the archive): a closed one is
// known as closed, and a pointer to anything else is known as no handle.

constexpr uintptr_t kHandleTag = 2;

std::mutex gHandlesMutex;
std::unordered_map<uintptr_t, std::unique_ptr<ZipArchive>>& Live() {
  static auto* live = new std::unordered_map<uintptr_t, std::unique_ptr<ZipArchive>>;
  return *live;
}
uintptr_t gNextId = 1;

ZipHandle* Register(std::unique_ptr<ZipArchive> archive) {
  std::lock_guard lock(gHandlesMutex);
  const uintptr_t id = gNextId++;
  Live().emplace(id, std::move(archive));
  Result(0);
  return reinterpret_cast<ZipHandle*>((id << 2) | kHandleTag);
}

// The archive of `handle`, or null with the result code set.
ZipArchive* Find(ZipHandle* handle, uint32_t& rc) {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  rc = kZipBadArguments;
  if (value == 0) return nullptr;
  if ((value & 3) != kHandleTag) {
    rc = kZipNotAnArchive;
    return nullptr;
  }
  const uintptr_t id = value >> 2;
  std::lock_guard lock(gHandlesMutex);
  if (id == 0 || id >= gNextId) return nullptr;
  auto it = Live().find(id);
  if (it == Live().end()) {
    rc = kZipClosed;
    return nullptr;
  }
  rc = 0;
  return it->second.get();
}

ZipHandle* Create(std::unique_ptr<Target> target, const std::string& password,
                  std::string finalPath = {}, std::string tempPath = {}) {
  if (!password.empty()) {
    if (!tempPath.empty()) unlink(tempPath.c_str());
    Result(kZipBadArguments);
    return nullptr;
  }
  return Register(
      std::make_unique<ZipArchive>(std::move(target), std::move(finalPath), std::move(tempPath)));
}

uint32_t AddSource(ZipHandle* zip, const std::string& entryName, Source& source) {
  uint32_t rc;
  ZipArchive* archive = Find(zip, rc);
  if (!archive) return Result(rc);
  return Result(archive->Add(entryName, source));
}

}  // namespace

ZipHandle* CreateZip(const std::string& path, const std::string& password) {
  if (!password.empty() || path.empty()) {
    Result(kZipBadArguments);
    return nullptr;
  }
  // Written beside the archive and renamed over it when whole, so a failed
  // archive leaves what was there.
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    Result(kZipOpenFailed);
    return nullptr;
  }
  return Create(std::make_unique<DescriptorTarget>(fd, true), password, path, temp);
}

ZipHandle* CreateZipOnDescriptor(int fd, const std::string& password) {
  if (fd < 0 || fcntl(fd, F_GETFL) < 0) {
    Result(kZipBadArguments);
    return nullptr;
  }
  return Create(std::make_unique<DescriptorTarget>(fd, false), password);
}

ZipHandle* CreateZipInMemory(void* buffer, size_t size, const std::string& password) {
  if (!buffer && size != 0) {
    Result(kZipBadArguments);
    return nullptr;
  }
  if (size == 0) {
    Result(kZipMemoryFull);
    return nullptr;
  }
  return Create(std::make_unique<MemoryTarget>(buffer, size), password);
}

uint32_t ZipAdd(ZipHandle* zip, const std::string& entryName, const std::string& sourcePath) {
  uint32_t rc;
  if (!Find(zip, rc)) return Result(rc);
  Source source;
  source.fd = open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  source.ownsFd = true;
  struct stat st;
  if (source.fd < 0 || fstat(source.fd, &st) != 0 || !S_ISREG(st.st_mode))
    return Result(kZipOpenFailed);
  // The file is read to its end, even when it grew since it was opened.
  source.sizeKnown = true;
  source.size = static_cast<uint64_t>(st.st_size);
  DescribeFile(source.fd, source);
  return AddSource(zip, entryName, source);
}

uint32_t ZipAddDescriptor(ZipHandle* zip, const std::string& entryName, int fd, uint64_t length) {
  uint32_t rc;
  if (!Find(zip, rc)) return Result(rc);
  if (fd < 0 || fcntl(fd, F_GETFL) < 0) return Result(kZipBadArguments);
  Source source;
  source.fd = fd;
  source.sizeKnown = source.exact = length != 0;
  source.size = length;
  DescribeFile(fd, source);
  return AddSource(zip, entryName, source);
}

uint32_t ZipAddMemory(ZipHandle* zip, const std::string& entryName, const void* data,
                      size_t length) {
  uint32_t rc;
  if (!Find(zip, rc)) return Result(rc);
  if (!data && length != 0) return Result(kZipBadArguments);
  Source source;
  source.memory = static_cast<const uint8_t*>(data);
  source.sizeKnown = source.exact = true;
  source.size = length;
  source.times = NowTimes();
  return AddSource(zip, entryName, source);
}

uint32_t ZipAddFolder(ZipHandle* zip, const std::string& entryName) {
  Source source;
  source.folder = true;
  source.sizeKnown = true;
  source.times = NowTimes();
  source.attributes = kAttrFolder;
  return AddSource(zip, entryName, source);
}

uint32_t CloseZip(ZipHandle* zip) { return CloseZip(zip, nullptr); }

uint32_t CloseZip(ZipHandle* zip, uint64_t* length) {
  uint32_t rc;
  if (!Find(zip, rc)) return Result(rc);
  std::unique_ptr<ZipArchive> archive;
  {
    std::lock_guard lock(gHandlesMutex);
    auto it = Live().find(reinterpret_cast<uintptr_t>(zip) >> 2);
    if (it == Live().end()) return Result(kZipClosed);
    archive = std::move(it->second);
    Live().erase(it);
  }
  return Result(archive->Close(length));
}

uint32_t LastZipResult() { return tLastResult; }

}  // namespace tarvex
