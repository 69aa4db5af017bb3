// JSON conversions of Tarvex, on top of jsoncpp. The library refuses some
// conversions that the program's JSON relies on, so they are made here, once,
// for every part of the program:
//  - the text of a value: a string as it is (cut at a NUL, invalid UTF-8
//    replaced by U+FFFD), an integer in decimal, a boolean "true"/"false",
//    null as ""; a real number, an array or an object is not text
//    ("Type is not convertible to string", thrown as the library's error);
//  - the integer of a text: its leading decimal integer (64-bit, saturating).
// Files are written compact (one line, members in key order) with raw UTF-8;
// reading accepts comments and both raw UTF-8 and \u escapes.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

namespace tarvex {

// True when JsonText would give a value (string, integer, boolean, null).
bool IsJsonText(const Json::Value& value);
std::string JsonText(const Json::Value& value);
// The leading decimal integer of a text; 0 when it has none.
int64_t LeadingInt(std::string_view text);

// The compact one-line form, without a line end.
std::string WriteCompactJson(const Json::Value& value);
// The same form for many values in turn, with one writer.
class CompactJsonWriter {
 public:
  CompactJsonWriter();
  ~CompactJsonWriter();
  // Appends WriteCompactJson(value) to `out`.
  void Append(const Json::Value& value, std::string* out);

 private:
  std::unique_ptr<Json::StreamWriter> writer_;
  std::ostringstream stream_;
};
// Parses `text`; false (with `error` set) when it is not JSON or nests too
// deeply. Never throws.
bool ParseJson(std::string_view text, Json::Value* out, std::string* error);

}  // namespace tarvex
