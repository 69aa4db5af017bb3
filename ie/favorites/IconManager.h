// Favicons of the Favorites. A bookmark's `icon` attribute carries its
// favicon as a data URI ("data:image/x-icon;base64,..."), so icons travel
// with the bookmarks. Reading turns what the browser keeps for a .url file
// (a favicon stream, an icon file named in the file, or the site's
// favicon.ico in the browser's cache) into such a text. Writing stores a
// received icon as an .ico file in the "favicons" folder of the user folder
// and links it from the .url file (InternetShortcut IconFile and IconIndex).
//
// Rules that keep the store safe and small:
// - Only icons are read: an absolute path to a regular file (never a link,
//   FIFO or device) ending ".ico" that starts with an icon or PNG signature
//   and holds at most kMaxIconBytes. An address is never opened as a path.
// - Images that are not icons (PNG, JPEG, BMP, GIF, found by their content)
//   are converted in memory to a square icon of at most 256 pixels; a file is
//   written only when the conversion succeeded.
// - A node keeps one store file: a new icon replaces the node's earlier
//   files, and an icon whose decoded bytes equal the linked one (padding or
//   not), or whose source bytes were the ones converted last time, writes
//   nothing.
// - Store files of node N are named IconFilePath(N) + a generated id +
//   ".ico"; removal deletes exactly those names (case-sensitive), never the
//   files of a node whose id merely starts the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ie/foundation/IniFile.h"
#include "ie/foundation/Logger.h"
#include "platform/files/FileSystem.h"

namespace tarvex {

// The favicon stream a .url file may carry. This platform's file systems
// have no named streams, so the production version reports them unsupported.
class IconStreams {
 public:
  virtual ~IconStreams() = default;
  virtual bool Supported() const = 0;
  // The bytes of the stream, or nothing when it does not exist.
  virtual std::optional<std::string> Read(const std::string& streamName) = 0;
  virtual void Delete(const std::string& streamName) = 0;
  // No streams at all.
  static IconStreams& None();
};

// The browser's cache of downloaded files. There is none on this platform:
// the production version finds nothing.
class UrlCache {
 public:
  virtual ~UrlCache() = default;
  // The local file holding the cached copy of `url`, or nothing.
  virtual std::optional<std::string> LocalFileFor(const std::string& url) = 0;
  static UrlCache& None();
};

// Base64 with the standard alphabet, without padding or line breaks.
std::string Base64Encode(std::string_view bytes);
// Decodes Base64, skipping every character outside the standard alphabet
// (padding, white space); a NUL ends the input. Left-over bits of an
// incomplete last group are dropped.
std::string Base64Decode(std::string_view text);

// The parts of a data URI "data:<media type>[;params][;base64],<data>".
struct DataUri {
  std::string mediaType;  // lower case, without parameters
  bool base64 = false;
  std::string data;  // the text after the first comma
};
// Nothing when the text does not start with "data:" (any case) or has no
// comma.
std::optional<DataUri> ParseDataUri(std::string_view uri);

// The decoded bytes of a base64 image data URI, or nothing.
std::optional<std::string> IconBytesOf(std::string_view icon);
// True when both texts are image data URIs whose decoded bytes are equal.
bool SameIcon(std::string_view a, std::string_view b);

// Converts PNG, JPEG, BMP or GIF bytes to the bytes of an .ico file: a
// square of 16 to 256 pixels (the sizes the icon writer accepts) holding the
// image scaled to fit, centred on transparency; ICO bytes that decode are kept as they are.
// Logs why and yields nothing when the bytes are not such an image.
std::optional<std::string> ConvertToIcon(std::string_view bytes, Logger& logger);

class IconManager {
 public:
  static constexpr uint64_t kMaxIconBytes = 0x100000;
  static constexpr int kMinIconSide = 16;
  static constexpr int kMaxIconSide = 256;
  static constexpr std::string_view kIconUriPrefix = "data:image/x-icon;base64,";
  static constexpr std::string_view kStoreFolderName = "favicons";

  // `storeDir` is the folder of the stored icons; empty means the
  // "favicons" folder of the user folder, looked up at each use.
  IconManager(FileSystem& fs, Logger& logger, std::string storeDir = {},
              IconStreams& streams = IconStreams::None(), UrlCache& cache = UrlCache::None());
  IconManager(const IconManager&) = delete;
  IconManager& operator=(const IconManager&) = delete;

  // The process-wide instance, made on first use.
  static IconManager& Instance();

  // The icon text of an open .url file, or "" (reading never fails).
  std::string ReadIcon(const IniFile& ini);
  // Stores `icon` for the node of an open .url file and links it. Returns
  // true when the file links the icon afterwards (written now, or already
  // linked); false, with a log line and nothing written, when it cannot be
  // stored.
  bool WriteIconFile(IniFile& ini, std::string_view icon);
  // Removes the file's favicon stream and links, and the node's store files.
  // Throws VelkException("windows", ...) when the store cannot be listed.
  void RemoveIcon(IniFile& ini);
  // The icon text of an icon file, or "" (see the rules above).
  std::string ReadIconFile(const std::string& path);
  // The name of the file's favicon stream, or "" without streams.
  std::string StreamName(const std::string& path) const;
  // The common beginning of the paths of node `nid`'s store files.
  std::string IconFilePath(std::string_view nid) const;
  std::string StoreDir() const;

 private:
  // Deletes the node's store files except the one named `keep`; the listing
  // error, or 0.
  uint32_t DeleteStoreFiles(std::string_view nid, std::string_view keep);
  bool IsStoreFileOf(std::string_view nid, std::string_view path) const;

  FileSystem& fs_;
  Logger& logger_;
  std::string storeDir_;
  IconStreams& streams_;
  UrlCache& cache_;
};

}  // namespace tarvex
