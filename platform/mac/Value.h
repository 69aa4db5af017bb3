// The values of property lists and JSON documents as the Mac agent handles
// them: nothing (nil), booleans, integers, reals, text, addresses, and
// arrays and dictionaries held by reference, so that two holders of one
// container see each other's changes, as the platform's containers do.
// MutableCopy copies one level (the new container holds the same inner
// containers); DeepMutableCopy copies every level. Dictionaries keep their
// keys in ascending order.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/mac/Url.h"

namespace tarvex::mac {

class Value;
using Array = std::vector<Value>;
using Dict = std::map<std::string, Value>;
using ArrayRef = std::shared_ptr<Array>;
using DictRef = std::shared_ptr<Dict>;

class Value {
 public:
  using Storage = std::variant<std::monostate, bool, int64_t, double, std::string, Url, ArrayRef, DictRef>;

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
  Value(T i) : v_(static_cast<int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(Url u) : v_(std::move(u)) {}
  Value(ArrayRef a);  // a null reference is nil
  Value(DictRef d);   // a null reference is nil

  bool IsNil() const { return std::holds_alternative<std::monostate>(v_); }
  bool IsBool() const { return std::holds_alternative<bool>(v_); }
  bool IsInt() const { return std::holds_alternative<int64_t>(v_); }
  bool IsReal() const { return std::holds_alternative<double>(v_); }
  bool IsString() const { return std::holds_alternative<std::string>(v_); }
  bool IsUrl() const { return std::holds_alternative<Url>(v_); }
  bool IsArray() const { return std::holds_alternative<ArrayRef>(v_); }
  bool IsDict() const { return std::holds_alternative<DictRef>(v_); }

  // The held value; a wrong kind answers the empty value of the asked one
  // (false, 0, "", an invalid address, a null reference).
  bool AsBool() const;
  int64_t AsInt() const;
  double AsReal() const;
  const std::string& AsString() const;
  const Url& AsUrl() const;
  ArrayRef AsArray() const;
  DictRef AsDict() const;

  const Storage& storage() const { return v_; }

  // Same kind and same contents, containers compared by contents.
  friend bool operator==(const Value& a, const Value& b);

 private:
  Storage v_;
};

// New containers (declared once Value is whole: their default arguments
// make vectors and maps of it).
ArrayRef NewArray(Array items = {});
DictRef NewDict(Dict entries = {});

// One level copied: the copy's containers are the original's.
ArrayRef MutableCopy(const ArrayRef& array);
DictRef MutableCopy(const DictRef& dict);
// Every level copied: no container is shared with the original.
ArrayRef DeepMutableCopy(const ArrayRef& array);
DictRef DeepMutableCopy(const DictRef& dict);
Value DeepCopy(const Value& value);

// Text of a scalar: text as it is, an integer in decimal, a boolean as
// "true"/"false", a real in its shortest form, an address as its text;
// nothing for nil and containers.
std::optional<std::string> TextOf(const Value& value);
// The leading decimal integer of a text (after spaces, with a sign),
// saturating at the limits; 0 when there is none. Integers are themselves,
// reals truncated, booleans 0/1.
int64_t IntValue(const Value& value);

}  // namespace tarvex::mac
