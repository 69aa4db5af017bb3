// The profiles the dialogs offer, whatever shape the service's answer has.
#include "ie/shell/dialogs/ProfileList.h"

#include <gtest/gtest.h>

namespace tarvex {
namespace {

Json::Value Parse(const std::string& text) {
  Json::Value value;
  Json::Reader().parse(text, value);
  return value;
}

TEST(ProfileListTest, EveryShapeGivesTheNoneEntryFirstAndTheOthersInOrder) {
  struct Case {
    const char* answer;
    std::vector<Profile> profiles;
  };
  const Case cases[] = {
      {R"({"beta":"2","Alpha":"7","gamma":3})",
       {{"<none>", 0}, {"Alpha", 7}, {"beta", 2}, {"gamma", 3}}},
      {R"(["work","Home"])", {{"<none>", 0}, {"Home", 0}, {"work", 0}}},
      {R"({"<none>":"5","x":"12abc","y":{"n":1},"":"3"})", {{"<none>", 0}, {"x", 12}, {"y", 0}}},
      {R"("profiles")", {{"<none>", 0}}},
      {"null", {{"<none>", 0}}},
      {"[1, null, \"a\"]", {{"<none>", 0}, {"a", 0}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProfileList(Parse(c.answer)), c.profiles) << c.answer;
    EXPECT_EQ(HasProfiles(ProfileList(Parse(c.answer))), c.profiles.size() > 1) << c.answer;
  }
}

}  // namespace
}  // namespace tarvex
