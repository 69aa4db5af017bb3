#include "platform/mac/Value.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace tarvex::mac {

ArrayRef NewArray(Array items) { return std::make_shared<Array>(std::move(items)); }
DictRef NewDict(Dict entries) { return std::make_shared<Dict>(std::move(entries)); }

Value::Value(ArrayRef a) {
  if (a) v_ = std::move(a);
}
Value::Value(DictRef d) {
  if (d) v_ = std::move(d);
}

bool Value::AsBool() const { return IsBool() && std::get<bool>(v_); }
int64_t Value::AsInt() const { return IsInt() ? std::get<int64_t>(v_) : 0; }
double Value::AsReal() const { return IsReal() ? std::get<double>(v_) : 0.0; }
const std::string& Value::AsString() const {
  static const std::string kEmpty;
  return IsString() ? std::get<std::string>(v_) : kEmpty;
}
const Url& Value::AsUrl() const {
  static const Url kNone;
  return IsUrl() ? std::get<Url>(v_) : kNone;
}
ArrayRef Value::AsArray() const { return IsArray() ? std::get<ArrayRef>(v_) : nullptr; }
DictRef Value::AsDict() const { return IsDict() ? std::get<DictRef>(v_) : nullptr; }

bool operator==(const Value& a, const Value& b) {
  if (a.v_.index() != b.v_.index()) return false;
  if (a.IsArray()) return *a.AsArray() == *b.AsArray();
  if (a.IsDict()) return *a.AsDict() == *b.AsDict();
  return a.v_ == b.v_;
}

ArrayRef MutableCopy(const ArrayRef& array) { return array ? NewArray(*array) : nullptr; }
DictRef MutableCopy(const DictRef& dict) { return dict ? NewDict(*dict) : nullptr; }

Value DeepCopy(const Value& value) {
  if (value.IsArray()) return DeepMutableCopy(value.AsArray());
  if (value.IsDict()) return DeepMutableCopy(value.AsDict());
  return value;
}

ArrayRef DeepMutableCopy(const ArrayRef& array) {
  if (!array) return nullptr;
  auto copy = NewArray();
  copy->reserve(array->size());
  for (const Value& item : *array) copy->push_back(DeepCopy(item));
  return copy;
}

DictRef DeepMutableCopy(const DictRef& dict) {
  if (!dict) return nullptr;
  auto copy = NewDict();
  for (const auto& [key, item] : *dict) copy->emplace(key, DeepCopy(item));
  return copy;
}

std::optional<std::string> TextOf(const Value& value) {
  if (value.IsString()) return value.AsString();
  if (value.IsInt()) return std::to_string(value.AsInt());
  if (value.IsBool()) return value.AsBool() ? "true" : "false";
  if (value.IsUrl()) return value.AsUrl().absoluteString();
  if (value.IsReal()) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value.AsReal());
    if (ec != std::errc()) return std::nullopt;
    return std::string(buf, end);
  }
  return std::nullopt;
}

int64_t IntValue(const Value& value) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  if (value.IsInt()) return value.AsInt();
  if (value.IsBool()) return value.AsBool() ? 1 : 0;
  if (value.IsReal()) {
    double d = value.AsReal();
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return kMax;
    if (d <= -9.2233720368547758e18) return kMin;
    return static_cast<int64_t>(d);
  }
  if (!value.IsString()) return 0;
  const std::string& s = value.AsString();
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int64_t result = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    int digit = s[i] - '0';
    if (negative) {
      if (result < (kMin + digit) / 10) return kMin;
      result = result * 10 - digit;
    } else {
      if (result > (kMax - digit) / 10) return kMax;
      result = result * 10 + digit;
    }
  }
  return result;
}

}  // namespace tarvex::mac
