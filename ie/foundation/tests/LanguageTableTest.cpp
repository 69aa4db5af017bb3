#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ie/foundation/LanguageTable.h"

namespace tarvex {
namespace {

// Every tag of the table, in table order.
const char* const kExpectedTags[] = {
    "ar",         "bg",         "ca",         "zh-Hans",    "cs",         "da",           "de",
    "el",         "en",         "es",         "fi",         "fr",         "he",           "hu",
    "is",         "it",         "ja",         "ko",         "nl",         "no",           "pl",
    "pt",         "rm",         "ro",         "ru",         "hr",         "sk",           "sq",
    "sv",         "th",         "tr",         "ur",         "id",         "uk",           "be",
    "sl",         "et",         "lv",         "lt",         "tg",         "fa",           "vi",
    "hy",         "az",         "eu",         "hsb",        "mk",         "tn",           "xh",
    "zu",         "af",         "ka",         "fo",         "hi",         "mt",           "se",
    "ga",         "ms",         "kk",         "ky",         "sw",         "tk",           "uz",
    "tt",         "bn",         "pa",         "gu",         "or",         "ta",           "te",
    "kn",         "ml",         "as",         "mr",         "sa",         "mn",           "bo",
    "cy",         "km",         "lo",         "gl",         "kok",        "syr",          "si",
    "iu",         "am",         "tzm",        "ne",         "fy",         "ps",           "fil",
    "dv",         "ha",         "yo",         "quz",        "nso",        "ba",           "lb",
    "kl",         "ig",         "ii",         "arn",        "moh",        "br",           "(none)",
    "ug",         "mi",         "oc",         "co",         "gsw",        "sah",          "qut",
    "rw",         "wo",         "prs",        "ar-SA",      "bg-BG",      "ca-ES",        "zh-TW",
    "cs-CZ",      "da-DK",      "de-DE",      "el-GR",      "en-US",      "es-ES_tradnl", "fi-FI",
    "fr-FR",      "he-IL",      "hu-HU",      "is-IS",      "it-IT",      "ja-JP",        "ko-KR",
    "nl-NL",      "nb-NO",      "pl-PL",      "pt-BR",      "rm-CH",      "ro-RO",        "ru-RU",
    "hr-HR",      "sk-SK",      "sq-AL",      "sv-SE",      "th-TH",      "tr-TR",        "ur-PK",
    "id-ID",      "uk-UA",      "be-BY",      "sl-SI",      "et-EE",      "lv-LV",        "lt-LT",
    "tg-Cyrl-TJ", "fa-IR",      "vi-VN",      "hy-AM",      "az-Latn-AZ", "eu-ES",        "hsb-DE",
    "mk-MK",      "tn-ZA",      "xh-ZA",      "zu-ZA",      "af-ZA",      "ka-GE",        "fo-FO",
    "hi-IN",      "mt-MT",      "se-NO",      "ms-MY",      "kk-KZ",      "ky-KG",        "sw-KE",
    "tk-TM",      "uz-Latn-UZ", "tt-RU",      "bn-IN",      "pa-IN",      "gu-IN",        "or-IN",
    "ta-IN",      "te-IN",      "kn-IN",      "ml-IN",      "as-IN",      "mr-IN",        "sa-IN",
    "mn-MN",      "bo-CN",      "cy-GB",      "km-KH",      "lo-LA",      "gl-ES",        "kok-IN",
    "syr-SY",     "si-LK",      "iu-Cans-CA", "am-ET",      "ne-NP",      "fy-NL",        "ps-AF",
    "fil-PH",     "dv-MV",      "ha-Latn-NG", "yo-NG",      "quz-BO",     "nso-ZA",       "ba-RU",
    "lb-LU",      "kl-GL",      "ig-NG",      "ii-CN",      "arn-CL",     "moh-CA",       "br-FR",
    "ug-CN",      "mi-NZ",      "oc-FR",      "co-FR",      "gsw-FR",     "sah-RU",       "qut-GT",
    "rw-RW",      "wo-SN",      "prs-AF",     "qps-ploc",   "qps-ploca",  "ar-IQ",        "zh-CN",
    "de-CH",      "en-GB",      "es-MX",      "fr-BE",      "it-CH",      "nl-BE",        "nn-NO",
    "pt-PT",      "sr-Latn-CS", "sv-FI",      "az-Cyrl-AZ", "dsb-DE",     "se-SE",        "ga-IE",
    "ms-BN",      "uz-Cyrl-UZ", "bn-BD",      "mn-Mong-CN", "iu-Latn-CA", "tzm-Latn-DZ",  "quz-EC",
    "qps-plocm",  "ar-EG",      "zh-HK",      "de-AT",      "en-AU",      "es-ES",        "fr-CA",
    "sr-Cyrl-CS", "se-FI",      "quz-PE",     "ar-LY",      "zh-SG",      "de-LU",        "en-CA",
    "es-GT",      "fr-CH",      "hr-BA",      "smj-NO",     "ar-DZ",      "zh-MO",        "de-LI",
    "en-NZ",      "es-CR",      "fr-LU",      "bs-Latn-BA", "smj-SE",     "ar-MA",        "en-IE",
    "es-PA",      "fr-MC",      "sr-Latn-BA", "sma-NO",     "ar-TN",      "en-ZA",        "es-DO",
    "sr-Cyrl-BA", "sma-SE",     "ar-OM",      "en-JM",      "es-VE",      "bs-Cyrl-BA",   "sms-FI",
    "ar-YE",      "en-029",     "es-CO",      "smn-FI",     "ar-SY",      "en-BZ",        "es-PE",
    "ar-JO",      "en-TT",      "es-AR",      "ar-LB",      "en-ZW",      "es-EC",        "ar-KW",
    "en-PH",      "es-CL",      "ar-AE",      "es-UY",      "ar-BH",      "es-PY",        "ar-QA",
    "en-IN",      "es-BO",      "en-MY",      "es-SV",      "en-SG",      "es-HN",        "es-NI",
    "es-PR",      "es-US",      "bs",         "zh-Hant",    "sr"};

constexpr size_t kNeutralRows = 115;
constexpr size_t kSpecificRows = 209;
constexpr size_t kHighNeutralRows = 3;

std::vector<std::string> Walk(int32_t id) {
  std::vector<std::string> tags;
  while (id != 0 && tags.size() < 10) {
    const LanguageRow* row = FindLanguage(id);
    if (row == nullptr) break;
    tags.push_back(row->tag);
    id = row->parent;
  }
  return tags;
}

TEST(LanguageTableTest, HoldsTheTagsInOrderThenTheClosingRow) {
  static_assert(std::size(kExpectedTags) == kLanguageTableRows);
  static_assert(kNeutralRows + kSpecificRows + kHighNeutralRows == kLanguageTableRows);
  for (size_t i = 0; i < kLanguageTableRows; ++i) {
    EXPECT_STREQ(TarvexLanguageTable[i].tag, kExpectedTags[i]) << "row " << i;
    EXPECT_NE(TarvexLanguageTable[i].id, 0) << "row " << i;
    ASSERT_NE(TarvexLanguageTable[i].name, nullptr) << "row " << i;
    EXPECT_GT(std::strlen(TarvexLanguageTable[i].name), 0u) << "row " << i;
  }
  const LanguageRow& end = TarvexLanguageTable[kLanguageTableRows];
  EXPECT_EQ(end.id, 0);
  EXPECT_STREQ(end.tag, "dummy");
  EXPECT_EQ(end.parent, 0);
  EXPECT_STREQ(end.name, "End of list");
}

TEST(LanguageTableTest, IdsAscendWithinEachBlock) {
  struct Block {
    size_t begin, end;
    int32_t min_id, max_id;
  };
  const Block blocks[] = {
      {0, kNeutralRows, 1, 140},
      {kNeutralRows, kNeutralRows + kSpecificRows, 1025, 21514},
      {kNeutralRows + kSpecificRows, kLanguageTableRows, 30746, 31770},
  };
  for (const Block& block : blocks) {
    EXPECT_EQ(TarvexLanguageTable[block.begin].id, block.min_id);
    EXPECT_EQ(TarvexLanguageTable[block.end - 1].id, block.max_id);
    for (size_t i = block.begin + 1; i < block.end; ++i) {
      EXPECT_LT(TarvexLanguageTable[i - 1].id, TarvexLanguageTable[i].id) << "row " << i;
    }
  }
}

TEST(LanguageTableTest, KnownRows) {
  struct Case {
    int32_t id;
    const char* tag;
    int32_t parent;
    const char* name;
  };
  const Case cases[] = {
      {1, "ar", 127, "Arabic"},
      {4, "zh-Hans", 127, "Chinese"},
      {9, "en", 127, "English"},
      {127, "(none)", 0, "(none)"},
      {1028, "zh-TW", 31748, "Chinese (Taiwan)"},
      {1031, "de-DE", 7, "German (Germany)"},
      {1033, "en-US", 9, "English (United States)"},
      {1034, "es-ES_tradnl", 10, "Spanish (Spain)"},
      {1281, "qps-ploc", 9, "Base pseudo-locale"},
      {2052, "zh-CN", 4, "Chinese (China)"},
      {2074, "sr-Latn-CS", 31770, "Serbian (Serbia and Montenegro)"},
      {2141, "iu-Latn-CA", 93, "Inuktitut (Canada)"},
      {31748, "zh-Hant", 127, "Chinese"},
  };
  for (const Case& c : cases) {
    const LanguageRow* row = FindLanguage(c.id);
    ASSERT_NE(row, nullptr) << c.id;
    EXPECT_STREQ(row->tag, c.tag) << c.id;
    EXPECT_EQ(row->parent, c.parent) << c.id;
    EXPECT_STREQ(row->name, c.name) << c.id;
  }
}

// Neutral languages fall back to the invariant language; specific ones to the
// neutral language of their primary language, save for the listed exceptions.
TEST(LanguageTableTest, ParentsFollowThePrimaryLanguage) {
  const std::map<std::string, int32_t> exceptions = {
      {"zh-TW", 31748},      {"zh-HK", 31748},      {"zh-MO", 31748},      {"sr-Latn-CS", 31770},
      {"sr-Cyrl-CS", 31770}, {"sr-Latn-BA", 31770}, {"sr-Cyrl-BA", 31770}, {"bs-Latn-BA", 30746},
      {"bs-Cyrl-BA", 30746}, {"qps-ploc", 9},       {"qps-ploca", 17},     {"qps-plocm", 1},
  };
  std::map<int32_t, int32_t> neutral_of_primary;
  for (size_t i = 0; i < kNeutralRows; ++i) {
    neutral_of_primary[TarvexLanguageTable[i].id & 0x3FF] = TarvexLanguageTable[i].id;
  }
  size_t exceptions_seen = 0;
  for (size_t i = 0; i < kLanguageTableRows; ++i) {
    const LanguageRow& row = TarvexLanguageTable[i];
    const bool specific = i >= kNeutralRows && i < kNeutralRows + kSpecificRows;
    int32_t expected;
    if (row.id == 127) {
      expected = 0;
    } else if (!specific) {
      expected = 127;
    } else if (auto it = exceptions.find(row.tag); it != exceptions.end()) {
      expected = it->second;
      ++exceptions_seen;
    } else {
      auto neutral = neutral_of_primary.find(row.id & 0x3FF);
      ASSERT_NE(neutral, neutral_of_primary.end()) << row.tag;
      expected = neutral->second;
    }
    EXPECT_EQ(row.parent, expected) << row.tag;
  }
  EXPECT_EQ(exceptions_seen, exceptions.size());
}

TEST(LanguageTableTest, EveryWalkEndsAtTheInvariantLanguage) {
  for (size_t i = 0; i < kLanguageTableRows; ++i) {
    int32_t id = TarvexLanguageTable[i].id;
    int steps = 0;
    while (id != 0 && steps <= 4) {
      const LanguageRow* row = FindLanguage(id);
      ASSERT_NE(row, nullptr) << "missing parent " << id << " on the walk from "
                              << TarvexLanguageTable[i].tag;
      id = row->parent;
      ++steps;
    }
    EXPECT_EQ(id, 0) << "walk from " << TarvexLanguageTable[i].tag << " does not end";
  }
}

TEST(LanguageTableTest, WalksTowardsMoreGeneralLanguages) {
  struct Case {
    int32_t id;
    std::vector<std::string> tags;
  };
  const Case cases[] = {
      {1033, {"en-US", "en", "(none)"}},      {2074, {"sr-Latn-CS", "sr", "(none)"}},
      {3076, {"zh-HK", "zh-Hant", "(none)"}}, {4100, {"zh-SG", "zh-Hans", "(none)"}},
      {8218, {"bs-Cyrl-BA", "bs", "(none)"}}, {4122, {"hr-BA", "hr", "(none)"}},
      {1534, {"qps-ploca", "ja", "(none)"}},  {127, {"(none)"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Walk(c.id), c.tags) << c.id;
}

TEST(LanguageTableTest, FindLanguageFindsEveryRowAndNothingElse) {
  for (size_t i = 0; i < kLanguageTableRows; ++i) {
    EXPECT_EQ(FindLanguage(TarvexLanguageTable[i].id), &TarvexLanguageTable[i]) << i;
  }
  for (int32_t id : {0, -1, 125, 1024, 2048, 4096, 65535}) {
    EXPECT_EQ(FindLanguage(id), nullptr) << id;
  }
}

TEST(LanguageTableTest, FindLanguageByTagIgnoresAsciiCase) {
  for (size_t i = 0; i < kLanguageTableRows; ++i) {
    EXPECT_EQ(FindLanguageByTag(TarvexLanguageTable[i].tag), TarvexLanguageTable[i].id)
        << TarvexLanguageTable[i].tag;
  }
  struct Case {
    const char* tag;
    int32_t id;
  };
  const Case cases[] = {
      {"EN-us", 1033},    {"es-es_TRADNL", 1034},
      {"ZH-HANT", 31748}, {"Sr-lAtN-cs", 2074},
      {"(NONE)", 127},    {"dummy", -1},
      {"", -1},           {"en-US ", -1},
      {"en_US", -1},      {"en-", -1},
      {"english", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(FindLanguageByTag(c.tag), c.id) << c.tag;
}

}  // namespace
}  // namespace tarvex
