// Cross-checks the ids of the language table against ICU's mapping from
// locale ids to Windows language identifiers.
#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include <set>
#include <string>

#include "ie/foundation/LanguageTable.h"

namespace tarvex {
namespace {

TEST(LanguageTableIcuTest, IdsMatchIcu) {
  // Rows ICU maps differently ("es-ES_tradnl" is 3082 there) or not at all.
  const std::set<std::string> not_in_icu = {"es-ES_tradnl", "(none)",   "quz",       "prs",
                                            "prs-AF",       "qps-ploc", "qps-ploca", "qps-plocm"};
  size_t checked = 0;
  for (const LanguageRow* row = TarvexLanguageTable; row->id != 0; ++row) {
    if (not_in_icu.count(row->tag) != 0) continue;
    // ICU takes locale ids with '_' between the subtags.
    std::string icu_id = row->tag;
    for (char& c : icu_id) {
      if (c == '-') c = '_';
    }
    EXPECT_EQ(static_cast<int32_t>(uloc_getLCID(icu_id.c_str())), row->id) << row->tag;
    ++checked;
  }
  EXPECT_EQ(checked, kLanguageTableRows - not_in_icu.size());
}

}  // namespace
}  // namespace tarvex
