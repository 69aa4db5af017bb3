// The browser's Favorites menu order: one REG_BINARY value "Order" per
// Favorites folder, under the HKCU key kMenuOrderKey below and one subkey per
// folder below it, named by the folder names from the top down. The value
// is a 20-byte header followed by one shell item record per entry of the
// folder, each carrying the entry's position in the folder.
//
// The codec (EncodeOrder, DecodeOrder) is pure; SetOrderFromRegistry and
// WriteOrder move positions between a tree and the registry.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ie/foundation/core/VelkException.h"
#include "platform/osfacts/OsFacts.h"
#include "platform/registry/Registry.h"

namespace tarvex {

class Logger;
class Node;
class NodeSet;
class Settings;
class UserPrompt;

inline constexpr std::string_view kMenuOrderKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\Favorites";
inline constexpr std::string_view kMenuOrderValue = "Order";

// The Windows version and the browser version (setting `ieversion`), which
// choose the record variant.
struct OrderPlatform {
  unsigned major = 6;
  unsigned minor = 1;
  std::string ieversion;

  static OrderPlatform From(const OsFacts& facts, std::string ieversion);
  bool IsVistaOrLater() const { return major > 5; }
  // 6.1 and every later version (10.0 included).
  bool IsWin7OrLater() const { return major > 6 || (major == 6 && minor >= 1); }
};

// The parts of a record that depend on the platform.
struct OrderFormat {
  uint16_t version = 3;         // the extension block's version field
  uint16_t base = 24;           // block length without the long name's characters
  std::string versionPart;      // the bytes after the block's access stamp
  uint32_t favoriteSize = 205;  // the file size written for a favorite
};
OrderFormat OrderFormatFor(const OrderPlatform& platform);

// A rand()-like draw; the item stamps are built from it. Tests fix it.
using OrderDraw = std::function<uint32_t()>;
// A draw seeded once from the clock.
OrderDraw DefaultOrderDraw();
// The item's 32-bit stamp: four draws, each taken modulo 255 and shifted in
// from the right, so the low byte is 0.
uint32_t MakeOrderStamp(const OrderDraw& draw);

// One entry to write.
struct OrderEntry {
  uint32_t order = 0;
  bool isFolder = false;
  std::string name;           // without ".url"
  std::string shortName;      // the 8.3 name; empty when the file system has none
  std::string localizedName;  // the Links folder's resource name, else empty
};

// Encodes the entries in the order given.
std::string EncodeOrder(const std::vector<OrderEntry>& entries, const OrderPlatform& platform,
                        const OrderDraw& draw);

// One entry read back.
struct OrderItem {
  uint32_t order = 0;
  bool isFolder = false;
  uint32_t datetime = 0;
  std::string shortName;
  std::string longName;  // as stored, with its extension
  // The name to match: a folder's long name, a favorite's long name without
  // ".url"; empty for a file that is not a favorite (it matches nothing).
  std::string name;
};

// Decodes a whole value; an empty value holds no items. A malformed value
// throws VelkException ("internal", -10 or -12) naming what is wrong. Items
// whose record variant is unknown are passed over.
std::vector<OrderItem> DecodeOrder(std::string_view bytes);

// The sort order of the items in a stream: folders first, then the
// upper-cased names in natural order (numbers by value); the toolbar folder
// (`tnid`) sorts under `potentialLinksName`.
struct OrderItemLess {
  struct Key {
    std::string id;
    std::string name;
    bool isFolder = false;
  };
  std::string tnid;
  std::string potentialLinksName = "Links";
  bool operator()(const Key& a, const Key& b) const;
};
// Natural-order compare: digit runs by value, other text without regard to
// ASCII case, and a final tie-break on the raw code units. <0, 0 or >0.
int NaturalCompare(std::string_view a, std::string_view b);

// What a writer knows about an entry on disk.
struct OrderDiskEntry {
  std::string name;  // on-disk name, without ".url"
  std::string shortName;
  std::string localizedName;
};

struct MenuOrderContext {
  MenuOrderContext(Registry& registry, OrderPlatform platform, OrderDraw draw = DefaultOrderDraw())
      : registry(registry), platform(std::move(platform)), draw(std::move(draw)) {}

  Registry& registry;
  OrderPlatform platform;
  OrderDraw draw;
  std::string tnid;
  std::string potentialLinksName = "Links";
  // Reading: asked when a subfolder's order fails; false ends the read with
  // that error. Unset: every error ends the read.
  std::function<bool(const VelkException&)> askContinue;
  // Writing: the disk entry of a tree node; nothing skips the node. Unset:
  // the node's own name, no short or localized name.
  std::function<std::optional<OrderDiskEntry>(const Node&)> diskEntry;
  // Writing: nodes that sit in `folder` on disk though their tree parent is
  // another folder (the toolbar folder); they follow the folder's children.
  std::function<std::vector<std::pair<std::string, OrderDiskEntry>>(const Node& folder)>
      extraChildren;
  Logger* logger = nullptr;
  int logLevel = 2;
};

// Applies the stored order to `folder` and its subfolders. A folder without
// a key or a value keeps its order, and its subfolders are still read.
void SetOrderFromRegistry(NodeSet& set, const std::string& keyPath, Node& folder,
                          MenuOrderContext& context);

// Numbers the folder's children by their place, writes the folder's value
// and those of its subfolders.
void WriteOrder(NodeSet& set, const std::string& folderId, const std::string& keyPath,
                MenuOrderContext& context);

// The question asked when a folder's order could not be read: true to go on.
// The setting `ignorereordererror` answers without asking; otherwise the
// answer is kept for this run (and stored when "Don't ask again" is checked).
bool AskContinueAfterOrderError(Settings& settings, UserPrompt& prompt);

}  // namespace tarvex
