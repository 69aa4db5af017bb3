#include "nodeset/Json.h"

#include <memory>
#include <sstream>

#include "text/Text.h"

namespace tarvex {

bool IsJsonText(const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue:
    case Json::intValue:
    case Json::uintValue:
    case Json::stringValue:
    case Json::booleanValue:
      return true;
    default:
      return false;
  }
}

std::string JsonText(const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue:
      return {};
    case Json::intValue:
      return std::to_string(value.asInt64());
    case Json::uintValue:
      return std::to_string(value.asUInt64());
    case Json::booleanValue:
      return value.asBool() ? "true" : "false";
    case Json::stringValue: {
      const char* begin = nullptr;
      const char* end = nullptr;
      value.getString(&begin, &end);
      return SanitizeUtf8(std::string_view(begin, static_cast<size_t>(end - begin)));
    }
    default:
      throw Json::LogicError("Type is not convertible to string");
  }
}

int64_t LeadingInt(std::string_view text) {
  return ParseLeadingInt(text);
}

namespace {

Json::StreamWriterBuilder CompactBuilder() {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return builder;
}

}  // namespace

std::string WriteCompactJson(const Json::Value& value) {
  return Json::writeString(CompactBuilder(), value);
}

CompactJsonWriter::CompactJsonWriter() : writer_(CompactBuilder().newStreamWriter()) {}
CompactJsonWriter::~CompactJsonWriter() = default;

void CompactJsonWriter::Append(const Json::Value& value, std::string* out) {
  stream_.str(std::string());
  stream_.clear();
  writer_->write(value, &stream_);
  out->append(stream_.view());
}

bool ParseJson(std::string_view text, Json::Value* out, std::string* error) {
  Json::CharReaderBuilder builder;
  builder["allowComments"] = true;
  builder["collectComments"] = false;
  builder["stackLimit"] = 1000;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    if (reader->parse(text.data(), text.data() + text.size(), out, &errors)) return true;
  } catch (const std::exception& e) {
    errors = e.what();
  }
  if (error) *error = errors;
  return false;
}

}  // namespace tarvex
