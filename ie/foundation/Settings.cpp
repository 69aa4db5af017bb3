#include "ie/foundation/Settings.h"

#include <vector>

#include "ie/foundation/LanguageTable.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/RegistryHelpers.h"
#include "ie/foundation/core/WindowsFacts.h"
#include "text/Text.h"
#include "platform/Win32Error.h"

namespace tarvex {
namespace {

constexpr Hive kUser = Hive::CurrentUser;
constexpr std::string_view kBrowserKey = "Software\\Microsoft\\Internet Explorer";
constexpr std::string_view kToolbarKey = "Software\\Microsoft\\Internet Explorer\\Toolbar";
constexpr std::string_view kCurrentVersionKey = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr uint32_t kLinksNameResource = 12390;
constexpr uint32_t kRealLinksNameResource = 12385;

// The version cut before its second dot: 1.2.9 gives 1.2.
std::string CutBeforeSecondDot(std::string_view version) {
  size_t first = version.find('.');
  if (first == std::string_view::npos) return std::string(version);
  size_t second = version.find('.', first + 1);
  return std::string(version.substr(0, second));
}

}  // namespace

Settings::Settings(Registry& registry, FileSystem& fs, Clock& clock, const OsFacts& facts,
                   Logger& logger)
    : registry_(registry), fs_(fs), clock_(clock), facts_(facts), logger_(logger) {
  ApplyDefaults();
  DeriveServerHosts();
  DetectMachine();
}

Settings& Settings::GetInstance() {
  static Settings* settings =
      new Settings(Registry::Process(), FileSystem::Native(), Clock::System(), OsFacts::Process(),
                   Logger::GetInstance());
  return *settings;
}

// ---- Reading and storing ----------------------------------------------------

std::optional<std::string> Settings::Read(std::string_view key) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = cache_.find(key);
  if (it != cache_.end()) return it->second;
  std::string value;
  if (ReadRegistryString(registry_, kUser, kSettingsKey, key, &value) != 0) return std::nullopt;
  return value;
}

bool Settings::Store(std::string_view key, std::string value, bool now) {
  uint32_t rc = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = cache_.find(key);
    if (it != cache_.end()) cache_.erase(it);
    if (now) {
      rc = WriteRegistryString(registry_, kUser, kSettingsKey, key, value);
    } else {
      cache_.emplace(std::string(key), std::move(value));
      return true;
    }
  }
  // Log outside the lock: the log may be asked for settings of its own.
  if (rc != 0) {
    logger_.Error(Format("Unable to store setting %s in the registry [%d]", key, rc));
    return false;
  }
  if (Registry::EncodeString(value).size() > 1000)
    logger_.Error(Format("Setting %s is longer than 1000 bytes and will read as absent", key));
  return true;
}

bool Settings::HasValue(std::string_view key) {
  return Read(key).has_value();
}

std::string Settings::GetValue(std::string_view key, std::string_view defaultValue) {
  std::optional<std::string> v = Read(key);
  return v ? *v : std::string(defaultValue);
}

int32_t Settings::GetInt(std::string_view key, int32_t defaultValue) {
  std::optional<std::string> v = Read(key);
  return v ? ParseLeadingInt32(*v) : defaultValue;
}

int64_t Settings::GetInt64(std::string_view key, int64_t defaultValue) {
  std::optional<std::string> v = Read(key);
  return v ? ParseLeadingInt(*v) : defaultValue;
}

bool Settings::GetBool(std::string_view key, bool defaultValue) {
  std::optional<std::string> v = Read(key);
  return v ? *v == "true" : defaultValue;
}

bool Settings::SetValue(std::string_view key, std::string_view value, bool now) {
  return Store(key, std::string(value), now);
}

bool Settings::SetInt(std::string_view key, int32_t value, bool now) {
  return Store(key, Format("%d", value), now);
}

bool Settings::SetInt64(std::string_view key, int64_t value, bool now) {
  return Store(key, Format("%lld", value), now);
}

bool Settings::SetBool(std::string_view key, bool value, bool now) {
  return Store(key, value ? "true" : "false", now);
}

bool Settings::ToggleBool(std::string_view key, bool now, bool defaultValue) {
  bool value = !GetBool(key, defaultValue);
  SetBool(key, value, now);
  return value;
}

void Settings::DeleteValue(std::string_view key) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = cache_.find(key);
  if (it != cache_.end()) cache_.erase(it);
  registry_.DeleteValue(kUser, kSettingsKey, key);
}

std::string Settings::GetUserAgent(bool escapeSlash) {
  std::optional<std::string> agent = Read("useragent");
  if (!agent) {
    agent = "Tarvex-IE/" + GetValue("kestroveversion", "-1");
    Store("useragent", *agent, false);
  }
  // Only the plain form is kept, so whichever form is asked for first, the
  // other stays right.
  return escapeSlash ? ReplaceAll(*agent, "/", "%2F") : *agent;
}

std::string Settings::MapLocaleTag(std::string_view tag) {
  static const std::pair<std::string_view, std::string_view> kOlderForms[] = {
      {"bs-Cyrl-BA", "bs-BA-Cyrl"}, {"bs-Latn-BA", "bs-BA-Latn"}, {"iu-Latn-CA", "iu-CA-Latn"},
      {"sr-Latn-CS", "sr-SP-Latn"}, {"sr-Cyrl-CS", "sr-SP-Cyrl"}, {"sr-Latn-BA", "sr-BA-Latn"},
      {"sr-Cyrl-BA", "sr-BA-Cyrl"}, {"zh-Hant", "zh-CHT"},        {"zh-Hans", "zh-CHS"},
  };
  for (const auto& [from, to] : kOlderForms)
    if (tag == from) return std::string(to);
  return std::string(tag);
}

// ---- Construction -------------------------------------------------------------

void Settings::ApplyDefaults() {
  MigrateFromKestrove();

  if (!HasValue("kestroveversion")) {
    // First run.
    SetValue("kestroveversion", kClientVersion, true);
    SetValue("serverroot", kServiceDomain, true);
    SetValue("loglevel", "2", true);
    SetBool("firstrun", true, true);
    SetBool("autosync", true, true);
    SetInt("serpdecoratecount", 3, true);
    return;
  }

  std::string old = GetValue("kestroveversion", "0.0.0");
  if (VersionStrCmp(old, kClientVersion) != 0) SetValue("kestroveversion", kClientVersion, true);
  if (VersionStrCmp(CutBeforeSecondDot(old), CutBeforeSecondDot(kClientVersion)) < 0) {
    SetValue("serverroot", kServiceDomain, true);
    SetBool("upgraderun", true, false);
    if (!HasValue("serpdecoratecount")) SetInt("serpdecoratecount", 3, true);
  }
}

void Settings::DeriveServerHosts() {
  if (HasValue("serverroot")) {
    std::string root = GetValue("serverroot", "");
    static const std::pair<std::string_view, std::string_view> kHosts[] = {
        {"webserver", "www."},     {"authserver", "login."}, {"downloadserver", "static."},
        {"cloudserver", "cloud."}, {"server", "sync."},
    };
    for (const auto& [key, label] : kHosts)
      if (!HasValue(key)) SetValue(key, std::string(label) + root, false);
  }
  if (!HasValue("profile")) SetValue("profile", "<none>", false);
}

void Settings::DetectMachine() {
  std::string version;
  if (ReadRegistryString(registry_, Hive::LocalMachine, kBrowserKey, "Version", &version) != 0)
    version = "<not value found>";
  SetValue("ieversion", version, false);

  if (!HasValue("machineid")) SetValue("machineid", ToBase36(clock_.Now()), true);

  std::string name, source;
  if (IsVistaOrLater(facts_)) {
    name = "Links", source = "vista";
  } else if (ReadRegistryString(registry_, kUser, kToolbarKey, "LinksFolderName", &name) == 0 &&
             !name.empty()) {
    source = kToolbarKey;
  } else if (ReadRegistryString(registry_, Hive::LocalMachine, kCurrentVersionKey, "LinkFolderName",
                                &name) == 0 &&
             !name.empty()) {
    source = kCurrentVersionKey;
  } else {
    name.clear();
    int32_t id = GetUserDefaultUILanguage(facts_);
    while (id != 0) {
      const LanguageRow* row = FindLanguage(id);
      if (!row) break;
      // This rule runs only before Vista, where the resource folders carry
      // the older tag forms.
      std::string tag = MapLocaleTag(row->tag);
      std::string path = JoinPath(JoinPath(facts_.systemDir, tag), "ieframe.dll.mui");
      std::optional<std::string> text = facts_.LoadStringResource(path, kLinksNameResource);
      if (text) {
        name = *text, source = path;
        break;
      }
      id = row->parent;
    }
    if (name.empty()) name = "Links", source = "default";
  }
  SetValue("linksfoldername", name, false);
  SetValue("linksfoldernamesource", source, false);

  std::optional<std::string> real =
      facts_.LoadStringResource(JoinPath(facts_.systemDir, "ieframe.dll"), kRealLinksNameResource);
  if (real) SetValue("potentialreallinksfolername", *real, false);
}

// ---- Moving over from the earlier product --------------------------------------

void Settings::MigrateFromKestrove() {
  if (registry_.KeyExists(kUser, kOldSettingsKey) == 0) {
    std::string failure;
    uint32_t deleteError = 0;
    // Copy and delete in one transaction, so two clients starting at once
    // cannot interleave. The old key goes only when every value was copied;
    // otherwise it stays for the next start (copies only fill absent names,
    // so a repeat is harmless).
    registry_.Transaction(kUser, [&]() -> uint32_t {
      std::vector<Registry::Value> values;
      if (uint32_t rc = registry_.EnumValues(kUser, kOldSettingsKey, &values); rc != 0) {
        failure = Format("Unable to read Kestrove registry location: %d", rc);
        return rc;
      }
      for (const Registry::Value& value : values) {
        Registry::Value existing;
        uint32_t rc = registry_.ReadValue(kUser, kSettingsKey, value.name, SIZE_MAX, &existing);
        if (rc == 0) continue;  // already a setting: never overwritten
        if (rc == win32::ERROR_FILE_NOT_FOUND) {
          uint32_t type = value.type;
          std::string data = value.data;
          if (type == REG_DWORD && data.size() == 4) {
            uint32_t n = static_cast<uint8_t>(data[0]) | static_cast<uint8_t>(data[1]) << 8 |
                         static_cast<uint8_t>(data[2]) << 16 |
                         static_cast<uint32_t>(static_cast<uint8_t>(data[3])) << 24;
            type = REG_SZ;
            data = Registry::EncodeString(Format("%u", n));
          }
          // Any other value is carried over as it is, so nothing is lost.
          rc = registry_.WriteValue(kUser, kSettingsKey, value.name, type, data);
        }
        if (rc != 0) {
          failure = Format("Unable to copy Kestrove setting %s [%d]", value.name, rc);
          return rc;
        }
      }
      deleteError = registry_.DeleteTree(kUser, kOldProductKey);
      return 0;
    });
    if (!failure.empty()) logger_.Error(failure);
    if (deleteError != 0)
      logger_.Error(Format("Unable to delete Kestrove registry location: %d", deleteError));
  }
  MigrateOldFiles();
}

std::string Settings::OldUserDir() {
  std::string userdir = GetValue("userdir", "");
  size_t pos = userdir.find("Tarvex");
  if (userdir.empty() || pos == std::string::npos) return {};
  return userdir.replace(pos, 6, "Kestrove");
}

void Settings::MigrateOldFiles() {
  std::string oldDir = OldUserDir();
  if (oldDir.empty()) return;
  std::string oldBaseline = JoinPath(oldDir, "baselinesyncfile.txt");
  if (!fs_.Exists(oldBaseline)) return;

  std::string newDir = GetValue("userdir", "");
  fs_.CreateDirectories(newDir, 0700);

  std::string newBaseline = JoinPath(newDir, "tarvex-baseline.json");
  if (uint32_t rc = fs_.MoveFile(oldBaseline, newBaseline); rc != 0)
    logger_.Error(Format("Unable to move old baseline file [%d] from %s to %s", rc, oldBaseline,
                         newBaseline));

  std::string oldIntermediate = JoinPath(oldDir, "intermediatensdata.txt");
  std::string newIntermediate = JoinPath(newDir, "tarvex-intermediate.json");
  if (uint32_t rc = fs_.MoveFile(oldIntermediate, newIntermediate); rc != 0)
    logger_.Error(Format("Unable to move old intermediate file [%d] from %s to %s", rc,
                         oldIntermediate, newIntermediate));

  std::string oldLog = JoinPath(oldDir, "kestrovelog.txt");
  if (uint32_t rc = fs_.DeleteFile(oldLog); rc != 0)
    logger_.Error(Format("Unable to delete old log file [%d] from %s", rc, oldLog));

  std::string oldIcons = JoinPath(oldDir, "favicons");
  uint32_t attrs = 0;
  if (fs_.GetAttributes(oldIcons, &attrs) != 0 || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) return;
  std::string newIcons = JoinPath(newDir, "favicons");
  fs_.CreateDirectory(newIcons);
  std::vector<DirEntry> icons;
  if (uint32_t rc = fs_.ListDirectory(oldIcons, "*.ico", &icons); rc != 0) {
    logger_.Error(Format("Unable to read old favicon dir [%d] %s", rc, oldIcons));
    return;
  }
  for (const DirEntry& icon : icons) {
    // Only the icons themselves: a link could lead out of the old folder.
    if (icon.kind != DirEntry::Kind::File) continue;
    std::string from = JoinPath(oldIcons, icon.name);
    std::string to = JoinPath(newIcons, icon.name);
    if (uint32_t rc = fs_.CopyFile(from, to, true); rc != 0)
      logger_.Error(
          Format("Unabled to copy favicon file [%d] from %s to new home %s", rc, from, to));
  }
}

// ---- The user interface language -------------------------------------------------

int32_t GetUserDefaultUILanguage(const OsFacts& facts) {
  constexpr int32_t kEnglishUnitedStates = 1033;
  if (facts.uiLanguageId) return *facts.uiLanguageId;
  std::string locale = facts.uiLocale;
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return kEnglishUnitedStates;
  for (char& c : locale)
    if (c == '_') c = '-';
  int32_t id = FindLanguageByTag(locale);
  if (id < 0) id = FindLanguageByTag(locale.substr(0, locale.find('-')));
  return id < 0 ? kEnglishUnitedStates : id;
}

}  // namespace tarvex
