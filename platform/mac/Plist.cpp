#include "platform/mac/Plist.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>

#include "platform/mac/System.h"
#include "text/Text.h"

namespace tarvex::mac {

namespace {

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

Value FromPlist(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return b != 0;
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // The library keeps every integer as 64 unsigned bits; negative ones
      // come back through the same bits.
      return static_cast<int64_t>(u);
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return d;
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      // Text is valid UTF-8 from here on: bytes that are not would be
      // written otherwise by each form (the binary one as UTF-16).
      return s ? SanitizeUtf8(std::string_view(s, length)) : std::string();
    }
    case PLIST_ARRAY: {
      auto out = NewArray();
      uint32_t n = plist_array_get_size(node);
      for (uint32_t i = 0; i < n; ++i) out->push_back(FromPlist(plist_array_get_item(node, i)));
      return out;
    }
    case PLIST_DICT: {
      auto out = NewDict();
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (!item) {
          std::free(key);
          break;
        }
        (*out)[SanitizeUtf8(key ? key : "")] = FromPlist(item);
        std::free(key);
      }
      std::free(it);
      return out;
    }
    default:
      return Value();
  }
}

plist_t ToPlist(const Value& value) {
  if (value.IsBool()) return plist_new_bool(value.AsBool() ? 1 : 0);
  if (value.IsInt()) return plist_new_uint(static_cast<uint64_t>(value.AsInt()));
  if (value.IsReal()) return plist_new_real(value.AsReal());
  if (value.IsString()) return plist_new_string(value.AsString().c_str());
  if (value.IsUrl()) return plist_new_string(value.AsUrl().absoluteString().c_str());
  if (value.IsArray()) {
    plist_t out = plist_new_array();
    for (const Value& item : *value.AsArray())
      if (plist_t p = ToPlist(item)) plist_array_append_item(out, p);
    return out;
  }
  if (value.IsDict()) {
    plist_t out = plist_new_dict();
    for (const auto& [key, item] : *value.AsDict())
      if (plist_t p = ToPlist(item)) plist_dict_set_item(out, key.c_str(), p);
    return out;
  }
  return nullptr;  // nil has no property-list form: left out
}

}  // namespace

DictRef PlistDictFromMemory(const std::string& data) {
  if (data.empty() || data.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
  plist_t root = nullptr;
  plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
  PlistPtr owner(root);
  if (!root || plist_get_node_type(root) != PLIST_DICT) return nullptr;
  return FromPlist(root).AsDict();
}

PlistRead ReadPlistDict(const std::string& path) {
  PlistRead result;
  bool missing = false;
  std::string error;
  std::optional<std::string> data = ReadWholeFile(path, &missing, &error);
  if (!data) {
    result.status = missing ? PlistRead::Status::Missing : PlistRead::Status::Unreadable;
    result.error = error;
    return result;
  }
  result.dict = PlistDictFromMemory(*data);
  if (!result.dict) {
    result.status = PlistRead::Status::Unreadable;
    result.error = Format("%s is not a property list of a dictionary", path);
    return result;
  }
  result.status = PlistRead::Status::Dict;
  return result;
}

namespace {

// `dict` through one of the library's writers and its matching free.
template <typename Write, typename Free>
std::string Serialised(const DictRef& dict, Write write, Free release) {
  PlistPtr root(ToPlist(dict ? Value(dict) : Value(NewDict())));
  char* bytes = nullptr;
  uint32_t length = 0;
  write(root.get(), &bytes, &length);
  std::string out = bytes ? std::string(bytes, length) : std::string();
  release(bytes);
  return out;
}

}  // namespace

std::string PlistXml(const DictRef& dict) { return Serialised(dict, plist_to_xml, plist_to_xml_free); }

std::string PlistBinary(const DictRef& dict) { return Serialised(dict, plist_to_bin, plist_to_bin_free); }

std::string WritePlistDictAtomically(const std::string& path, const DictRef& dict, mode_t mode) {
  std::string err = EnsureFolder(FolderOf(path), 0700);
  if (!err.empty()) return Format("cannot write %s: %s", path, err);
  std::string xml = PlistXml(dict);
  if (xml.empty()) return Format("cannot write %s: no property list made", path);
  return WriteFileAtomically(path, xml, mode);
}

}  // namespace tarvex::mac
