// The registry stand-in over SQLite: one database per hive ("hkcu.sqlite",
// "hklm.sqlite") in the registry folder.
//
//   keys(id INTEGER PRIMARY KEY, path TEXT UNIQUE COLLATE NOCASE,
//        parent TEXT COLLATE NOCASE)
//   vals(id INTEGER PRIMARY KEY, path TEXT COLLATE NOCASE,
//        name TEXT COLLATE NOCASE, type INTEGER, data BLOB, UNIQUE(path, name))
//
// The hive's root (the key "") always exists and is not stored in `keys`; it
// may hold values. Enumeration follows `id`, which a rewrite keeps (upsert).
// Every write runs inside BEGIN IMMEDIATE (or a savepoint when it joins a
// Transaction of the caller); multi-statement reads run inside one deferred
// transaction so that they see one snapshot. The database runs in WAL mode
// with a busy timeout, so several processes share it.
#include "platform/registry/Registry.h"

#include <errno.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <new>
#include <string>
#include <unordered_map>

#include "text/Text.h"
#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"
#include "platform/paths/PlatformConfig.h"
#include "platform/registry/AutostartKey.h"

namespace tarvex {
namespace {

using namespace tarvex::win32;

constexpr int kBusyTimeoutMs = 5000;

// An internal failure carrying the Win32 code the public call returns.
struct DbError {
  uint32_t code;
};

[[noreturn]] void Fail(uint32_t code) {
  throw DbError{code};
}

uint32_t MapSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return ERROR_BADDB;
    default:
      // SQLITE_CANTOPEN, SQLITE_READONLY, SQLITE_PERM, SQLITE_IOERR,
      // SQLITE_BUSY (after the timeout), ...: the store cannot be used.
      return ERROR_ACCESS_DENIED;
  }
}

// "\\a\\\\b\\" -> "a\\b".
std::string NormalizeKey(std::string_view key) {
  std::string out;
  size_t i = 0;
  while (i < key.size()) {
    size_t end = key.find('\\', i);
    if (end == std::string_view::npos) end = key.size();
    if (end > i) {
      if (!out.empty()) out += '\\';
      out.append(key.substr(i, end - i));
    }
    i = end + 1;
  }
  return out;
}

std::string ParentOf(const std::string& key) {
  size_t pos = key.rfind('\\');
  return pos == std::string::npos ? std::string() : key.substr(0, pos);
}

std::string LastComponent(std::string_view key) {
  size_t pos = key.rfind('\\');
  return std::string(pos == std::string_view::npos ? key : key.substr(pos + 1));
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p with private (0700) folders.
bool MakeDirs(const std::string& dir) {
  if (dir.empty() || IsDirectory(dir)) return true;
  std::string trimmed = dir;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t slash = trimmed.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (!MakeDirs(trimmed.substr(0, slash))) return false;
  }
  if (::mkdir(trimmed.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return IsDirectory(trimmed);
}

// The state of one hive's database.
struct HiveState {
  std::string dir;
  std::string file;
  bool machine = false;
  sqlite3* conn = nullptr;
  bool schemaReady = false;  // the tables exist
  bool writeReady = false;   // WAL mode and tables ensured by this connection
  int txDepth = 0;           // > 0 while a Transaction runs on this hive
  std::unordered_map<std::string, sqlite3_stmt*> statements;

  ~HiveState() { Close(); }

  void Close() {
    for (auto& [sql, stmt] : statements) sqlite3_finalize(stmt);
    statements.clear();
    if (conn) sqlite3_close_v2(conn);
    conn = nullptr;
    schemaReady = writeReady = false;
  }

  void Exec(const char* sql) {
    int rc = sqlite3_exec(conn, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(MapSqlite(rc));
  }

  sqlite3_stmt* Prepare(const char* sql) {
    auto it = statements.find(sql);
    if (it != statements.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(conn, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(stmt);
      Fail(MapSqlite(rc));
    }
    statements.emplace(sql, stmt);
    return stmt;
  }
};

// A cached statement in use; reset (and unbound) when the scope ends.
class Stmt {
 public:
  Stmt(HiveState& h, const char* sql) : stmt_(h.Prepare(sql)) {}
  ~Stmt() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  void Text(int i, std::string_view v) {
    Check(sqlite3_bind_text(stmt_, i, v.data() ? v.data() : "", static_cast<int>(v.size()),
                            SQLITE_TRANSIENT));
  }
  void Blob(int i, std::string_view v) {
    Check(sqlite3_bind_blob(stmt_, i, v.data() ? v.data() : "", static_cast<int>(v.size()),
                            SQLITE_TRANSIENT));
  }
  void Int(int i, int64_t v) { Check(sqlite3_bind_int64(stmt_, i, v)); }

  // True for a row, false when done.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(MapSqlite(rc));
  }

  std::string ColText(int i) {
    const unsigned char* p = sqlite3_column_text(stmt_, i);
    int n = sqlite3_column_bytes(stmt_, i);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n))
             : std::string();
  }
  std::string ColBlob(int i) {
    const void* p = sqlite3_column_blob(stmt_, i);
    int n = sqlite3_column_bytes(stmt_, i);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
  }
  size_t ColBytes(int i) { return static_cast<size_t>(sqlite3_column_bytes(stmt_, i)); }
  int64_t ColInt(int i) { return sqlite3_column_int64(stmt_, i); }

 private:
  static void Check(int rc) {
    if (rc != SQLITE_OK) Fail(MapSqlite(rc));
  }
  sqlite3_stmt* stmt_;
};

// One write: its own BEGIN IMMEDIATE transaction, or a savepoint inside the
// caller's transaction, so that the write is all-or-nothing either way.
class WriteScope {
 public:
  explicit WriteScope(HiveState& h) : h_(h), own_(sqlite3_get_autocommit(h.conn) != 0) {
    h_.Exec(own_ ? "BEGIN IMMEDIATE" : "SAVEPOINT tarvex_op");
  }
  ~WriteScope() {
    if (done_) return;
    if (own_) {
      sqlite3_exec(h_.conn, "ROLLBACK", nullptr, nullptr, nullptr);
    } else if (sqlite3_get_autocommit(h_.conn) == 0) {
      sqlite3_exec(h_.conn, "ROLLBACK TO tarvex_op; RELEASE tarvex_op", nullptr, nullptr, nullptr);
    }
  }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;

  void Commit() {
    h_.Exec(own_ ? "COMMIT" : "RELEASE tarvex_op");
    done_ = true;
  }

 private:
  HiveState& h_;
  bool own_;
  bool done_ = false;
};

// Several reads from one snapshot (nothing to do inside a transaction).
class ReadScope {
 public:
  explicit ReadScope(HiveState& h) : h_(h), own_(sqlite3_get_autocommit(h.conn) != 0) {
    if (own_) h_.Exec("BEGIN");
  }
  ~ReadScope() {
    if (own_ && sqlite3_get_autocommit(h_.conn) == 0)
      sqlite3_exec(h_.conn, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;

 private:
  HiveState& h_;
  bool own_;
};

void OpenConnection(HiveState& h, int flags) {
  sqlite3* conn = nullptr;
  int rc = sqlite3_open_v2(h.file.c_str(), &conn, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    if (conn) sqlite3_close_v2(conn);
    Fail(ERROR_ACCESS_DENIED);
  }
  h.conn = conn;
  sqlite3_busy_timeout(conn, kBusyTimeoutMs);
  sqlite3_exec(conn, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
}

// Opens an existing database for reading. False when the hive has no
// database yet (or it holds no tables yet): nothing is stored in it.
bool OpenForRead(HiveState& h) {
  if (!h.conn) {
    struct stat st;
    if (::stat(h.file.c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) Fail(ERROR_ACCESS_DENIED);
    OpenConnection(h, SQLITE_OPEN_READWRITE);
  }
  if (!h.schemaReady) {
    Stmt s(h, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('keys','vals')");
    if (!s.Step() || s.ColInt(0) != 2) return false;
    h.schemaReady = true;
  }
  return true;
}

void OpenForWrite(HiveState& h, bool allowed) {
  if (!allowed) Fail(ERROR_ACCESS_DENIED);
  if (!h.conn) {
    if (!MakeDirs(h.dir)) Fail(ERROR_ACCESS_DENIED);
    OpenConnection(h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  }
  if (h.writeReady) return;
  // A new database: WAL mode (persistent in the file), then the tables. Both
  // are harmless when another process did them first.
  // Switching to WAL needs the database to itself and does not wait for it
  // (no busy handler), so several processes creating the hive at once retry
  // here, after a short random pause, for as long as the busy timeout.
  int rc = SQLITE_BUSY;
  for (int waited = 0; (rc & 0xFF) == SQLITE_BUSY;) {
    rc = sqlite3_exec(h.conn, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if ((rc & 0xFF) != SQLITE_BUSY || waited >= kBusyTimeoutMs) break;
    unsigned char jitter = 0;
    sqlite3_randomness(1, &jitter);
    int pause = 1 + jitter % 8;
    sqlite3_sleep(pause);
    waited += pause;
  }
  if (rc != SQLITE_OK) Fail(MapSqlite(rc));
  if (sqlite3_db_readonly(h.conn, "main") == 1) Fail(ERROR_ACCESS_DENIED);
  {
    WriteScope w(h);
    h.Exec(
        "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY,"
        " path TEXT NOT NULL UNIQUE COLLATE NOCASE, parent TEXT NOT NULL COLLATE NOCASE);"
        "CREATE INDEX IF NOT EXISTS keys_parent ON keys(parent);"
        "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY,"
        " path TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE NOCASE,"
        " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(path, name));"
        "CREATE INDEX IF NOT EXISTS vals_path ON vals(path);");
    w.Commit();
  }
  h.schemaReady = h.writeReady = true;
}

bool KeyPresent(HiveState& h, const std::string& key) {
  if (key.empty()) return true;  // the hive's root
  Stmt s(h, "SELECT 1 FROM keys WHERE path=?1");
  s.Text(1, key);
  return s.Step();
}

// Creates `key` and every key above it (inside a write).
void EnsureKey(HiveState& h, const std::string& key) {
  if (KeyPresent(h, key)) return;
  size_t pos = 0;
  while (true) {
    size_t end = key.find('\\', pos);
    std::string prefix = key.substr(0, end);
    Stmt s(h, "INSERT INTO keys(path, parent) VALUES(?1, ?2) ON CONFLICT(path) DO NOTHING");
    s.Text(1, prefix);
    s.Text(2, ParentOf(prefix));
    s.Step();
    if (end == std::string::npos) break;
    pos = end + 1;
  }
}

template <typename F>
uint32_t Guard(F&& f) {
  try {
    return f();
  } catch (const DbError& e) {
    return e.code;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_GEN_FAILURE;
  }
}

}  // namespace

struct Registry::Hivedb : HiveState {};

Registry::Registry(std::string folder, bool allowMachineWrites)
    : folder_(std::move(folder)),
      allowMachineWrites_(allowMachineWrites),
      user_(std::make_unique<Hivedb>()),
      machine_(std::make_unique<Hivedb>()) {
  std::string base = folder_.empty() ? std::string(".") : folder_;
  std::string sep = base.back() == '/' ? "" : "/";
  user_->dir = machine_->dir = base;
  user_->file = base + sep + "hkcu.sqlite";
  machine_->file = base + sep + "hklm.sqlite";
  machine_->machine = true;
  autostartDir_ = base + sep + "autostart";
}

Registry::~Registry() = default;

Registry& Registry::Process() {
  static Registry* registry = [] {
    auto* r = new Registry(PlatformConfig::Current().registryDir);
    r->SetAutostartFolder(PlatformConfig::Current().autostartDir);
    return r;
  }();
  return *registry;
}

void Registry::SetAutostartFolder(std::string folder, FileSystem* fs) {
  std::lock_guard lock(mutex_);
  autostartDir_ = std::move(folder);
  autostartFs_ = fs;
}

bool Registry::IsRunKey(Hive hive, const std::string& key) const {
  return hive == Hive::CurrentUser && AutostartFolder::IsRunKey(key);
}

AutostartFolder Registry::Autostart() {
  return AutostartFolder(autostartDir_, autostartFs_ ? *autostartFs_ : FileSystem::Native());
}

Registry::Hivedb& Registry::db(Hive hive) {
  return hive == Hive::LocalMachine ? *machine_ : *user_;
}

uint32_t Registry::Fault(Op op, Hive hive, std::string_view key, std::string_view name) {
  if (!hook_) return 0;
  return hook_(op, hive, key, name);
}

void Registry::SetFaultHook(FaultHook hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

uint32_t Registry::KeyExists(Hive hive, std::string_view key) {
  std::lock_guard lock(mutex_);
  return Guard([&]() -> uint32_t {
    std::string k = NormalizeKey(key);
    if (uint32_t f = Fault(Op::Open, hive, k, "")) return f;
    if (k.empty() || IsRunKey(hive, k)) return 0;
    Hivedb& h = db(hive);
    if (!OpenForRead(h)) return ERROR_FILE_NOT_FOUND;
    return KeyPresent(h, k) ? 0 : ERROR_FILE_NOT_FOUND;
  });
}

uint32_t Registry::CreateKey(Hive hive, std::string_view key) {
  std::lock_guard lock(mutex_);
  return Guard([&]() -> uint32_t {
    std::string k = NormalizeKey(key);
    if (uint32_t f = Fault(Op::Write, hive, k, "")) return f;
    Hivedb& h = db(hive);
    OpenForWrite(h, hive == Hive::CurrentUser || allowMachineWrites_);
    if (k.empty()) return 0;
    WriteScope w(h);
    EnsureKey(h, k);
    w.Commit();
    return 0;
  });
}

uint32_t Registry::ReadValue(Hive hive, std::string_view key, std::string_view name,
                             size_t maxBytes, Value* out) {
  std::lock_guard lock(mutex_);
  return Guard([&]() -> uint32_t {
    std::string k = NormalizeKey(key);
    if (uint32_t f = Fault(Op::Read, hive, k, name)) return f;
    if (!out) return ERROR_INVALID_PARAMETER;
    if (IsRunKey(hive, k)) {
      Value v{"", REG_SZ, ""};
      std::string line;
      if (uint32_t rc = Autostart().Read(name, &v.name, &line)) return rc;
      v.data = EncodeString(line);
      if (v.data.size() > maxBytes) return ERROR_MORE_DATA;
      *out = std::move(v);
      return 0;
    }
    Hivedb& h = db(hive);
    if (!OpenForRead(h)) return ERROR_FILE_NOT_FOUND;
    Stmt s(h, "SELECT name, type, data FROM vals WHERE path=?1 AND name=?2");
    s.Text(1, k);
    s.Text(2, name);
    if (!s.Step()) return ERROR_FILE_NOT_FOUND;
    if (s.ColBytes(2) > maxBytes) return ERROR_MORE_DATA;
    Value v;
    v.name = s.ColText(0);
    v.type = static_cast<uint32_t>(s.ColInt(1));
    v.data = s.ColBlob(2);
    *out = std::move(v);
    return 0;
  });
}

uint32_t Registry::WriteValue(Hive hive, std::string_view key, std::string_view name, uint32_t type,
                              std::string_view data) {
  std::lock_guard lock(mutex_);
  return Guard([&]() -> uint32_t {
    std::string k = NormalizeKey(key);
    if (uint32_t f = Fault(Op::Write, hive, k, name)) return f;
    if (IsRunKey(hive, k))
      return type == REG_SZ ? Autostart().Write(name, DecodeString(data)) : ERROR_INVALID_PARAMETER;
    Hivedb& h = db(hive);
    OpenForWrite(h, hive == Hive::CurrentUser || allowMachineWrites_);
    WriteScope w(h);
    EnsureKey(h, k);
    Stmt s(h,
           "INSERT INTO vals(path, name, type, data) VALUES(?1, ?2, ?3, ?4)"
           " ON CONFLICT(path, name) DO UPDATE SET type=excluded.type, data=excluded.data");
    s.Text(1, k);
    s.Text(2, name);
    s.Int(3, type);
    s.Blob(4, data);
    s.Step();
    w.Commit();
    return 0;
  });
}

uint32_t Registry::DeleteValue(Hive hive, std::string_view key, std::string_view name) {
  std::lock_guard lock(mutex_);
  return Guard([&]() -> uint32_t {
    std::string k = NormalizeKey(key);
    if (uint32_t f = Fault(Op::DeleteValue, hive, k, name)) return f;
    if (IsRunKey(hive, k)) return Autostart().Delete(name);
    Hivedb& h = db(hive);
    if (!OpenForRead(h)) return ERROR_FILE_NOT_FOUND;  // nothing stored: nothing to delete
    OpenForWrite(h, hive == Hive::CurrentUser || allowMachineWrites_);
    WriteScope w(h);
    Stmt s(h, "DELETE FROM vals WHERE path=?1 AND name=?2");
    s.Text(1, k);
    s.Text(2, name);
    s.Step();
    if (sqlite3_changes(h.conn) == 0) return ERROR_FILE_NOT_FOUND;
    w.Commit();
    return 0;
  });
}

uint32_t Registry::EnumValue(Hive hive, std::string_view key, uint32_t index, size_t maxNameChars,
                             size_t maxDataBytes, Value* out) {
  std::lock_guard lock(mutex_);
  return Guard([&]() -> uint32_t {
    std::string k = NormalizeKey(key);
    if (uint32_t f = Fault(Op::Enum, hive, k, "")) return f;
    if (!out) return ERROR_INVALID_PARAMETER;
    if (IsRunKey(hive, k)) {
      std::vector<AutostartFolder::Entry> list;
      if (uint32_t rc = Autostart().List(&list)) return rc;
      if (index >= list.size()) return ERROR_NO_MORE_ITEMS;
      Value v{list[index].name, REG_SZ, EncodeString(list[index].commandLine)};
      if (Utf16Length(v.name) > maxNameChars || v.data.size() > maxDataBytes)
        return ERROR_MORE_DATA;
      *out = std::move(v);
      return 0;
    }
    Hivedb& h = db(hive);
    if (!OpenForRead(h)) return k.empty() ? ERROR_NO_MORE_ITEMS : ERROR_FILE_NOT_FOUND;
    ReadScope r(h);
    Stmt s(h, "SELECT name, type, data FROM vals WHERE path=?1 ORDER BY id LIMIT 1 OFFSET ?2");
    s.Text(1, k);
    s.Int(2, index);
    if (!s.Step()) return KeyPresent(h, k) ? ERROR_NO_MORE_ITEMS : ERROR_FILE_NOT_FOUND;
    std::string name = s.ColText(0);
    if (Utf16Length(name) > maxNameChars || s.ColBytes(2) > maxDataBytes) return ERROR_MORE_DATA;
    Value v;
    v.name = std::move(name);
    v.type = static_cast<uint32_t>(s.ColInt(1));
    v.data = s.ColBlob(2);
    *out = std::move(v);
    return 0;
  });
}

uint32_t Registry::EnumValues(Hive hive, std::string_view key, std::vector<Value>* out) {
  std::lock_guard lock(mutex_);
  return Guard([&]() -> uint32_t {
    std::string k = NormalizeKey(key);
    if (uint32_t f = Fault(Op::Enum, hive, k, "")) return f;
    if (!out) return ERROR_INVALID_PARAMETER;
    if (IsRunKey(hive, k)) {
      std::vector<AutostartFolder::Entry> list;
      if (uint32_t rc = Autostart().List(&list)) return rc;
      std::vector<Value> values;
      for (auto& e : list) values.push_back(Value{e.name, REG_SZ, EncodeString(e.commandLine)});
      *out = std::move(values);
      return 0;
    }
    Hivedb& h = db(hive);
    if (!OpenForRead(h)) {
      if (!k.empty()) return ERROR_FILE_NOT_FOUND;
      out->clear();
      return 0;
    }
    ReadScope r(h);
    if (!KeyPresent(h, k)) return ERROR_FILE_NOT_FOUND;
    std::vector<Value> values;
    Stmt s(h, "SELECT name, type, data FROM vals WHERE path=?1 ORDER BY id");
    s.Text(1, k);
    while (s.Step()) {
      Value v;
      v.name = s.ColText(0);
      v.type = static_cast<uint32_t>(s.ColInt(1));
      v.data = s.ColBlob(2);
      values.push_back(std::move(v));
    }
    *out = std::move(values);
    return 0;
  });
}

uint32_t Registry::EnumSubkeys(Hive hive, std::string_view key, std::vector<std::string>* out) {
  std::lock_guard lock(mutex_);
  return Guard([&]() -> uint32_t {
    std::string k = NormalizeKey(key);
    if (uint32_t f = Fault(Op::Enum, hive, k, "")) return f;
    if (!out) return ERROR_INVALID_PARAMETER;
    if (IsRunKey(hive, k)) {  // no subkeys
      out->clear();
      return 0;
    }
    Hivedb& h = db(hive);
    if (!OpenForRead(h)) {
      if (!k.empty()) return ERROR_FILE_NOT_FOUND;
      out->clear();
      return 0;
    }
    ReadScope r(h);
    if (!KeyPresent(h, k)) return ERROR_FILE_NOT_FOUND;
    std::vector<std::string> names;
    Stmt s(h, "SELECT path FROM keys WHERE parent=?1 ORDER BY id");
    s.Text(1, k);
    while (s.Step()) names.push_back(LastComponent(s.ColText(0)));
    *out = std::move(names);
    return 0;
  });
}

uint32_t Registry::DeleteTree(Hive hive, std::string_view key) {
  std::lock_guard lock(mutex_);
  return Guard([&]() -> uint32_t {
    std::string k = NormalizeKey(key);
    if (uint32_t f = Fault(Op::DeleteTree, hive, k, "")) return f;
    if (k.empty()) return ERROR_ACCESS_DENIED;  // the hive's root cannot be deleted
    Hivedb& h = db(hive);
    if (!OpenForRead(h)) return ERROR_FILE_NOT_FOUND;
    OpenForWrite(h, hive == Hive::CurrentUser || allowMachineWrites_);
    WriteScope w(h);
    if (!KeyPresent(h, k)) return ERROR_FILE_NOT_FOUND;
    // Under NOCASE, the paths below "k" are those from "k\" up to "k]"
    // (']' follows '\' and folding touches only letters).
    std::string low = k + "\\";
    std::string high = k + "]";
    {
      Stmt s(h, "DELETE FROM vals WHERE path=?1 OR (path>=?2 AND path<?3)");
      s.Text(1, k);
      s.Text(2, low);
      s.Text(3, high);
      s.Step();
    }
    {
      Stmt s(h, "DELETE FROM keys WHERE path=?1 OR (path>=?2 AND path<?3)");
      s.Text(1, k);
      s.Text(2, low);
      s.Text(3, high);
      s.Step();
    }
    w.Commit();
    return 0;
  });
}

uint32_t Registry::Transaction(Hive hive, const std::function<uint32_t()>& body) {
  std::lock_guard lock(mutex_);
  Hivedb& h = db(hive);
  if (h.txDepth > 0) return body();  // nested: part of the running transaction
  uint32_t err = Guard([&]() -> uint32_t {
    OpenForWrite(h, hive == Hive::CurrentUser || allowMachineWrites_);
    h.Exec("BEGIN IMMEDIATE");
    return 0;
  });
  if (err) return err;
  auto rollback = [&h] {
    if (sqlite3_get_autocommit(h.conn) == 0)
      sqlite3_exec(h.conn, "ROLLBACK", nullptr, nullptr, nullptr);
  };
  uint32_t rc;
  h.txDepth = 1;
  try {
    rc = body();
  } catch (...) {
    h.txDepth = 0;
    rollback();
    throw;
  }
  h.txDepth = 0;
  if (rc != 0) {
    rollback();
    return rc;
  }
  // SQLite ends a transaction on its own after some failures (I/O, full
  // disk); the body's writes are then lost and the transaction failed.
  if (sqlite3_get_autocommit(h.conn) != 0) return ERROR_ACCESS_DENIED;
  int commit = sqlite3_exec(h.conn, "COMMIT", nullptr, nullptr, nullptr);
  if (commit != SQLITE_OK) {
    rollback();
    return MapSqlite(commit);
  }
  return 0;
}

uint32_t Registry::ReadString(Hive hive, std::string_view key, std::string_view name,
                              std::string* out, size_t maxBytes) {
  Value v;
  uint32_t rc = ReadValue(hive, key, name, maxBytes, &v);
  if (rc) return rc;
  if (!out) return ERROR_INVALID_PARAMETER;
  return Guard([&]() -> uint32_t {
    if (v.type == REG_SZ) {
      *out = DecodeString(v.data);
      return 0;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
      uint32_t n = 0;
      for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
      *out = std::to_string(n);
      return 0;
    }
    return ERROR_INVALID_DATA;
  });
}

uint32_t Registry::WriteString(Hive hive, std::string_view key, std::string_view name,
                               std::string_view text) {
  std::string bytes;
  try {
    bytes = EncodeString(text);
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return WriteValue(hive, key, name, REG_SZ, bytes);
}

std::string Registry::EncodeString(std::string_view text) {
  std::u16string units = Utf8ToUtf16(text);
  std::string bytes;
  bytes.reserve((units.size() + 1) * 2);
  for (char16_t u : units) {
    bytes += static_cast<char>(u & 0xFF);
    bytes += static_cast<char>(u >> 8);
  }
  bytes.append(2, '\0');
  return bytes;
}

std::string Registry::DecodeString(std::string_view bytes) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char16_t u = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                       (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (u == 0) break;
    units += u;
  }
  return Utf16ToUtf8Whole(units);
}

}  // namespace tarvex
