// The Favorites menu order stream (DecodeOrder), as the registry holds it.
// Whatever the bytes, decoding gives items or a clear error, never a crash
// or a hang; the items it gives, encoded again for each kind of system,
// decode to the same order, kinds and names.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ie/favorites/MenuOrder.h"
#include "ie/foundation/core/VelkException.h"
#include "text/Text.h"

namespace tarvex {
namespace {

using tarvex::fuzz::Check;

std::string Describe(const std::vector<OrderItem>& items) {
  std::string out;
  for (const OrderItem& item : items)
    out += Format("%u %s [%s]\n", item.order, item.isFolder ? "folder" : "file", item.name);
  return out;
}

}  // namespace

int TestOne(const uint8_t* data, size_t size) {
  std::vector<OrderItem> items;
  try {
    items = DecodeOrder(fuzz::Bytes(data, size));
  } catch (const VelkException&) {
    return 0;
  }
  std::vector<OrderEntry> entries;
  for (const OrderItem& item : items) {
    // A file that is no favorite matches nothing; it is written back as
    // nothing a favorite could be named.
    if (item.name.empty()) continue;
    OrderEntry entry;
    entry.order = item.order;
    entry.isFolder = item.isFolder;
    entry.name = item.name;
    entry.shortName = item.shortName;
    entries.push_back(entry);
  }
  std::vector<OrderItem> kept;
  for (const OrderItem& item : items)
    if (!item.name.empty()) kept.push_back(item);
  const std::string expected = Describe(kept);

  const OrderPlatform platforms[] = {{5, 1, "6.0"}, {6, 0, "7.0"}, {6, 1, "8.0"}, {10, 0, "11.0"}};
  for (const OrderPlatform& platform : platforms) {
    uint32_t n = 0;
    std::string stream = EncodeOrder(entries, platform, [&n] { return ++n * 2654435761u; });
    std::vector<OrderItem> again;
    try {
      again = DecodeOrder(stream);
    } catch (const VelkException& e) {
      fuzz::Broken("an encoded stream decodes", e.what() + std::string("\n") + expected);
    }
    Check(Describe(again) == expected, "a decoded stream encodes to one that decodes the same",
          Format("%u.%u: %s\nagain:\n%s", platform.major, platform.minor, expected,
                 Describe(again)));
  }
  return 0;
}

}  // namespace tarvex

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarvex::TestOne(data, size);
}
