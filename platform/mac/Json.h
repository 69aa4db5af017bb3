// JSON text of the Mac agent's values, over jsoncpp: the compact one-line
// form (keys in ascending order, non-ASCII as \u escapes, a line end at the
// end) and a reader that answers nothing for text that is not JSON.
#pragma once

#include <json/value.h>

#include <optional>
#include <string>

#include "platform/mac/Value.h"

namespace tarvex::mac {

// Addresses become their text; nil becomes null.
Json::Value ToJson(const Value& value);
// Integers that fit in 64 signed bits stay integers, other numbers reals.
Value FromJson(const Json::Value& json);

std::string ToJSONText(const Value& value);
// The value of `text`, or nothing when it is not a whole JSON document
// (a truncated one included).
std::optional<Value> FromJSONText(const std::string& text);

}  // namespace tarvex::mac
