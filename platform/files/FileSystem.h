// The file-system seam. Every file operation of Tarvex goes through it, so
// tests can inject faults and so the program sees the Win32 behaviour it was
// written for: Win32 error codes, the READONLY, HIDDEN and SYSTEM attributes,
// moves that never replace, copies that never overwrite, and listings in a
// stable order.
//
// Attributes are kept in the extended attribute "user.tarvex.attrs", so a
// read-only file refuses writes even for root. A leading dot does not make a
// file hidden. Where extended attributes are unsupported, files read as
// having no attributes and setting them fails with ERROR_NOT_SUPPORTED.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex {

inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

struct DirEntry {
  // What the entry itself is: listings never follow symbolic links.
  enum class Kind { File, Directory, Link, Other };

  std::string name;  // file name only
  Kind kind = Kind::File;
  uint32_t attributes = 0;  // FILE_ATTRIBUTE_* (DIRECTORY for folders)
  uint64_t size = 0;
  int64_t modified = 0;  // seconds since 1970
};

// When a replacing write, a copy or a move reaches the disk.
enum class Durability {
  // Before the call returns: the file (for a copy or a replacing write)
  // and its folder are flushed.
  Now,
  // With the next SyncFileSystem of its file system: the file is put in
  // place unflushed, so a crash before then may leave either the old state
  // or the new one, and a new file's content may be lost (a file system
  // that does not write a file's data before the rename that puts it in
  // place may even leave it empty). For many files written at once, made
  // durable together by one SyncFileSystem before anything records them.
  Later,
};

// An open file for writing (the log). Writes go straight to the file.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  virtual uint32_t Write(std::string_view data) = 0;
  virtual uint32_t Flush() = 0;
  virtual uint32_t Close() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The process-wide native file system.
  static FileSystem& Native();

  // Attributes of a file or folder: 0 and `*attributes` set, or
  // ERROR_FILE_NOT_FOUND (the parent folder exists) / ERROR_PATH_NOT_FOUND.
  // A file without attributes reads as FILE_ATTRIBUTE_NORMAL.
  virtual uint32_t GetAttributes(const std::string& path, uint32_t* attributes) = 0;
  // Sets READONLY, HIDDEN and SYSTEM (other bits ignored; NORMAL clears them).
  virtual uint32_t SetAttributes(const std::string& path, uint32_t attributes) = 0;
  bool Exists(const std::string& path);

  virtual uint32_t GetSize(const std::string& path, uint64_t* size) = 0;
  // Reads a whole file; ERROR_NOT_ENOUGH_MEMORY when it is above `maxBytes`,
  // ERROR_ACCESS_DENIED for anything but a regular file (a symbolic link at
  // the path is not followed).
  virtual uint32_t ReadFile(const std::string& path, std::string* data,
                            uint64_t maxBytes = UINT64_MAX) = 0;
  // Replaces (or creates) a file: the data go to a temporary file in the same
  // folder, which is flushed to disk and renamed over the old file. A failure
  // at any step leaves the old file as it was and removes the temporary one.
  // A READONLY file refuses with ERROR_ACCESS_DENIED. The new file has
  // `attributes` (READONLY/HIDDEN/SYSTEM) plus, when `keepAttributes`, the
  // HIDDEN and SYSTEM attributes of the file it replaces.
  virtual uint32_t WriteFileAtomic(const std::string& path, std::string_view data,
                                   uint32_t attributes = 0, bool keepAttributes = true,
                                   Durability durability = Durability::Now) = 0;
  // Opens a file for appending (creating it), or empties it when `truncate`.
  // A READONLY file refuses with ERROR_ACCESS_DENIED.
  virtual uint32_t OpenForAppend(const std::string& path, bool truncate,
                                 std::unique_ptr<WritableFile>* out) = 0;

  // Moves a file or folder; never replaces an existing target
  // (ERROR_ALREADY_EXISTS); works across file systems.
  virtual uint32_t MoveFile(const std::string& from, const std::string& to,
                            Durability durability = Durability::Now) = 0;
  // Copies a file; with `failIfExists` an existing target gives
  // ERROR_FILE_EXISTS and is left alone.
  virtual uint32_t CopyFile(const std::string& from, const std::string& to, bool failIfExists,
                            Durability durability = Durability::Now) = 0;
  // Makes everything written so far on the file system that holds `path`
  // (a file or folder) durable, whoever wrote it: 0, or the Win32 code of
  // the failure (ERROR_PATH_NOT_FOUND for a missing path; a write-back
  // error of the file system is ERROR_WRITE_FAULT or the like).
  virtual uint32_t SyncFileSystem(const std::string& path) = 0;
  // Deletes a file; a READONLY file refuses with ERROR_ACCESS_DENIED.
  virtual uint32_t DeleteFile(const std::string& path) = 0;
  // Creates one folder: ERROR_ALREADY_EXISTS when it exists,
  // ERROR_PATH_NOT_FOUND when its parent does not.
  virtual uint32_t CreateDirectory(const std::string& path) = 0;
  // Creates a folder and its missing parents; 0 when it already exists.
  virtual uint32_t CreateDirectories(const std::string& path, uint32_t mode = 0777) = 0;
  // Removes an empty folder (ERROR_DIR_NOT_EMPTY otherwise).
  virtual uint32_t RemoveDirectory(const std::string& path) = 0;
  // Lists a folder's entries whose names match `pattern` ("*", "*.ico"; "*"
  // and "?" wildcards, ASCII case-insensitive), sorted by name (byte order),
  // without "." and "..". Each entry is described as it is, never through a
  // symbolic link (a link to a folder is a Link, not a folder).
  virtual uint32_t ListDirectory(const std::string& path, std::string_view pattern,
                                 std::vector<DirEntry>* out) = 0;
};

// The longest name, in bytes, that WriteFileAtomic uses in the folder of a
// file whose name takes `nameBytes` bytes: its temporary file's, or the
// file's own.
size_t AtomicWriteNameBytes(size_t nameBytes);

// The Win32 code for an errno value. ENOENT maps to ERROR_FILE_NOT_FOUND when
// the parent folder of `path` exists and ERROR_PATH_NOT_FOUND otherwise.
uint32_t Win32FromErrno(int err, const std::string& path = {});

// Matches a file name against a pattern with "*" and "?" ("?" takes one
// UTF-8 character), ASCII case-insensitively. As on Windows, a trailing ".*"
// also matches a name without that part: "*.*" matches every name.
bool MatchesPattern(std::string_view name, std::string_view pattern);

// A decorator that passes every call to another file system, except the
// ones it is told to fail: the Nth call (1-based) of an operation, or every
// call from the Nth on, fails with the chosen code. It can also run a
// function of the test's just before a chosen call (a user's edit at that
// moment, say). Each Write of a file
// opened through it counts as an Op::Write call; such a file must not outlive
// the decorator. It also counts the disk flushes its calls cost the inner
// file system as the native one makes them (Syncs()).
class FaultyFileSystem : public FileSystem {
 public:
  // Delete is DeleteFile; RemoveDirectory has its own.
  enum class Op {
    Open,
    Read,
    Write,
    Move,
    Copy,
    Delete,
    CreateDirectory,
    List,
    Attributes,
    Size,
    RemoveDirectory,
    Sync  // SyncFileSystem
  };
  explicit FaultyFileSystem(FileSystem& inner) : inner_(inner) {}

  // Fails the `nth` call of `op` (counting from now) with `code`; when
  // `sticky`, every later call of `op` fails too.
  void FailNth(Op op, int nth, uint32_t code, bool sticky = false);
  // Runs `fn` once, when the `nth` call of `op` (counting from now) arrives
  // and before it goes on (to fail, or to the inner file system). `fn` may
  // use this file system; its calls are counted too.
  void BeforeNth(Op op, int nth, std::function<void()> fn);
  // Calls that may change the disk are also counted together, in the order
  // they come: WriteFileAtomic, SetAttributes, OpenForAppend and each Write
  // of a file opened through it, MoveFile, CopyFile, SyncFileSystem,
  // DeleteFile, CreateDirectory, CreateDirectories and RemoveDirectory. Every
  // such call after the next `n` fails with `code` (a disk that stops taking
  // writes: full, gone, or the program stopped there).
  void FailWritesAfter(int n, uint32_t code);
  // Runs `fn` once, when the `nth` such call (counting from now) arrives and
  // before it goes on: a test may end the process there.
  void BeforeNthWrite(int nth, std::function<void()> fn);
  // Such calls so far.
  int Writes() const;
  // Forgets the failures, the functions and the counts.
  void Reset();
  int Calls(Op op) const;
  // The flushes to disk the calls passed on have cost so far: two for a
  // replacing write or a copy made durable at once (the file and its
  // folder), one for such a move (its folder) and one for each
  // SyncFileSystem. Reset() sets it back to 0.
  int Syncs() const;

  uint32_t GetAttributes(const std::string& path, uint32_t* attributes) override;
  uint32_t SetAttributes(const std::string& path, uint32_t attributes) override;
  uint32_t GetSize(const std::string& path, uint64_t* size) override;
  uint32_t ReadFile(const std::string& path, std::string* data, uint64_t maxBytes) override;
  uint32_t WriteFileAtomic(const std::string& path, std::string_view data, uint32_t attributes,
                           bool keepAttributes, Durability durability = Durability::Now) override;
  uint32_t OpenForAppend(const std::string& path, bool truncate,
                         std::unique_ptr<WritableFile>* out) override;
  uint32_t MoveFile(const std::string& from, const std::string& to,
                    Durability durability = Durability::Now) override;
  uint32_t CopyFile(const std::string& from, const std::string& to, bool failIfExists,
                    Durability durability = Durability::Now) override;
  uint32_t SyncFileSystem(const std::string& path) override;
  uint32_t DeleteFile(const std::string& path) override;
  uint32_t CreateDirectory(const std::string& path) override;
  uint32_t CreateDirectories(const std::string& path, uint32_t mode) override;
  uint32_t RemoveDirectory(const std::string& path) override;
  uint32_t ListDirectory(const std::string& path, std::string_view pattern,
                         std::vector<DirEntry>* out) override;

 private:
  struct Rule {
    Op op;
    int nth;  // the call number (as counted in calls_) that fails first
    uint32_t code;
    bool sticky;
  };
  struct Hook {
    Op op;
    int nth;
    std::function<void()> fn;
  };
  // Counts a call of `op` (and, when it `changesDisk`, a write) and runs the
  // functions due: the code to fail it with, or 0.
  uint32_t Check(Op op, bool changesDisk = false);
  void CountSyncs(int syncs);

  FileSystem& inner_;
  mutable std::mutex mutex_;  // files opened through the decorator may write from any thread
  std::vector<Rule> rules_;
  std::vector<Hook> hooks_;
  int calls_[12] = {};
  int syncs_ = 0;
  int writes_ = 0;
  int writeLimit_ = -1;  // the writes that pass; -1: no limit
  uint32_t writeLimitCode_ = 0;
  std::vector<Hook> writeHooks_;  // `op` unused
};

}  // namespace tarvex
