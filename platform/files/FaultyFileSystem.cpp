// The fault-injecting decorator. Each operation has its own call counter; a
// rule remembers the call number at which it starts to fail, so `nth` counts
// from the moment the rule is set. A failed call never reaches the inner
// file system.
#include <functional>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"

namespace tarvex {
namespace {

constexpr int kOps = 12;
static_assert(static_cast<int>(FaultyFileSystem::Op::Sync) == kOps - 1,
              "one counter per operation");

int Index(FaultyFileSystem::Op op) {
  return static_cast<int>(op);
}

// A file opened through the decorator: each Write counts as a Write call and
// may fail; Flush and Close pass through. It must not outlive the decorator.
class FaultyWritableFile : public WritableFile {
 public:
  FaultyWritableFile(std::unique_ptr<WritableFile> inner, std::function<uint32_t()> check)
      : inner_(std::move(inner)), check_(std::move(check)) {}

  uint32_t Write(std::string_view data) override {
    if (uint32_t code = check_()) return code;
    return inner_->Write(data);
  }
  uint32_t Flush() override { return inner_->Flush(); }
  uint32_t Close() override { return inner_->Close(); }

 private:
  std::unique_ptr<WritableFile> inner_;
  std::function<uint32_t()> check_;
};

}  // namespace

void FaultyFileSystem::FailNth(Op op, int nth, uint32_t code, bool sticky) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Stored as the absolute call number at which the rule fires.
  rules_.push_back(Rule{op, calls_[Index(op)] + nth, code, sticky});
}

void FaultyFileSystem::BeforeNth(Op op, int nth, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  hooks_.push_back(Hook{op, calls_[Index(op)] + nth, std::move(fn)});
}

void FaultyFileSystem::FailWritesAfter(int n, uint32_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeLimit_ = writes_ + n;
  writeLimitCode_ = code;
}

void FaultyFileSystem::BeforeNthWrite(int nth, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeHooks_.push_back(Hook{Op::Write, writes_ + nth, std::move(fn)});
}

int FaultyFileSystem::Writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

void FaultyFileSystem::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.clear();
  hooks_.clear();
  writeHooks_.clear();
  for (int& calls : calls_) calls = 0;
  syncs_ = 0;
  writes_ = 0;
  writeLimit_ = -1;
  writeLimitCode_ = 0;
}

int FaultyFileSystem::Calls(Op op) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_[Index(op)];
}

int FaultyFileSystem::Syncs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return syncs_;
}

void FaultyFileSystem::CountSyncs(int syncs) {
  std::lock_guard<std::mutex> lock(mutex_);
  syncs_ += syncs;
}

uint32_t FaultyFileSystem::Check(Op op, bool changesDisk) {
  std::vector<std::function<void()>> due;
  uint32_t code = win32::ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const int call = ++calls_[Index(op)];
    if (changesDisk) {
      const int write = ++writes_;
      for (auto it = writeHooks_.begin(); it != writeHooks_.end();) {
        if (it->nth == write) {
          due.push_back(std::move(it->fn));
          it = writeHooks_.erase(it);
        } else {
          ++it;
        }
      }
      if (writeLimit_ >= 0 && write > writeLimit_) code = writeLimitCode_;
    }
    for (auto it = hooks_.begin(); it != hooks_.end();) {
      if (it->op == op && it->nth == call) {
        due.push_back(std::move(it->fn));
        it = hooks_.erase(it);
      } else {
        ++it;
      }
    }
    for (const Rule& rule : rules_) {
      if (code != win32::ERROR_SUCCESS) break;
      if (rule.op != op) continue;
      if (call == rule.nth || (rule.sticky && call > rule.nth)) {
        code = rule.code;
        break;
      }
    }
  }
  // Outside the lock: the functions may call this file system.
  for (auto& fn : due) fn();
  return code;
}

uint32_t FaultyFileSystem::GetAttributes(const std::string& path, uint32_t* attributes) {
  if (uint32_t code = Check(Op::Attributes)) return code;
  return inner_.GetAttributes(path, attributes);
}

uint32_t FaultyFileSystem::SetAttributes(const std::string& path, uint32_t attributes) {
  if (uint32_t code = Check(Op::Attributes, true)) return code;
  return inner_.SetAttributes(path, attributes);
}

uint32_t FaultyFileSystem::GetSize(const std::string& path, uint64_t* size) {
  if (uint32_t code = Check(Op::Size)) return code;
  return inner_.GetSize(path, size);
}

uint32_t FaultyFileSystem::ReadFile(const std::string& path, std::string* data, uint64_t maxBytes) {
  if (uint32_t code = Check(Op::Read)) return code;
  return inner_.ReadFile(path, data, maxBytes);
}

uint32_t FaultyFileSystem::WriteFileAtomic(const std::string& path, std::string_view data,
                                           uint32_t attributes, bool keepAttributes,
                                           Durability durability) {
  if (uint32_t code = Check(Op::Write, true)) return code;
  if (durability == Durability::Now) CountSyncs(2);
  return inner_.WriteFileAtomic(path, data, attributes, keepAttributes, durability);
}

uint32_t FaultyFileSystem::OpenForAppend(const std::string& path, bool truncate,
                                         std::unique_ptr<WritableFile>* out) {
  out->reset();
  if (uint32_t code = Check(Op::Open, true)) return code;
  std::unique_ptr<WritableFile> file;
  if (uint32_t code = inner_.OpenForAppend(path, truncate, &file)) return code;
  *out = std::make_unique<FaultyWritableFile>(std::move(file),
                                              [this] { return Check(Op::Write, true); });
  return win32::ERROR_SUCCESS;
}

uint32_t FaultyFileSystem::MoveFile(const std::string& from, const std::string& to,
                                    Durability durability) {
  if (uint32_t code = Check(Op::Move, true)) return code;
  if (durability == Durability::Now) CountSyncs(1);
  return inner_.MoveFile(from, to, durability);
}

uint32_t FaultyFileSystem::CopyFile(const std::string& from, const std::string& to,
                                    bool failIfExists, Durability durability) {
  if (uint32_t code = Check(Op::Copy, true)) return code;
  if (durability == Durability::Now) CountSyncs(2);
  return inner_.CopyFile(from, to, failIfExists, durability);
}

uint32_t FaultyFileSystem::SyncFileSystem(const std::string& path) {
  if (uint32_t code = Check(Op::Sync, true)) return code;
  CountSyncs(1);
  return inner_.SyncFileSystem(path);
}

uint32_t FaultyFileSystem::DeleteFile(const std::string& path) {
  if (uint32_t code = Check(Op::Delete, true)) return code;
  return inner_.DeleteFile(path);
}

uint32_t FaultyFileSystem::CreateDirectory(const std::string& path) {
  if (uint32_t code = Check(Op::CreateDirectory, true)) return code;
  return inner_.CreateDirectory(path);
}

uint32_t FaultyFileSystem::CreateDirectories(const std::string& path, uint32_t mode) {
  if (uint32_t code = Check(Op::CreateDirectory, true)) return code;
  return inner_.CreateDirectories(path, mode);
}

uint32_t FaultyFileSystem::RemoveDirectory(const std::string& path) {
  if (uint32_t code = Check(Op::RemoveDirectory, true)) return code;
  return inner_.RemoveDirectory(path);
}

uint32_t FaultyFileSystem::ListDirectory(const std::string& path, std::string_view pattern,
                                         std::vector<DirEntry>* out) {
  if (uint32_t code = Check(Op::List)) return code;
  return inner_.ListDirectory(path, pattern, out);
}

}  // namespace tarvex
