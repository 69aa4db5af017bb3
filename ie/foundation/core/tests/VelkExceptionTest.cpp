#include <gtest/gtest.h>

#include "ie/foundation/core/VelkException.h"

namespace tarvex {
namespace {

TEST(VelkException, TextFormIsExact) {
  VelkException e("network", -10, "Unable to get revision from merge");
  EXPECT_EQ(e.ToString(),
            "TarvexException [source: network, id: -10]: Unable to get revision from merge");
  EXPECT_STREQ(e.what(), e.ToString().c_str());
}

TEST(VelkException, NullTextsCountAsEmptyAndCopiesKeepEverything) {
  VelkException e(static_cast<const char*>(nullptr), 5, static_cast<const char*>(nullptr));
  EXPECT_EQ(e.ToString(), "TarvexException [source: , id: 5]: ");
  VelkException original("windows", static_cast<int32_t>(0x80070005u), "denied %s %d");
  VelkException copy(original);
  EXPECT_EQ(copy.source(), "windows");
  EXPECT_EQ(copy.id(), static_cast<int32_t>(0x80070005u));
  // A message holding format directives is printed as it is.
  EXPECT_EQ(copy.ToString(), "TarvexException [source: windows, id: -2147024891]: denied %s %d");
}

TEST(VelkException, IsCaughtAsStandardException) {
  try {
    throw VelkException("internal", -12, "Node not found");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "TarvexException [source: internal, id: -12]: Node not found");
  }
}

}  // namespace
}  // namespace tarvex
