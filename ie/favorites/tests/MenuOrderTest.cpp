#include <gtest/gtest.h>

#include <random>

#include "ie/favorites/MenuOrder.h"
#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/testing/FakeUserInteraction.h"
#include "text/Text.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

std::string Hex(std::string_view bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i % 16 == 0) out += Format("%s%04x:", i ? "\n" : "", i);
    out += Format(" %02x", static_cast<unsigned char>(bytes[i]));
  }
  return out;
}

// A draw whose stamps are all 0x11223300: the first of four draws is shifted
// out of the 32 bits.
OrderDraw FixedDraw() {
  auto n = std::make_shared<int>(0);
  return [n] {
    static const uint32_t seq[] = {0x99, 0x11, 0x22, 0x33};
    return seq[(*n)++ % 4];
  };
}

OrderPlatform Win7Ie8() {
  return {6, 1, "8.0"};
}

TEST(MenuOrderCodec, GoldenStreamByteForByte) {
  const std::string expected =
      "0000: 08 00 00 00 02 00 00 00 c8 00 00 00 01 00 00 00\n"
      "0010: 02 00 00 00 58 00 00 00 01 00 00 00 4a 00 31 00\n"
      "0020: 00 00 00 00 00 33 22 11 10 00 4e 65 77 73 00 00\n"
      "0030: 36 00 08 00 04 00 ef be 00 33 22 11 00 33 22 11\n"
      "0040: 2a 00 00 00 4e 53 03 00 00 00 01 00 00 00 00 00\n"
      "0050: 00 00 00 00 00 00 00 00 00 00 4e 00 65 00 77 00\n"
      "0060: 73 00 00 00 14 00 00 00 00 00 00 00 64 00 00 00\n"
      "0070: 00 00 00 00 56 00 32 00 84 00 00 00 00 33 22 11\n"
      "0080: 20 00 53 69 74 65 2e 75 72 6c 00 00 3e 00 08 00\n"
      "0090: 04 00 ef be 00 33 22 11 00 33 22 11 2a 00 00 00\n"
      "00a0: 4e 53 03 00 00 00 01 00 00 00 00 00 00 00 00 00\n"
      "00b0: 00 00 00 00 00 00 53 00 69 00 74 00 65 00 2e 00\n"
      "00c0: 75 00 72 00 6c 00 00 00 18 00 00 00 00 00 00 00";
  std::vector<OrderEntry> entries = {{1, true, "News", "", ""}, {0, false, "Site", "", ""}};
  std::string stream = EncodeOrder(entries, Win7Ie8(), FixedDraw());
  EXPECT_EQ(Hex(stream), expected);

  std::vector<OrderItem> items = DecodeOrder(stream);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].name, "News");
  EXPECT_TRUE(items[0].isFolder);
  EXPECT_EQ(items[0].order, 1u);
  EXPECT_EQ(items[0].datetime, 0x11223300u);
  EXPECT_EQ(items[1].name, "Site");
  EXPECT_EQ(items[1].longName, "Site.url");
  EXPECT_EQ(items[1].shortName, "Site.url");
  EXPECT_FALSE(items[1].isFolder);
  EXPECT_EQ(items[1].order, 0u);
}

TEST(MenuOrderCodec, FormatByWindowsAndBrowserVersion) {
  struct Case {
    unsigned major, minor;
    const char* ie;
    uint16_t version, base;
    size_t partSize;
    uint8_t part0, part4;
    uint32_t fileSize;
  } cases[] = {
      {5, 1, "7", 3, 24, 4, 0x14, 0, 205},       {5, 1, "8.0", 7, 24, 4, 0x14, 0, 132},
      {5, 1, "9.0", 8, 46, 26, 0x2A, 0x7C, 132}, {6, 0, "7", 3, 24, 4, 0x14, 0, 205},
      {6, 0, "8.0", 7, 42, 22, 0x26, 0xAD, 132}, {6, 0, "9.0", 8, 46, 26, 0x2A, 0x7C, 132},
      {6, 1, "7", 8, 46, 26, 0x2A, 0x4E, 205},   {6, 1, "8.0", 8, 46, 26, 0x2A, 0x4E, 132},
      {6, 1, "9.0", 8, 46, 26, 0x2A, 0x7C, 132}, {6, 2, "8.0", 8, 46, 26, 0x2A, 0x4E, 132},
      {10, 0, "", 8, 46, 26, 0x2A, 0x4E, 205},   {10, 0, "9.0", 8, 46, 26, 0x2A, 0x7C, 132},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Format("%u.%u ie '%s'", c.major, c.minor, c.ie));
    OrderPlatform platform{c.major, c.minor, c.ie};
    OrderFormat f = OrderFormatFor(platform);
    EXPECT_EQ(f.version, c.version);
    EXPECT_EQ(f.base, c.base);
    ASSERT_EQ(f.versionPart.size(), c.partSize);
    EXPECT_EQ(static_cast<uint8_t>(f.versionPart[0]), c.part0);
    EXPECT_EQ(static_cast<uint8_t>(f.versionPart[4]), c.part4);
    EXPECT_EQ(f.favoriteSize, c.fileSize);

    // The written item agrees: file size, version, block length base + 2n.
    std::string s = EncodeOrder({{0, false, "ab", "", ""}}, platform, FixedDraw());
    auto u16 = [&](size_t at) {
      return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                                   static_cast<unsigned char>(s[at + 1]) << 8);
    };
    const size_t record = 20 + 8, block = record + 14 + 8;  // "ab.url" + 0 + pad
    EXPECT_EQ(u16(record + 4), c.fileSize);
    EXPECT_EQ(u16(block), c.base + 2 * 6);
    EXPECT_EQ(u16(block + 2), c.version);
    ASSERT_EQ(DecodeOrder(s).size(), 1u);
    EXPECT_EQ(DecodeOrder(s)[0].name, "ab");
  }
}

TEST(MenuOrderCodec, RoundTripKeepsNamesKindsAndOrders) {
  const std::vector<OrderEntry> entries = {
      {3, true, "新闻", "", ""},
      {0, false, "Новости дня", "", ""},
      {1, false, "Emoji \xF0\x9F\x98\x80 site", "", ""},  // beyond U+FFFF
      {2, false, "\xC4\x80 low byte zero", "", ""},       // U+0100
      {4, true, "Links", "", "@C:\\Windows\\System32\\ieframe.dll,-12385"},
      {5, false, "Site", "SITE~1.URL", ""},
  };
  for (OrderPlatform platform :
       {OrderPlatform{5, 1, "7"}, OrderPlatform{5, 1, "8.0"}, OrderPlatform{6, 0, "7"},
        OrderPlatform{6, 0, "8.0"}, OrderPlatform{6, 1, "9.0"}}) {
    SCOPED_TRACE(Format("%u.%u %s", platform.major, platform.minor, platform.ieversion));
    std::vector<OrderItem> items = DecodeOrder(EncodeOrder(entries, platform, FixedDraw()));
    ASSERT_EQ(items.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(items[i].name, entries[i].name);
      EXPECT_EQ(items[i].isFolder, entries[i].isFolder);
      EXPECT_EQ(items[i].order, entries[i].order);
    }
  }
  // The localized item's block length counts every byte of its block.
  std::string s = EncodeOrder({entries[4]}, Win7Ie8(), FixedDraw());
  const size_t block = 20 + 8 + 14 + 6;
  const size_t blockLength =
      static_cast<unsigned char>(s[block]) | static_cast<unsigned char>(s[block + 1]) << 8;
  EXPECT_EQ(blockLength, s.size() - 6 - block);
  EXPECT_EQ(static_cast<unsigned char>(s[20 + 8 + 12]), 0x11);  // localized folder attribute
}

TEST(MenuOrderCodec, SeededRandomNamesRoundTrip) {
  std::mt19937 rng(20240607);
  const char32_t pool[] = {'a',   'Z',    '0',    '.',    ' ',     '~',     0xE9,   0x100,
                           0x400, 0x4E00, 0x3000, 0xFF01, 0x1F600, 0x10000, 0x2000B};
  for (int round = 0; round < 200; ++round) {
    std::vector<OrderEntry> entries;
    const int count = static_cast<int>(rng() % 6);
    for (int i = 0; i < count; ++i) {
      OrderEntry e;
      e.order = rng() % 1000;
      e.isFolder = rng() % 2;
      const int len = 1 + static_cast<int>(rng() % 40);
      for (int k = 0; k < len; ++k) AppendUtf8(e.name, pool[rng() % std::size(pool)]);
      entries.push_back(e);
    }
    OrderPlatform platform{5 + static_cast<unsigned>(rng() % 2), static_cast<unsigned>(rng() % 3),
                           std::string(1, "789"[rng() % 3])};
    auto seed = std::make_shared<std::mt19937>(rng());
    std::vector<OrderItem> items =
        DecodeOrder(EncodeOrder(entries, platform, [seed] { return (*seed)(); }));
    ASSERT_EQ(items.size(), entries.size()) << round;
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(items[i].name, entries[i].name) << round;
      EXPECT_EQ(items[i].order, entries[i].order) << round;
      EXPECT_EQ(items[i].isFolder, entries[i].isFolder) << round;
      EXPECT_EQ(items[i].datetime & 0xFF, 0u);
    }
  }
}

TEST(MenuOrderCodec, MalformedStreamsNameTheirFault) {
  const std::string good = EncodeOrder({{0, false, "Site", "", ""}}, Win7Ie8(), FixedDraw());
  auto with = [&](size_t at, std::string_view bytes) {
    std::string s = good;
    s.replace(at, bytes.size(), bytes);
    return s;
  };
  auto setLength = [](std::string s) {  // keeps the header consistent
    uint32_t n = static_cast<uint32_t>(s.size() - 8);
    for (int i = 0; i < 4; ++i) s[8 + i] = static_cast<char>(n >> (8 * i));
    return s;
  };
  const size_t item = 20;
  const size_t block = item + 8 + 14 + 10;
  const size_t nameEnd = block + 16 + 26 + 16;  // the long name's 0 unit
  struct Case {
    const char* what;
    std::string bytes;
    const char* message;
  } cases[] = {
      {"short header", good.substr(0, 6), "too few bytes remaining"},
      {"wrong magic", with(0, std::string("\x09", 1)), "actual bytes don't match expected"},
      {"header length mismatch", with(8, std::string("\x00\x01\x00\x00", 4)),
       "header size doesn't match computed value"},
      {"header says less than the value", setLength(good) + std::string(20, '\0'),
       "header size doesn't match computed value"},
      {"truncated item", setLength(good.substr(0, good.size() - 10)),
       "registry buffer doesn't have enough space for item"},
      {"item length cut", setLength(good.substr(0, item + 2)), "not enough bytes to build an int"},
      {"length 0", with(item, std::string(4, '\0')),
       "registry item is shorter than the smallest item"},
      {"length huge", with(item, "\xFF\xFF\xFF\x7F"),
       "registry buffer doesn't have enough space for item"},
      {"length wraps", with(item, "\xFF\xFF\xFF\xFF"),
       "registry buffer doesn't have enough space for item"},
      {"missing terminator", with(nameEnd, "x\x01"),
       "text in registry item has no terminating zero"},
      {"bad signature", with(block + 4, std::string("\x04\x00\xEF\xBF", 4)),
       "actual bytes don't match expected"},
      {"block offset out of range", with(good.size() - 8, std::string("\xF0\x00", 2)),
       "registry item's block offset is out of range"},
      {"trailing garbage", setLength(good + "\x01\x02"), "not enough bytes to build an int"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      DecodeOrder(c.bytes);
      ADD_FAILURE() << "no error";
    } catch (const VelkException& e) {
      EXPECT_EQ(e.source(), "internal");
      EXPECT_EQ(e.message(), c.message);
    }
  }
  EXPECT_TRUE(DecodeOrder("").empty());
}

TEST(MenuOrderCodec, ItemLessPutsFoldersFirstAndNumbersByValue) {
  OrderItemLess less{"t", "Links"};
  using K = OrderItemLess::Key;
  struct Case {
    K a, b;
    bool aFirst;
  } cases[] = {
      {{"1", "zzz", true}, {"2", "aaa", false}, true},
      {{"1", "a2", false}, {"2", "a10", false}, true},
      {{"1", "x01y", false}, {"2", "x1y", false}, false},
      {{"1", "007", false}, {"2", "7", false}, false},
      {{"1", "abc", false}, {"2", "ABD", false}, true},
      {{"1", "9", false}, {"2", "a", false}, true},
      {{"1", "", false}, {"2", "a", false}, true},
      {{"t", "Zeta", true}, {"2", "Music", true}, true},  // sorts as "Links"
      {{"1", "99999999999999999999999", false}, {"2", "100000000000000000000000", false}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a.name + " vs " + c.b.name);
    EXPECT_EQ(less(c.a, c.b), c.aFirst);
    EXPECT_EQ(less(c.b, c.a), !c.aFirst);
  }
}

// ---- Registry and positions -------------------------------------------------

class MenuOrderStore : public ::testing::Test {
 protected:
  Node& Add(const std::string& id, const std::string& parent, const std::string& name,
            bool folder) {
    auto node = std::make_unique<Node>(id);
    node->SetAttr(keys::kName, name);
    node->SetAttr(keys::kNtype, folder ? "folder" : "bookmark");
    Node* added = set_.AddNode(std::move(node));
    if (!parent.empty()) set_.GetNode(parent, true, false, true)->AddChild(id);
    return *added;
  }
  std::vector<std::string> Children(const std::string& id) {
    return set_.GetNode(id, true, false, true)->RawChildren();
  }
  void Reverse(const std::string& id) {
    Node& n = *set_.GetNode(id, true, false, true);
    std::vector<std::string> c = n.RawChildren();
    std::reverse(c.begin(), c.end());
    n.SetChildren(c);
    for (const std::string& child : c) set_.GetNode(child, true, false, true)->SetPosition(-5);
  }
  void Store(const std::string& key, std::string_view bytes) {
    ASSERT_EQ(registry_.WriteValue(Hive::CurrentUser, key, "Order", REG_BINARY, bytes), 0u);
  }
  std::string Key(const std::string& sub = {}) {
    return std::string(kMenuOrderKey) + (sub.empty() ? "" : "\\" + sub);
  }

  testing::TempDir dir_;
  Registry registry_{dir_ / "registry"};
  NodeSet set_;
  MenuOrderContext context_{registry_, Win7Ie8(), FixedDraw()};
};

TEST_F(MenuOrderStore, WrittenOrderReadsBackIntoTheTree) {
  Add("ROOT", "", "", true);
  Add("b1", "ROOT", "Zebra", false);
  Add("f1", "ROOT", "新闻", true);
  Add("b2", "ROOT", "Новости", false);
  Add("b3", "f1", "\xF0\x9F\x98\x80 smile", false);
  Add("b4", "f1", "a10", false);
  Add("b5", "f1", "a2", false);
  const auto rootOrder = Children("ROOT"), subOrder = Children("f1");
  WriteOrder(set_, "ROOT", Key(), context_);

  Reverse("ROOT");
  Reverse("f1");
  SetOrderFromRegistry(set_, Key(), *set_.GetNode("ROOT", true, false, true), context_);
  EXPECT_EQ(Children("ROOT"), rootOrder);
  EXPECT_EQ(Children("f1"), subOrder);
  // The stream lists folders first, then names in natural order.
  Registry::Value v;
  ASSERT_EQ(registry_.ReadValue(Hive::CurrentUser, Key("新闻"), "Order", 1 << 20, &v), 0u);
  std::vector<OrderItem> items = DecodeOrder(v.data);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].name, "a2");
  EXPECT_EQ(items[1].name, "a10");
  EXPECT_EQ(items[2].order, 0u);
}

TEST_F(MenuOrderStore, ItemsMatchOnlyTheirOwnKind) {
  Add("ROOT", "", "", true);
  Add("doc", "ROOT", "doc", false);
  Add("newsB", "ROOT", "News", false);
  Add("newsF", "ROOT", "News", true);
  Add("other", "ROOT", "other", false);
  // A file "doc.txt" and a folder "News" come first in the stream; the rest
  // is not listed.
  Store(Key(), EncodeOrder({{0, true, "News", "", ""}}, Win7Ie8(), FixedDraw()));
  std::string withTxt =
      EncodeOrder({{0, true, "News", "", ""}, {1, false, "doc.t", "", ""}}, Win7Ie8(), FixedDraw());
  // Turn "doc.t.url" into "doc.txt\0\0": the item then names a file doc.txt.
  const std::u16string from = u"doc.t.url", to = std::u16string(u"doc.txt") + u'\0' + u'\0';
  std::string a, b;
  for (char16_t c : from) a += std::string{static_cast<char>(c), '\0'};
  for (char16_t c : to) b += std::string{static_cast<char>(c), '\0'};
  withTxt.replace(withTxt.find(a), a.size(), b);
  Store(Key(), withTxt);
  ASSERT_EQ(DecodeOrder(withTxt)[1].longName, "doc.txt");

  SetOrderFromRegistry(set_, Key(), *set_.GetNode("ROOT", true, false, true), context_);
  EXPECT_EQ(set_.GetNode("newsF", false, false, true)->GetPosition(), 0);
  EXPECT_EQ(set_.GetNode("newsB", false, false, true)->GetPosition(), Node::kUnplaced);
  EXPECT_EQ(set_.GetNode("doc", false, false, true)->GetPosition(), Node::kUnplaced);
  EXPECT_EQ(Children("ROOT"), (std::vector<std::string>{"newsF", "doc", "newsB", "other"}));
}

TEST_F(MenuOrderStore, FolderWithoutValueStillOrdersItsSubfolders) {
  Add("ROOT", "", "", true);
  Add("f1", "ROOT", "Outer", true);
  Add("f2", "f1", "Inner", true);
  Add("x", "f2", "x", false);
  Add("y", "f2", "y", false);
  ASSERT_EQ(registry_.CreateKey(Hive::CurrentUser, Key("Outer")), 0u);  // a key, no value
  Store(Key("Outer\\Inner"),
        EncodeOrder({{1, false, "x", "", ""}, {0, false, "y", "", ""}}, Win7Ie8(), FixedDraw()));
  SetOrderFromRegistry(set_, Key(), *set_.GetNode("ROOT", true, false, true), context_);
  EXPECT_EQ(Children("f2"), (std::vector<std::string>{"y", "x"}));
}

TEST_F(MenuOrderStore, FailingSubfoldersAskOncePerRun) {
  Logger logger(dir_ / "log/tarvex.log");
  FakeClock clock(1796858716);
  OsFacts facts;
  facts.systemDir = dir_ / "system";
  facts.uiLocale = "C";

  struct Case {
    int button;
    bool ends;
  } cases[] = {{kButtonContinue, false}, {kButtonCancel, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    testing::TempDir dir;
    Registry registry(dir / "registry");
    Settings settings(registry, FileSystem::Native(), clock, facts, logger);
    testing::ScriptedPrompt prompt;
    prompt.Script(c.button);
    NodeSet set;
    MenuOrderContext context{registry, Win7Ie8(), FixedDraw()};
    context.askContinue = [&](const VelkException&) {
      return AskContinueAfterOrderError(settings, prompt);
    };
    auto add = [&](const std::string& id, const std::string& parent, const std::string& name,
                   bool folder) {
      auto node = std::make_unique<Node>(id);
      node->SetAttr(keys::kName, name);
      node->SetAttr(keys::kNtype, folder ? "folder" : "bookmark");
      set.AddNode(std::move(node));
      if (!parent.empty()) set.GetNode(parent, true, false, true)->AddChild(id);
    };
    add("ROOT", "", "", true);
    add("a", "ROOT", "A", true);
    add("b", "ROOT", "B", true);
    add("c", "ROOT", "C", true);
    add("c1", "c", "c1", false);
    add("c2", "c", "c2", false);
    const std::string bad("\x08\x00\x00\x00\x02\x00\x00\x00\x63\x00\x00\x00", 12);
    registry.WriteValue(Hive::CurrentUser, Key("A"), "Order", REG_BINARY, bad);
    registry.WriteValue(Hive::CurrentUser, Key("B"), "Order", REG_BINARY, bad);
    registry.WriteValue(
        Hive::CurrentUser, Key("C"), "Order", REG_BINARY,
        EncodeOrder({{1, false, "c1", "", ""}, {0, false, "c2", "", ""}}, Win7Ie8(), FixedDraw()));

    Node& root = *set.GetNode("ROOT", true, false, true);
    if (c.ends) {
      try {
        SetOrderFromRegistry(set, Key(), root, context);
        ADD_FAILURE() << "Cancel did not end the read";
      } catch (const VelkException& e) {
        EXPECT_EQ(e.message(), "header size doesn't match computed value");
      }
      EXPECT_EQ(set.GetNode("c", true, false, true)->RawChildren(),
                (std::vector<std::string>{"c1", "c2"}));
    } else {
      SetOrderFromRegistry(set, Key(), root, context);
      EXPECT_EQ(set.GetNode("c", true, false, true)->RawChildren(),
                (std::vector<std::string>{"c2", "c1"}));
    }
    ASSERT_EQ(prompt.asked.size(), 1u);
    EXPECT_EQ(prompt.asked[0].text,
              "Oops! Tarvex was reading your Favorites and detected that the order for some "
              "items could be incorrect. Should Tarvex continue, or cancel and undo all changes?");
    EXPECT_EQ(prompt.asked[0].checkboxText, "Don't ask again");
    // Asked once per run: a second read does not ask again.
    try {
      SetOrderFromRegistry(set, Key(), root, context);
    } catch (const VelkException&) {
    }
    EXPECT_EQ(prompt.asked.size(), 1u);
  }
}

TEST_F(MenuOrderStore, RegistryFailuresRaiseTheirMessages) {
  Add("ROOT", "", "", true);
  Add("x", "ROOT", "x", false);
  registry_.SetFaultHook([](Registry::Op op, Hive, std::string_view, std::string_view) {
    return op == Registry::Op::Write ? 5u : 0u;
  });
  try {
    WriteOrder(set_, "ROOT", Key(), context_);
    ADD_FAILURE();
  } catch (const VelkException& e) {
    EXPECT_EQ(e.source(), "windows");
    EXPECT_TRUE(StartsWith(e.message(), "couldn't ")) << e.message();
  }
  registry_.SetFaultHook({});
  Store(Key(), EncodeOrder({{0, false, "x", "", ""}}, Win7Ie8(), FixedDraw()));
  registry_.SetFaultHook([](Registry::Op op, Hive, std::string_view, std::string_view) {
    return op == Registry::Op::Read ? 5u : 0u;
  });
  try {
    SetOrderFromRegistry(set_, Key(), *set_.GetNode("ROOT", true, false, true), context_);
    ADD_FAILURE();
  } catch (const VelkException& e) {
    EXPECT_EQ(e.id(), 5);
    EXPECT_EQ(e.message(), "error opening Order key for size check: " + Key());
  }
}

}  // namespace
}  // namespace tarvex
