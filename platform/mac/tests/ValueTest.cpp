#include <gtest/gtest.h>

#include <random>

#include "platform/mac/Value.h"

namespace tarvex::mac {
namespace {

// A random nested value: scalars, and arrays and dictionaries up to `depth`.
Value RandomValue(std::mt19937& rng, int depth) {
  int kind = std::uniform_int_distribution<int>(0, depth > 0 ? 7 : 5)(rng);
  switch (kind) {
    case 0: return Value();
    case 1: return rng() % 2 == 0;
    case 2: return static_cast<int64_t>(rng()) - 2000000000;
    case 3: return std::to_string(rng() % 1000);
    case 4: return 0.5 * static_cast<double>(rng() % 100);
    case 5: return *Url::FromString("http://h/" + std::to_string(rng() % 10));
    case 6: {
      auto a = NewArray();
      for (int i = 0, n = static_cast<int>(rng() % 4); i < n; ++i) a->push_back(RandomValue(rng, depth - 1));
      return a;
    }
    default: {
      auto d = NewDict();
      for (int i = 0, n = static_cast<int>(rng() % 4); i < n; ++i)
        (*d)["k" + std::to_string(rng() % 6)] = RandomValue(rng, depth - 1);
      return d;
    }
  }
}

// Changes one container somewhere inside `v` (if it holds any).
bool MutateSomewhere(std::mt19937& rng, const Value& v) {
  if (DictRef d = v.AsDict()) {
    for (auto& [key, item] : *d)
      if (rng() % 2 == 0 && MutateSomewhere(rng, item)) return true;
    (*d)["changed"] = true;
    return true;
  }
  if (ArrayRef a = v.AsArray()) {
    for (auto& item : *a)
      if (rng() % 2 == 0 && MutateSomewhere(rng, item)) return true;
    a->push_back("changed");
    return true;
  }
  return false;
}

TEST(MacValue, DeepCopiesShareNothingWithTheOriginal) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 200; ++round) {
    auto original = NewDict({{"root", RandomValue(rng, 4)}});
    DictRef deep = DeepMutableCopy(original);
    DictRef snapshot = DeepMutableCopy(original);
    ASSERT_EQ(Value(deep), Value(original));
    MutateSomewhere(rng, Value(original));
    EXPECT_EQ(Value(deep), Value(snapshot)) << "round " << round;
    EXPECT_NE(Value(deep), Value(original)) << "round " << round;
  }
}

TEST(MacValue, ShallowCopiesShareTheInnerContainers) {
  auto inner = NewArray({1, 2});
  auto original = NewDict({{"list", inner}, {"name", "a"}});
  DictRef shallow = MutableCopy(original);
  (*shallow)["name"] = "b";
  (*shallow)["added"] = true;
  inner->push_back(3);
  EXPECT_EQ((*original)["name"].AsString(), "a");
  EXPECT_FALSE(original->count("added"));
  EXPECT_EQ((*shallow)["list"].AsArray()->size(), 3u) << "the copy holds the same list";
  EXPECT_EQ(DeepMutableCopy(original)->at("list").AsArray().get() == inner.get(), false);
}

TEST(MacValue, TextAndIntegerOfValues) {
  struct Case {
    Value value;
    std::optional<std::string> text;
    int64_t integer;
  } cases[] = {
      {"42abc", "42abc", 42},
      {"  -17", "  -17", -17},
      {"abc", "abc", 0},
      {"", "", 0},
      {"99999999999999999999", "99999999999999999999", INT64_MAX},
      {"-99999999999999999999", "-99999999999999999999", INT64_MIN},
      {"9223372036854775807", "9223372036854775807", INT64_MAX},
      {"-9223372036854775808", "-9223372036854775808", INT64_MIN},
      {int64_t{-5}, "-5", -5},
      {true, "true", 1},
      {false, "false", 0},
      {2.5, "2.5", 2},
      {1e30, "1e+30", INT64_MAX},
      {Value(), std::nullopt, 0},
      {NewArray({1}), std::nullopt, 0},
      {NewDict(), std::nullopt, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.value_or("(none)"));
    EXPECT_EQ(TextOf(c.value), c.text);
    EXPECT_EQ(IntValue(c.value), c.integer);
  }
}

TEST(MacValue, WrongKindsReadAsEmptyAndNullContainersAsNil) {
  Value text("x");
  EXPECT_EQ(text.AsInt(), 0);
  EXPECT_EQ(text.AsArray(), nullptr);
  EXPECT_EQ(Value(int64_t{3}).AsString(), "");
  EXPECT_TRUE(Value(ArrayRef()).IsNil());
  EXPECT_TRUE(Value(DictRef()).IsNil());
  EXPECT_NE(Value(int64_t{1}), Value(true)) << "kinds differ";
  EXPECT_NE(Value("1"), Value(int64_t{1}));
}

}  // namespace
}  // namespace tarvex::mac
