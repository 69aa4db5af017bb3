#include <gtest/gtest.h>

#include "platform/mac/Json.h"

namespace tarvex::mac {
namespace {

TEST(MacJson, CompactTextOfValues) {
  auto value = NewDict({{"b", NewArray({1, "x", true, Value(), 2.5})},
                        {"a", "\xc3\xa4\"\n"},
                        {"u", *Url::FromString("http://h/")},
                        {"n", int64_t{-9007199254740993}}});
  EXPECT_EQ(ToJSONText(value),
            "{\"a\":\"\\u00e4\\\"\\n\",\"b\":[1,\"x\",true,null,2.5],\"n\":-9007199254740993,"
            "\"u\":\"http://h/\"}\n");
}

TEST(MacJson, ReadsBackWhatItWrote) {
  auto value = NewDict({{"list", NewArray({NewDict({{"k", "v"}}), int64_t{7}, false})},
                        {"text", "\xe2\x82\xac"}, {"none", Value()}, {"real", 0.25}});
  auto back = FromJSONText(ToJSONText(value));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, Value(value));
}

TEST(MacJson, TextThatIsNoWholeDocumentReadsAsNothing) {
  for (const char* text : {"", "[", "[{\"action\":\"insert\"},", "{\"a\":1", "nonsense", "[1] [2]",
                           "{\"a\":1}}"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(FromJSONText(text));
  }
  auto big = FromJSONText("18446744073709551615");
  ASSERT_TRUE(big);
  EXPECT_TRUE(big->IsReal()) << "beyond 64 signed bits";
}

}  // namespace
}  // namespace tarvex::mac
