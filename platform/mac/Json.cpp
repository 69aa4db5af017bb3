#include "platform/mac/Json.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>

namespace tarvex::mac {

Json::Value ToJson(const Value& value) {
  if (value.IsBool()) return value.AsBool();
  if (value.IsInt()) return Json::Value(static_cast<Json::Int64>(value.AsInt()));
  if (value.IsReal()) return value.AsReal();
  if (value.IsString()) return value.AsString();
  if (value.IsUrl()) return value.AsUrl().absoluteString();
  if (value.IsArray()) {
    Json::Value out(Json::arrayValue);
    for (const Value& item : *value.AsArray()) out.append(ToJson(item));
    return out;
  }
  if (value.IsDict()) {
    Json::Value out(Json::objectValue);
    for (const auto& [key, item] : *value.AsDict()) out[key] = ToJson(item);
    return out;
  }
  return Json::Value();
}

Value FromJson(const Json::Value& json) {
  switch (json.type()) {
    case Json::nullValue:
      return Value();
    case Json::booleanValue:
      return json.asBool();
    case Json::intValue:
      return static_cast<int64_t>(json.asInt64());
    case Json::uintValue:
      if (json.isInt64()) return static_cast<int64_t>(json.asInt64());
      return json.asDouble();
    case Json::realValue:
      return json.asDouble();
    case Json::stringValue:
      return json.asString();
    case Json::arrayValue: {
      auto out = NewArray();
      for (const Json::Value& item : json) out->push_back(FromJson(item));
      return out;
    }
    case Json::objectValue: {
      auto out = NewDict();
      for (auto it = json.begin(); it != json.end(); ++it) (*out)[it.name()] = FromJson(*it);
      return out;
    }
  }
  return Value();
}

std::string ToJSONText(const Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = false;
  return Json::writeString(builder, ToJson(value)) + "\n";
}

std::optional<Value> FromJSONText(const std::string& text) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["failIfExtra"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value json;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &json, &errors)) return std::nullopt;
  return FromJson(json);
}

}  // namespace tarvex::mac
