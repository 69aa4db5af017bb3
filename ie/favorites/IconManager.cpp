#include "ie/favorites/IconManager.h"

#include <FreeImage.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

#include "ie/favorites/FavoritesPlatform.h"
#include "ie/foundation/Helpers.h"
#include "ie/foundation/core/Paths.h"
#include "ie/foundation/core/VelkException.h"
#include "text/Text.h"
#include "nodeset/Md5.h"
#include "nodeset/Utilities.h"
#include "platform/Win32Error.h"

namespace tarvex {

using namespace win32;
namespace {

constexpr std::string_view kShortcut = "InternetShortcut";
constexpr std::string_view kTarvex = "Tarvex";
constexpr std::string_view kIconFileKey = "IconFile";
constexpr std::string_view kIconIndexKey = "IconIndex";
constexpr std::string_view kUrlKey = "URL";
constexpr std::string_view kNidKey = "nid";
// The MD5 of the bytes last converted into the linked icon, so an image that
// is not an icon is not converted again on every pass.
constexpr std::string_view kIconSourceKey = "iconsrc";
constexpr std::string_view kStreamSuffix = ":favicon";
constexpr std::string_view kIcoExtension = ".ico";

// Images with more pixels than this are not decoded (a small file can
// describe a huge image).
constexpr uint64_t kMaxSourcePixels = 4096ull * 4096ull;

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

class NoStreams : public IconStreams {
 public:
  bool Supported() const override { return false; }
  std::optional<std::string> Read(const std::string&) override { return std::nullopt; }
  void Delete(const std::string&) override {}
};

class NoCache : public UrlCache {
 public:
  std::optional<std::string> LocalFileFor(const std::string&) override { return std::nullopt; }
};

bool EndsWithIco(std::string_view path) {
  return path.size() >= kIcoExtension.size() &&
         EqualsIgnoreAsciiCase(path.substr(path.size() - kIcoExtension.size()), kIcoExtension);
}

bool HasIconSignature(std::string_view bytes) {
  static constexpr std::string_view kIco("\0\0\1\0", 4);
  static constexpr std::string_view kPng("\x89PNG\r\n\x1a\n", 8);
  return StartsWith(bytes, kIco) || StartsWith(bytes, kPng);
}

// Characters of the ids this program generates.
bool IsIdCharacter(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
         c == '+';
}

bool IsPlainId(std::string_view nid) {
  return !nid.empty() && nid.size() <= 64 && nid.front() != '.' &&
         std::all_of(nid.begin(), nid.end(), IsIdCharacter);
}

// The file-name prefix of a node's store files. Ids made of id characters
// are used as they are; any other id (from a peer: too long, or holding
// characters a file name cannot) is replaced by its MD5 behind a "~", which
// no plain id contains, so two nodes never share a prefix.
std::string StorePrefix(std::string_view nid) {
  if (IsPlainId(nid)) return std::string(nid) + "-";
  return Format("~%s-", md5(nid));
}

// The address of a site's favicon.ico: only for http and https addresses.
std::optional<std::string> SiteFaviconUrl(std::string_view url) {
  size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) return std::nullopt;
  std::string scheme = AsciiLower(url.substr(0, schemeEnd));
  if (scheme != "http" && scheme != "https") return std::nullopt;
  size_t hostStart = schemeEnd + 3;
  size_t hostEnd = url.find_first_of("/?#", hostStart);
  if (hostEnd == std::string_view::npos) hostEnd = url.size();
  if (hostEnd == hostStart) return std::nullopt;
  return std::string(url.substr(0, hostEnd)) + "/favicon.ico";
}

// Messages of the image library go to the log of the conversion running on
// this thread.
thread_local Logger* gImageLog = nullptr;

void OnImageMessage(FREE_IMAGE_FORMAT format, const char* message) {
  if (gImageLog)
    gImageLog->Error(Format("Image library [%d]: %s", static_cast<int>(format), message));
}

struct ImageLogScope {
  explicit ImageLogScope(Logger& logger) {
    static std::once_flag registered;
    std::call_once(registered, [] { FreeImage_SetOutputMessage(OnImageMessage); });
    previous = gImageLog;
    gImageLog = &logger;
  }
  ~ImageLogScope() { gImageLog = previous; }
  Logger* previous;
};

struct MemoryCloser {
  void operator()(FIMEMORY* m) const { FreeImage_CloseMemory(m); }
};
struct BitmapCloser {
  void operator()(FIBITMAP* b) const { FreeImage_Unload(b); }
};
using Memory = std::unique_ptr<FIMEMORY, MemoryCloser>;
using Bitmap = std::unique_ptr<FIBITMAP, BitmapCloser>;

// The width and height recorded in a GIF's header (its logical screen).
std::pair<uint64_t, uint64_t> GifScreenSize(std::string_view bytes) {
  if (bytes.size() < 10) return {0, 0};
  auto byteAt = [&](size_t i) {
    return static_cast<uint64_t>(static_cast<unsigned char>(bytes[i]));
  };
  return {byteAt(6) | byteAt(7) << 8, byteAt(8) | byteAt(9) << 8};
}

}  // namespace

IconStreams& IconStreams::None() {
  static NoStreams none;
  return none;
}

UrlCache& UrlCache::None() {
  static NoCache none;
  return none;
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  uint32_t bits = 0;
  int count = 0;
  for (char c : bytes) {
    bits = (bits << 8) | static_cast<unsigned char>(c);
    count += 8;
    while (count >= 6) {
      count -= 6;
      out += kBase64Alphabet[(bits >> count) & 0x3F];
    }
  }
  if (count > 0) out += kBase64Alphabet[(bits << (6 - count)) & 0x3F];
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '\0') break;
    int value;
    if (c >= 'A' && c <= 'Z') {
      value = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      value = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      value = c - '0' + 52;
    } else if (c == '+') {
      value = 62;
    } else if (c == '/') {
      value = 63;
    } else {
      continue;
    }
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::optional<DataUri> ParseDataUri(std::string_view uri) {
  constexpr std::string_view kScheme = "data:";
  if (uri.size() < kScheme.size() || !EqualsIgnoreAsciiCase(uri.substr(0, kScheme.size()), kScheme))
    return std::nullopt;
  size_t comma = uri.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view header = uri.substr(kScheme.size(), comma - kScheme.size());
  DataUri result;
  size_t semicolon = header.find(';');
  result.mediaType = AsciiLower(Trim(header.substr(0, semicolon)));
  while (semicolon != std::string_view::npos) {
    size_t next = header.find(';', semicolon + 1);
    std::string_view param =
        header.substr(semicolon + 1, next == std::string_view::npos ? std::string_view::npos
                                                                    : next - semicolon - 1);
    if (EqualsIgnoreAsciiCase(Trim(param), "base64")) result.base64 = true;
    semicolon = next;
  }
  result.data = std::string(uri.substr(comma + 1));
  return result;
}

std::optional<std::string> IconBytesOf(std::string_view icon) {
  std::optional<DataUri> uri = ParseDataUri(icon);
  if (!uri || !uri->base64 || !StartsWith(uri->mediaType, "image/")) return std::nullopt;
  return Base64Decode(uri->data);
}

bool SameIcon(std::string_view a, std::string_view b) {
  std::optional<std::string> left = IconBytesOf(a);
  std::optional<std::string> right = IconBytesOf(b);
  return left && right && *left == *right;
}

std::optional<std::string> ConvertToIcon(std::string_view bytes, Logger& logger) {
  ImageLogScope logScope(logger);
  if (bytes.empty() || bytes.size() > IconManager::kMaxIconBytes) {
    logger.Error(Format("Favicon image has an unsupported size (%llu bytes)",
                        static_cast<unsigned long long>(bytes.size())));
    return std::nullopt;
  }
  // FreeImage only reads from a memory stream opened on existing bytes.
  Memory input(FreeImage_OpenMemory(reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())),
                                    static_cast<DWORD>(bytes.size())));
  if (!input) {
    logger.Error("Favicon image can't be read into memory");
    return std::nullopt;
  }
  FREE_IMAGE_FORMAT format = FreeImage_GetFileTypeFromMemory(input.get(), 0);
  if (format != FIF_ICO && format != FIF_PNG && format != FIF_JPEG && format != FIF_BMP &&
      format != FIF_GIF) {
    logger.Error("Favicon data is not a supported image (ICO, PNG, JPEG, BMP or GIF)");
    return std::nullopt;
  }

  uint64_t width = 0, height = 0;
  if (format == FIF_GIF) {
    std::tie(width, height) = GifScreenSize(bytes);
  } else {
    Bitmap header(FreeImage_LoadFromMemory(format, input.get(), FIF_LOAD_NOPIXELS));
    if (header) {
      width = FreeImage_GetWidth(header.get());
      height = FreeImage_GetHeight(header.get());
    }
    FreeImage_SeekMemory(input.get(), 0, SEEK_SET);
  }
  if (width == 0 || height == 0 || width * height > kMaxSourcePixels) {
    logger.Error(Format("Favicon image can't be decoded or is too large (%llu x %llu)",
                        static_cast<unsigned long long>(width),
                        static_cast<unsigned long long>(height)));
    return std::nullopt;
  }
  // An icon file is stored as it came, so its text reads back unchanged.
  if (format == FIF_ICO) return std::string(bytes);

  Bitmap image(FreeImage_LoadFromMemory(format, input.get(), 0));
  if (!image) {
    logger.Error("Favicon image can't be decoded");
    return std::nullopt;
  }
  if (FreeImage_GetImageType(image.get()) != FIT_BITMAP) {
    image.reset(FreeImage_ConvertToStandardType(image.get(), TRUE));
    if (!image) {
      logger.Error("Favicon image can't be converted to a standard bitmap");
      return std::nullopt;
    }
  }
  Bitmap colour(FreeImage_ConvertTo32Bits(image.get()));
  if (!colour) {
    logger.Error("Favicon image can't be converted to 32-bit colour");
    return std::nullopt;
  }
  // Icons are square, 16 to 256 pixels a side: scale the longer side into
  // that range and centre the image on a transparent square.
  width = FreeImage_GetWidth(colour.get());
  height = FreeImage_GetHeight(colour.get());
  const uint64_t longer = std::max(width, height);
  const uint64_t side =
      std::clamp<uint64_t>(longer, IconManager::kMinIconSide, IconManager::kMaxIconSide);
  if (longer != side) {
    int newWidth = static_cast<int>(std::max<uint64_t>(1, width * side / longer));
    int newHeight = static_cast<int>(std::max<uint64_t>(1, height * side / longer));
    colour.reset(FreeImage_Rescale(colour.get(), newWidth, newHeight, FILTER_BILINEAR));
    if (!colour) {
      logger.Error("Favicon image can't be scaled");
      return std::nullopt;
    }
    width = static_cast<uint64_t>(newWidth);
    height = static_cast<uint64_t>(newHeight);
  }
  if (width != height) {
    Bitmap square(FreeImage_Allocate(static_cast<int>(side), static_cast<int>(side), 32));
    if (!square ||
        !FreeImage_Paste(square.get(), colour.get(), static_cast<int>((side - width) / 2),
                         static_cast<int>((side - height) / 2), 256)) {
      logger.Error("Favicon image can't be made square");
      return std::nullopt;
    }
    colour = std::move(square);
  }

  Memory output(FreeImage_OpenMemory(nullptr, 0));
  if (!output || !FreeImage_SaveToMemory(FIF_ICO, colour.get(), output.get(), 0)) {
    logger.Error("Favicon image can't be saved as an icon");
    return std::nullopt;
  }
  BYTE* data = nullptr;
  DWORD size = 0;
  if (!FreeImage_AcquireMemory(output.get(), &data, &size) || size == 0 || data == nullptr) {
    logger.Error("Favicon image can't be saved as an icon");
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(data), size);
}

IconManager::IconManager(FileSystem& fs, Logger& logger, std::string storeDir, IconStreams& streams,
                         UrlCache& cache)
    : fs_(fs), logger_(logger), storeDir_(std::move(storeDir)), streams_(streams), cache_(cache) {}

IconManager& IconManager::Instance() {
  static IconManager instance(FileSystem::Native(), Logger::GetInstance());
  return instance;
}

std::string IconManager::StoreDir() const {
  return storeDir_.empty() ? GetUserDir(kStoreFolderName) : storeDir_;
}

std::string IconManager::StreamName(const std::string& path) const {
  return streams_.Supported() ? path + std::string(kStreamSuffix) : std::string();
}

std::string IconManager::IconFilePath(std::string_view nid) const {
  return JoinPath(StoreDir(), StorePrefix(nid));
}

std::string IconManager::ReadIconFile(const std::string& path) {
  if (path.empty() || path.front() != kPathSeparator || !EndsWithIco(path)) {
    logger_.Log(Format("Icon file is not a local icon file, icon can't be read: %s", path));
    return {};
  }
  // The file-system layer would open a FIFO and wait for a writer, and
  // follows links; look at the entry itself first.
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return {};
  if (!S_ISREG(st.st_mode)) {
    logger_.Error(Format("Icon file is not a regular file, icon can't be read: %s", path));
    return {};
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxIconBytes) {
    logger_.Error(Format("Icon file is too big, icon can't be read: %s", path));
    return {};
  }
  std::string bytes;
  uint32_t code = fs_.ReadFile(path, &bytes, kMaxIconBytes);
  if (code == ERROR_NOT_ENOUGH_MEMORY) {
    logger_.Error(Format("Icon file is too big, icon can't be read: %s", path));
    return {};
  }
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return {};
  if (code != ERROR_SUCCESS) {
    logger_.Error(Format("Error [%d] reading icon file: %s", code, path));
    return {};
  }
  if (!HasIconSignature(bytes)) {
    logger_.Error(Format("Icon file is not an icon, icon can't be read: %s", path));
    return {};
  }
  return std::string(kIconUriPrefix) + Base64Encode(bytes);
}

std::string IconManager::ReadIcon(const IniFile& ini) {
  if (streams_.Supported()) {
    std::optional<std::string> stream = streams_.Read(StreamName(ini.path()));
    if (stream && !stream->empty()) {
      if (stream->size() <= kMaxIconBytes)
        return std::string(kIconUriPrefix) + Base64Encode(*stream);
      logger_.Error(Format("Icon file is too big, icon can't be read: %s", StreamName(ini.path())));
    }
  }
  std::optional<std::string> iconFile = ini.FindValue(kShortcut, kIconFileKey);
  std::optional<std::string> lookup = iconFile;
  if (!iconFile) {
    std::optional<std::string> url = ini.FindValue(kShortcut, kUrlKey);
    if (!url) return {};
    lookup = SiteFaviconUrl(*url);
    if (!lookup) return {};
  }
  if (EndsWithIco(*lookup)) {
    if (std::optional<std::string> cached = cache_.LocalFileFor(*lookup)) {
      std::string icon = ReadIconFile(*cached);
      if (!icon.empty()) return icon;
    }
  }
  // An address derived from the URL is never opened as a path.
  if (!iconFile) return {};
  return ReadIconFile(*iconFile);
}

bool IconManager::IsStoreFileOf(std::string_view nid, std::string_view path) const {
  std::string prefix = IconFilePath(nid);
  if (!StartsWith(path, prefix) || !EndsWithIco(path)) return false;
  std::string_view id = path.substr(prefix.size());
  if (id.size() <= kIcoExtension.size()) return false;
  id.remove_suffix(kIcoExtension.size());
  // Only the names this program gives: "<prefix><generated id>.ico". The
  // files of node "aB-x" ("aB-x-<id>.ico") start with "aB-" as well.
  return std::all_of(id.begin(), id.end(), IsIdCharacter) &&
         path.substr(path.size() - kIcoExtension.size()) == kIcoExtension;
}

uint32_t IconManager::DeleteStoreFiles(std::string_view nid, std::string_view keep) {
  std::string dir = StoreDir();
  std::vector<DirEntry> entries;
  uint32_t code = fs_.ListDirectory(dir, "*", &entries);
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return ERROR_SUCCESS;
  if (code != ERROR_SUCCESS) return code;
  for (const DirEntry& entry : entries) {
    if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::string path = JoinPath(dir, entry.name);
    if (entry.name == keep || !IsStoreFileOf(nid, path)) continue;
    if (uint32_t err = fs_.DeleteFile(path))
      logger_.Error(Format("Unable to delete favicon [%d]: %s", err, path));
  }
  return ERROR_SUCCESS;
}

bool IconManager::WriteIconFile(IniFile& ini, std::string_view icon) {
  std::optional<DataUri> uri = ParseDataUri(icon);
  if (icon.find(',') == std::string_view::npos) {
    logger_.Error("Can't find header data");
    return false;
  }
  if (!uri || !uri->base64 || !StartsWith(uri->mediaType, "image/")) {
    logger_.Error("Favicon is not a base64 image data URI, not stored");
    return false;
  }
  std::optional<std::string> nid = ini.FindValue(kTarvex, kNidKey);
  if (!nid || nid->empty()) {
    logger_.Error(Format("Favicon not stored, the file has no node id: %s", ini.path()));
    return false;
  }
  // Four characters carry three bytes; refuse before decoding.
  if (uri->data.size() / 4 * 3 > kMaxIconBytes + 3) {
    logger_.Error(Format("Favicon is too big, not stored (%llu characters)",
                         static_cast<unsigned long long>(uri->data.size())));
    return false;
  }
  std::string bytes = Base64Decode(uri->data);

  // Nothing to do when the linked icon is this one already.
  std::string current = ReadIcon(ini);
  if (!current.empty() && IconBytesOf(current) == bytes) return true;
  std::optional<std::string> linked = ini.FindValue(kShortcut, kIconFileKey);
  if (linked && IsStoreFileOf(*nid, *linked) && fs_.Exists(*linked) &&
      ini.FindValue(kTarvex, kIconSourceKey) == md5(bytes)) {
    return true;
  }

  std::optional<std::string> converted = ConvertToIcon(bytes, logger_);
  if (!converted) {
    logger_.Error(Format("Favicon not stored for: %s", ini.path()));
    return false;
  }
  std::string dir = StoreDir();
  if (dir.empty()) {
    logger_.Error("Favicon not stored, there is no user folder");
    return false;
  }
  if (uint32_t code = fs_.CreateDirectories(dir, 0700)) {
    logger_.Error(Format("Error [%d] creating favicon folder: %s", code, dir));
    return false;
  }
  std::string target;
  for (int attempt = 0; attempt < 8 && (target.empty() || fs_.Exists(target)); ++attempt)
    target = IconFilePath(*nid) + KVPort::GenerateNodeID() + std::string(kIcoExtension);
  if (fs_.Exists(target)) {
    logger_.Error(Format("Favicon not stored, no free file name: %s", target));
    return false;
  }
  if (uint32_t code = fs_.WriteFileAtomic(target, *converted, 0, false, kStoreDurability)) {
    logger_.Error(Format("Error [%d] writing favicon file: %s", code, target));
    return false;
  }
  ini.SetValue(kShortcut, kIconFileKey, target);
  ini.SetValue(kShortcut, kIconIndexKey, "0");
  ini.SetValue(kTarvex, kIconSourceKey, md5(bytes));
  std::string keep = target.substr(FolderOfPath(target).size());
  if (uint32_t code = DeleteStoreFiles(*nid, keep))
    logger_.Error(Format("Error [%d] reading favicon directory: %s", code, dir));
  return true;
}

void IconManager::RemoveIcon(IniFile& ini) {
  if (streams_.Supported()) streams_.Delete(StreamName(ini.path()));
  if (!ini.FindValue(kShortcut, kIconFileKey)) return;
  ini.DeleteValue(kShortcut, kIconIndexKey);
  ini.DeleteValue(kShortcut, kIconFileKey);
  ini.DeleteValue(kTarvex, kIconSourceKey);
  std::optional<std::string> nid = ini.FindValue(kTarvex, kNidKey);
  if (!nid || nid->empty()) return;
  if (uint32_t code = DeleteStoreFiles(*nid, {}))
    throw VelkException("windows", static_cast<int32_t>(code),
                        "error reading favicon directory: " + IconFilePath(*nid) + "*");
}

}  // namespace tarvex
