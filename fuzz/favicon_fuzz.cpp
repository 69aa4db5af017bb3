// Favicons: data addresses (ParseDataUri, IconBytesOf, SameIcon), images
// turned into icons through FreeImage (ConvertToIcon) and icon files read
// from disk (IconManager::ReadIconFile). Whatever the bytes, nothing
// crashes; Base64 reads back what it wrote; an icon made from an image is
// an icon of the allowed size that converts to itself; an icon file read is
// a data address of exactly the file's bytes.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "ie/favorites/IconManager.h"
#include "ie/foundation/Logger.h"
#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"

namespace tarvex {
namespace {

using tarvex::fuzz::Check;

struct Services {
  std::string dir = fuzz::WorkDir();
  FakeClock clock{1796858716};
  Logger logger{dir + "/tarvex.log", FileSystem::Native(), clock};
  IconManager icons{FileSystem::Native(), logger, dir + "/favicons"};
};

Services& Shared() {
  static Services* services = new Services;
  return *services;
}

}  // namespace

int TestOne(const uint8_t* data, size_t size) {
  Services& s = Shared();
  const std::string bytes(fuzz::Bytes(data, size));

  Check(Base64Decode(Base64Encode(bytes)) == bytes, "Base64 reads back what it wrote");

  // The input as the icon attribute of a bookmark.
  if (auto uri = ParseDataUri(bytes)) {
    Check(bytes.size() >= 5, "a data address starts with its scheme");
    Check(uri->data.size() < bytes.size(), "a data address's data follows its comma");
  }
  if (auto decoded = IconBytesOf(bytes)) {
    Check(SameIcon(bytes, bytes), "an icon is the same as itself");
    const std::string again = std::string(IconManager::kIconUriPrefix) + Base64Encode(*decoded);
    Check(SameIcon(bytes, again), "an icon is the same as its bytes written again");
  }

  // The input as image bytes received for a bookmark.
  if (auto icon = ConvertToIcon(bytes, s.logger)) {
    Check(!icon->empty() && icon->size() <= IconManager::kMaxIconBytes,
          "an icon made is of the allowed size");
    auto again = ConvertToIcon(*icon, s.logger);
    Check(again.has_value() && *again == *icon, "an icon made converts to itself");
  }

  // The input as an icon file a shortcut names.
  const std::string path = s.dir + "/input.ico";
  fuzz::WriteBytes(path, bytes);
  std::string read = s.icons.ReadIconFile(path);
  if (!read.empty()) {
    auto decoded = IconBytesOf(read);
    Check(decoded.has_value() && *decoded == bytes, "an icon file reads as its own bytes", read);
  }
  return 0;
}

}  // namespace tarvex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarvex::TestOne(data, size);
}
