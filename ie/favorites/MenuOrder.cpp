#include "ie/favorites/MenuOrder.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <random>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/UserInteraction.h"
#include "text/Text.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "platform/Win32Error.h"

namespace tarvex {
namespace {

constexpr uint8_t kKindFolder = 0x31;
constexpr uint8_t kKindFile = 0x32;
constexpr uint16_t kAttrFolder = 0x10;
constexpr uint16_t kAttrLocalizedFolder = 0x11;
constexpr uint16_t kAttrFile = 0x20;
// Length, order, the fixed record fields, the smallest short name (a 0 and
// its pad), the fixed block fields, the smallest version part, an empty
// long name, the block offset and the closing zeros.
constexpr size_t kMinItemSize = 4 + 4 + 14 + 2 + 16 + 4 + 2 + 2 + 6;
constexpr std::string_view kUrlExtension = ".url";
constexpr std::string_view kSignature{"\x04\x00\xEF\xBE", 4};

[[noreturn]] void Malformed(std::string_view message) {
  throw VelkException("internal", kErrGeneral, message);
}

void Log(const MenuOrderContext& context, std::string_view text) {
  if (context.logger) context.logger->Log(text);
}

std::string BytesAsNumbers(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) out += Format("%d ", c);
  return out;
}

// ---- Writing ---------------------------------------------------------------

void AppendLittleEndian(std::string& out, uint32_t value, size_t count) {
  for (size_t i = 0; i < count; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void PatchLittleEndian(std::string& out, size_t at, uint32_t value, size_t count) {
  for (size_t i = 0; i < count; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// One low byte per UTF-16 unit, a 0, and a pad 0 to an even length.
void AppendNarrowText(std::string& out, std::string_view text) {
  size_t count = 0;
  for (char16_t unit : Utf8ToUtf16(text)) {
    out.push_back(static_cast<char>(unit & 0xFF));
    ++count;
  }
  out.push_back('\0');
  if ((count + 1) % 2 != 0) out.push_back('\0');
}

// UTF-16LE and a 0 unit.
void AppendWideText(std::string& out, std::string_view text) {
  for (char16_t unit : Utf8ToUtf16(text)) AppendLittleEndian(out, unit, 2);
  AppendLittleEndian(out, 0, 2);
}

void AppendItem(std::string& out, const OrderEntry& entry, const OrderFormat& format,
                uint32_t stamp) {
  const size_t itemStart = out.size();
  AppendLittleEndian(out, 0, 4);  // item length, patched below
  AppendLittleEndian(out, entry.order, 4);
  const size_t recordStart = out.size();
  AppendLittleEndian(out, 0, 2);  // record length, patched below
  out.push_back(static_cast<char>(entry.isFolder ? kKindFolder : kKindFile));
  out.push_back('\0');
  AppendLittleEndian(out, entry.isFolder ? 0 : format.favoriteSize, 4);
  AppendLittleEndian(out, stamp, 4);
  uint16_t attributes = kAttrFile;
  if (entry.isFolder) attributes = entry.localizedName.empty() ? kAttrFolder : kAttrLocalizedFolder;
  AppendLittleEndian(out, attributes, 2);

  const std::string longName =
      entry.isFolder ? entry.name : entry.name + std::string(kUrlExtension);
  AppendNarrowText(out, entry.shortName.empty() ? longName : entry.shortName);

  const size_t blockStart = out.size();
  AppendLittleEndian(out, 0, 2);  // block length, patched below
  AppendLittleEndian(out, format.version, 2);
  out.append(kSignature);
  AppendLittleEndian(out, stamp, 4);
  AppendLittleEndian(out, stamp, 4);
  out.append(format.versionPart);
  AppendWideText(out, longName);
  if (!entry.localizedName.empty()) AppendWideText(out, entry.localizedName);
  AppendLittleEndian(out, static_cast<uint32_t>(blockStart - recordStart), 2);
  // The block length counts every byte of the block, the offset included.
  PatchLittleEndian(out, blockStart, static_cast<uint32_t>(out.size() - blockStart), 2);
  out.append(6, '\0');

  const uint32_t itemLength = static_cast<uint32_t>(out.size() - itemStart);
  PatchLittleEndian(out, itemStart, itemLength, 4);
  PatchLittleEndian(out, recordStart, itemLength - 14, 2);
}

// ---- Reading ---------------------------------------------------------------

// A bounded reader over one stream; every read checks what is left.
class Reader {
 public:
  Reader(std::string_view bytes, size_t pos, size_t end) : bytes_(bytes), pos_(pos), end_(end) {}

  size_t pos() const { return pos_; }
  void Seek(size_t pos) { pos_ = pos; }

  void Expect(std::string_view expected) {
    if (end_ - pos_ < expected.size()) Malformed("too few bytes remaining");
    if (bytes_.substr(pos_, expected.size()) != expected)
      Malformed("actual bytes don't match expected");
    pos_ += expected.size();
  }
  void Skip(size_t count) {
    if (end_ - pos_ < count) Malformed("too few bytes remaining");
    pos_ += count;
  }
  uint32_t ReadLittleEndian(size_t count) {
    if (end_ - pos_ < count) Malformed("not enough bytes to build an int");
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i)
      value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes_[pos_ + i])) << (8 * i);
    pos_ += count;
    return value;
  }
  uint8_t Peek() const {
    if (pos_ >= end_) Malformed("too few bytes remaining");
    return static_cast<uint8_t>(bytes_[pos_]);
  }
  // UTF-16LE units up to a 0 unit, which must come before the end.
  std::string ReadWideText() {
    std::u16string text;
    while (true) {
      if (end_ - pos_ < 2) Malformed("text in registry item has no terminating zero");
      char16_t unit = static_cast<char16_t>(ReadLittleEndian(2));
      if (unit == 0) break;
      text.push_back(unit);
    }
    return Utf16ToUtf8Whole(text);
  }
  // One byte per character up to a 0 byte or the end (a short name made from
  // a long one may hold zero bytes of its own; only the block offset tells
  // where the record goes on).
  std::string ReadNarrowText() {
    std::string text;
    while (pos_ < end_ && bytes_[pos_] != '\0')
      AppendUtf8(text, static_cast<unsigned char>(bytes_[pos_++]));
    return text;
  }

 private:
  std::string_view bytes_;
  size_t pos_;
  size_t end_;
};

void ParseOrderHeader(Reader& reader, size_t length) {
  reader.Expect(std::string_view("\x08\x00\x00\x00\x02\x00\x00\x00", 8));
  uint32_t declared = reader.ReadLittleEndian(4);
  if (static_cast<uint64_t>(declared) + 8 != length)
    Malformed("header size doesn't match computed value");
  reader.Expect(std::string_view("\x01\x00\x00\x00", 4));
  reader.ReadLittleEndian(4);  // the count; the items say how many there are
}

// Reads the item at the reader's position and moves past it. Returns nothing
// for an item of a record variant this reader does not know.
std::optional<OrderItem> ParseOrderItem(std::string_view bytes, Reader& outer) {
  const size_t itemStart = outer.pos();
  const uint32_t length = outer.ReadLittleEndian(4);
  if (length < kMinItemSize) Malformed("registry item is shorter than the smallest item");
  if (static_cast<uint64_t>(itemStart) + length > bytes.size())
    Malformed("registry buffer doesn't have enough space for item");
  const size_t itemEnd = itemStart + length;
  outer.Seek(itemEnd);

  // The record runs to the 6 closing bytes; its last 2 bytes give the block.
  const size_t recordStart = itemStart + 8;
  const size_t recordEnd = itemEnd - 6;
  Reader reader(bytes, itemStart + 4, recordEnd);
  OrderItem item;
  item.order = reader.ReadLittleEndian(4);
  reader.Skip(2);  // record length
  item.isFolder = reader.Peek() == kKindFolder;
  reader.Skip(2);
  reader.Skip(4);  // file size
  item.datetime = reader.ReadLittleEndian(4);
  reader.Skip(2);  // attributes
  const size_t shortStart = reader.pos();

  Reader tail(bytes, recordEnd - 2, recordEnd);
  const size_t blockStart = recordStart + tail.ReadLittleEndian(2);
  if (blockStart < shortStart || blockStart + 2 > recordEnd - 2)
    Malformed("registry item's block offset is out of range");
  item.shortName = Reader(bytes, shortStart, blockStart).ReadNarrowText();

  Reader block(bytes, blockStart, recordEnd - 2);
  block.Skip(4);  // block length and version
  block.Expect(kSignature);
  block.Skip(8);  // created and accessed
  switch (block.Peek()) {
    case 0x14:
      block.Skip(4);
      break;
    case 0x26:
      block.Skip(22);
      break;
    case 0x2A:
      block.Skip(26);
      break;
    default:
      return std::nullopt;
  }
  item.longName = block.ReadWideText();
  if (item.isFolder) {
    item.name = item.longName;
  } else {
    const size_t dot = item.longName.rfind('.');
    if (dot != std::string::npos &&
        EqualsIgnoreAsciiCase(std::string_view(item.longName).substr(dot), kUrlExtension))
      item.name = item.longName.substr(0, dot);
  }
  return item;
}

// ---- Natural order ---------------------------------------------------------

bool IsDigit(char32_t c) {
  return c >= '0' && c <= '9';
}
char32_t FoldAscii(char32_t c) {
  return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

std::u32string CodePoints(std::string_view text) {
  std::u32string out;
  for (size_t pos = 0; pos < text.size();) out.push_back(DecodeUtf8(text, pos));
  return out;
}

}  // namespace

// ---- Platform variants ---------------------------------------------------------

OrderPlatform OrderPlatform::From(const OsFacts& facts, std::string ieversion) {
  OrderPlatform platform;
  platform.major = facts.version.ok ? facts.version.major : 0;
  platform.minor = facts.version.ok ? facts.version.minor : 0;
  platform.ieversion = std::move(ieversion);
  return platform;
}

OrderFormat OrderFormatFor(const OrderPlatform& platform) {
  const bool ie9 = StartsWith(platform.ieversion, "9");
  const bool ie8 = StartsWith(platform.ieversion, "8");
  OrderFormat format;
  format.favoriteSize = (ie8 || ie9) ? 132 : 205;
  format.version = (ie9 || platform.IsWin7OrLater()) ? 8 : ie8 ? 7 : 3;
  static const std::string kIe9Part =
      std::string("\x2A\x00\x00\x00\x7C\xF7\x06\x00\x00\x00\x01", 11) + std::string(15, '\0');
  static const std::string kWin7Part =
      std::string("\x2A\x00\x00\x00\x4E\x53\x03\x00\x00\x00\x01", 11) + std::string(15, '\0');
  static const std::string kVistaIe8Part =
      std::string("\x26\x00\x00\x00\xAD\xCD\x04\x00\x00\x00\x93", 11) + std::string(11, '\0');
  static const std::string kPlainPart("\x14\x00\x00\x00", 4);
  if (ie9)
    format.versionPart = kIe9Part;
  else if (platform.IsWin7OrLater())
    format.versionPart = kWin7Part;
  else if (platform.IsVistaOrLater() && ie8)
    format.versionPart = kVistaIe8Part;
  else
    format.versionPart = kPlainPart;
  // The block: length, version, signature, two stamps, the version part, the
  // long name's 0 unit and the block offset.
  format.base = static_cast<uint16_t>(2 + 2 + 4 + 4 + 4 + format.versionPart.size() + 2 + 2);
  return format;
}

OrderDraw DefaultOrderDraw() {
  auto engine = std::make_shared<std::mt19937>(
      static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  return [engine] { return static_cast<uint32_t>((*engine)() & 0x7FFFFFFF); };
}

uint32_t MakeOrderStamp(const OrderDraw& draw) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value + draw() % 255) << 8;
  return value;
}

// ---- Codec -----------------------------------------------------------------

std::string EncodeOrder(const std::vector<OrderEntry>& entries, const OrderPlatform& platform,
                        const OrderDraw& draw) {
  const OrderFormat format = OrderFormatFor(platform);
  std::string out;
  AppendLittleEndian(out, 8, 4);
  AppendLittleEndian(out, 2, 4);
  AppendLittleEndian(out, 0, 4);  // length, patched below
  AppendLittleEndian(out, 1, 4);
  AppendLittleEndian(out, static_cast<uint32_t>(entries.size()), 4);
  for (const OrderEntry& entry : entries) AppendItem(out, entry, format, MakeOrderStamp(draw));
  PatchLittleEndian(out, 8, static_cast<uint32_t>(out.size() - 8), 4);
  return out;
}

std::vector<OrderItem> DecodeOrder(std::string_view bytes) {
  std::vector<OrderItem> items;
  if (bytes.empty()) return items;
  Reader reader(bytes, 0, bytes.size());
  ParseOrderHeader(reader, bytes.size());
  while (reader.pos() < bytes.size()) {
    // Each pass moves forward by at least the smallest item.
    if (std::optional<OrderItem> item = ParseOrderItem(bytes, reader)) items.push_back(*item);
  }
  return items;
}

int NaturalCompare(std::string_view a, std::string_view b) {
  const std::u32string x = CodePoints(a), y = CodePoints(b);
  size_t i = 0, j = 0;
  while (i < x.size() && j < y.size()) {
    if (IsDigit(x[i]) && IsDigit(y[j])) {
      size_t si = i, sj = j;
      while (i < x.size() && IsDigit(x[i])) ++i;
      while (j < y.size() && IsDigit(y[j])) ++j;
      size_t zi = si, zj = sj;
      while (zi < i && x[zi] == '0') ++zi;
      while (zj < j && y[zj] == '0') ++zj;
      if (i - zi != j - zj) return (i - zi) < (j - zj) ? -1 : 1;
      for (size_t k = 0; k < i - zi; ++k)
        if (x[zi + k] != y[zj + k]) return x[zi + k] < y[zj + k] ? -1 : 1;
      // Equal values: fewer leading zeros first.
      if (zi - si != zj - sj) return (zi - si) < (zj - sj) ? -1 : 1;
      continue;
    }
    const char32_t cx = FoldAscii(x[i]), cy = FoldAscii(y[j]);
    if (cx != cy) return cx < cy ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < x.size() || j < y.size()) return i < x.size() ? 1 : -1;
  return CompareUtf16(a, b) < 0 ? -1 : CompareUtf16(a, b) > 0 ? 1 : 0;
}

bool OrderItemLess::operator()(const Key& a, const Key& b) const {
  if (a.isFolder != b.isFolder) return a.isFolder;
  const std::string& nameA = (!tnid.empty() && a.id == tnid) ? potentialLinksName : a.name;
  const std::string& nameB = (!tnid.empty() && b.id == tnid) ? potentialLinksName : b.name;
  int c = NaturalCompare(nameA, nameB);
  if (c != 0) return c < 0;
  return CompareUtf16(a.id, b.id) < 0;
}

// ---- Registry --------------------------------------------------------------

void SetOrderFromRegistry(NodeSet& set, const std::string& keyPath, Node& folder,
                          MenuOrderContext& context) {
  Log(context, Format("Setting order from registry for %s", keyPath));
  Registry& registry = context.registry;
  if (registry.KeyExists(Hive::CurrentUser, keyPath) == 0) {
    Registry::Value value;
    uint32_t err = registry.ReadValue(Hive::CurrentUser, keyPath, kMenuOrderValue,
                                      std::numeric_limits<size_t>::max(), &value);
    if (err != 0) {
      Log(context, "Order key not found");
      if (err != win32::ERROR_FILE_NOT_FOUND)
        throw VelkException("windows", static_cast<int32_t>(err),
                            "error opening Order key for size check: " + keyPath);
    } else {
      if (context.logLevel > 2) Log(context, "Order string:" + BytesAsNumbers(value.data));
      for (const OrderItem& item : DecodeOrder(value.data)) {
        if (item.name.empty() || item.order > static_cast<uint32_t>(INT32_MAX)) continue;
        Node* child = folder.FindChildByName(item.name, item.isFolder, set);
        if (!child && folder.HasChild(item.name))
          child = set.GetNode(item.name, true, false, true, "native28");
        if (child) {
          // The copy in this set, so the sort below sees the position.
          child = set.GetNode(child->GetID(), true, false, true, "native28");
          child->SetPosition(static_cast<int>(item.order));
        }
      }
      set.SortNodeChildren(1, folder);
    }
  }
  // Subfolders are read even when this folder has no stored order.
  const std::vector<std::string> children = folder.RawChildren();
  for (const std::string& id : children) {
    Node* child = set.GetNode(id, true, false, true, "native5");
    if (!child->IsFolder()) continue;
    try {
      SetOrderFromRegistry(set, keyPath + "\\" + child->GetAttr(keys::kName), *child, context);
    } catch (const VelkException& error) {
      if (!context.askContinue || !context.askContinue(error)) throw;
    }
  }
}

void WriteOrder(NodeSet& set, const std::string& folderId, const std::string& keyPath,
                MenuOrderContext& context) {
  Log(context, Format("Writing order string for folder: %s", folderId));
  Node& folder = *set.GetNode(folderId, true, false, true, "native6");
  set.RewriteChildNodeOrder(folder);

  struct Pending {
    OrderItemLess::Key key;
    OrderEntry entry;
  };
  std::vector<Pending> pending;
  const std::vector<std::string> children = folder.RawChildren();
  for (const std::string& id : children) {
    const Node* child = set.GetNode(id, false, true, true, "native8");
    if (!child) continue;
    std::optional<OrderDiskEntry> disk;
    if (context.diskEntry)
      disk = context.diskEntry(*child);
    else
      disk = OrderDiskEntry{child->GetAttr(keys::kName), {}, {}};
    if (!disk) continue;
    Log(context, Format("Creating registry string for node: %s", id));
    Log(context, Format("Getting file info for: %s", child->GetAttr(keys::kName)));
    Pending p;
    p.key = {id, disk->name, child->IsFolder()};
    p.entry.order = static_cast<uint32_t>(std::max(child->GetPosition(), 0));
    p.entry.isFolder = child->IsFolder();
    p.entry.name = disk->name;
    p.entry.shortName = disk->shortName;
    p.entry.localizedName = disk->localizedName;
    pending.push_back(std::move(p));
  }
  if (context.extraChildren) {
    uint32_t next = static_cast<uint32_t>(children.size());  // the next free position
    for (auto& [id, disk] : context.extraChildren(folder)) {
      const Node* child = set.GetNode(id, false, true, true, "native8");
      if (!child) continue;
      Log(context, Format("Creating registry string for node: %s", id));
      Pending p;
      p.key = {id, disk.name, child->IsFolder()};
      p.entry.order = next++;
      p.entry.isFolder = child->IsFolder();
      p.entry.name = disk.name;
      p.entry.shortName = disk.shortName;
      p.entry.localizedName = disk.localizedName;
      pending.push_back(std::move(p));
    }
  }
  OrderItemLess less{context.tnid, context.potentialLinksName};
  std::stable_sort(pending.begin(), pending.end(),
                   [&](const Pending& a, const Pending& b) { return less(a.key, b.key); });
  std::vector<OrderEntry> entries;
  for (const Pending& p : pending) entries.push_back(p.entry);
  const std::string stream = EncodeOrder(entries, context.platform, context.draw);
  if (context.logLevel > 2) {
    Log(context, BytesAsNumbers(stream));
    Log(context, "Output Order string");
  }

  Registry& registry = context.registry;
  if (uint32_t err = registry.CreateKey(Hive::CurrentUser, keyPath))
    throw VelkException("windows", static_cast<int32_t>(err),
                        "couldn't open registry path: " + keyPath);
  if (uint32_t err =
          registry.WriteValue(Hive::CurrentUser, keyPath, kMenuOrderValue, REG_BINARY, stream))
    throw VelkException("windows", static_cast<int32_t>(err),
                        "couldn't write Order registry key for: " + keyPath);

  for (const Pending& p : pending)
    if (p.entry.isFolder) WriteOrder(set, p.key.id, keyPath + "\\" + p.entry.name, context);
}

bool AskContinueAfterOrderError(Settings& settings, UserPrompt& prompt) {
  constexpr std::string_view kKey = "ignorereordererror";
  if (settings.HasValue(kKey)) return settings.GetBool(kKey, true);
  bool checked = false;
  const int button = prompt.Ask(
      "Oops! Tarvex was reading your Favorites and detected that the order for some items could "
      "be incorrect. Should Tarvex continue, or cancel and undo all changes?",
      kButtonCancel, kButtonContinue, kButtonHidden, "Don't ask again", &checked);
  const bool answer = button == kButtonContinue;
  // "Cancel" is never stored for good: it would refuse every later read.
  settings.SetBool(kKey, answer, checked && answer);
  return answer;
}

}  // namespace tarvex
