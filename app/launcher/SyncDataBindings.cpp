// SyncData for the scripts, with what its records are made of: the
// platform's dictionaries and lists (tarvex_agent.Dict and .Array, held by
// reference, so the store's containers stay live in Python), addresses
// (NSURL), the sync service's changes (SyncChange) and the record store
// that stands in for the service (RecordStore).
//
// A Python dict or list handed to a method becomes a new Dict or Array
// (deeply); a Dict or Array is passed as itself. Values come back as
// Python's scalars, None for nil, and Dict, Array or NSURL for the rest;
// toPython makes plain copies of them for json.dumps.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "app/core/KestroveLogger.h"
#include "app/launcher/AgentModule.h"
#include "app/sync/SyncData.h"
#include "platform/mac/Json.h"
#include "platform/mac/RecordStore.h"
#include "platform/mac/Value.h"

namespace py = pybind11;
using tarvex::mac::Value;

PYBIND11_MAKE_OPAQUE(tarvex::mac::Dict)
PYBIND11_MAKE_OPAQUE(tarvex::mac::Array)

namespace pybind11::detail {

template <>
struct type_caster<Value> {
  PYBIND11_TYPE_CASTER(Value, const_name("object"));

  bool load(handle src, bool) {
    using namespace tarvex::mac;
    if (src.is_none()) {
      value = Value();
    } else if (PyBool_Check(src.ptr())) {
      value = src.cast<bool>();
    } else if (PyLong_Check(src.ptr())) {
      value = src.cast<int64_t>();
    } else if (PyFloat_Check(src.ptr())) {
      value = src.cast<double>();
    } else if (PyUnicode_Check(src.ptr())) {
      value = src.cast<std::string>();
    } else if (isinstance<Url>(src)) {
      value = src.cast<Url>();
    } else if (isinstance<Dict>(src)) {
      value = src.cast<DictRef>();
    } else if (isinstance<Array>(src)) {
      value = src.cast<ArrayRef>();
    } else if (PyDict_Check(src.ptr())) {
      DictRef entries = NewDict();
      for (auto item : reinterpret_borrow<pybind11::dict>(src)) {
        if (!PyUnicode_Check(item.first.ptr())) return false;
        make_caster<Value> inner;
        if (!inner.load(item.second, true)) return false;
        (*entries)[item.first.cast<std::string>()] = cast_op<Value&&>(std::move(inner));
      }
      value = entries;
    } else if (PyList_Check(src.ptr()) || PyTuple_Check(src.ptr())) {
      ArrayRef items = NewArray();
      for (auto item : src) {
        make_caster<Value> inner;
        if (!inner.load(item, true)) return false;
        items->push_back(cast_op<Value&&>(std::move(inner)));
      }
      value = items;
    } else {
      return false;
    }
    return true;
  }

  static handle cast(const Value& v, return_value_policy, handle) {
    using namespace tarvex::mac;
    if (v.IsNil()) return none().release();
    if (v.IsBool()) return bool_(v.AsBool()).release();
    if (v.IsInt()) return int_(v.AsInt()).release();
    if (v.IsReal()) return float_(v.AsReal()).release();
    if (v.IsString()) {
      // Text that is not UTF-8 reaches the script with the bad bytes
      // replaced, never as an error.
      const std::string& s = v.AsString();
      PyObject* text = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
      if (!text) throw error_already_set();
      return text;
    }
    if (v.IsUrl()) return pybind11::cast(v.AsUrl()).release();
    if (v.IsArray()) return pybind11::cast(v.AsArray()).release();
    return pybind11::cast(v.AsDict()).release();
  }
};

}  // namespace pybind11::detail

namespace tarvex::launcher {
namespace {

using mac::Array;
using mac::ArrayRef;
using mac::Dict;
using mac::DictRef;
using mac::SyncChange;

// A plain copy (dict, list, str, numbers, None) for json.dumps; addresses
// become their text.
py::object Plain(const Value& v) {
  if (v.IsUrl()) return py::str(v.AsUrl().absoluteString());
  if (v.IsDict()) {
    py::dict out;
    for (const auto& [key, item] : *v.AsDict()) out[py::str(key)] = Plain(item);
    return out;
  }
  if (v.IsArray()) {
    py::list out;
    for (const Value& item : *v.AsArray()) out.append(Plain(item));
    return out;
  }
  return py::cast(v);
}

// Python's index into an array of `size` items (negative from the end).
size_t Index(const Array& array, py::ssize_t i) {
  const auto size = static_cast<py::ssize_t>(array.size());
  if (i < 0) i += size;
  if (i < 0 || i >= size) throw py::index_error("Array index out of range");
  return static_cast<size_t>(i);
}

py::list Keys(const Dict& d) {
  py::list keys;
  for (const auto& entry : d) keys.append(py::str(entry.first));
  return keys;
}

void BindContainers(py::module_& m) {
  py::class_<Dict, DictRef>(m, "Dict", "A dictionary of the platform, held by reference.")
      .def(py::init([] { return mac::NewDict(); }))
      .def(py::init([](const py::dict& d) { return py::cast<Value>(d).AsDict(); }))
      .def("__getitem__",
           [](const Dict& d, const std::string& key) {
             auto it = d.find(key);
             if (it == d.end()) throw py::key_error(key);
             return it->second;
           })
      .def("__setitem__", [](Dict& d, const std::string& key, const Value& v) { d[key] = v; })
      .def("__delitem__",
           [](Dict& d, const std::string& key) {
             if (!d.erase(key)) throw py::key_error(key);
           })
      .def("__contains__", [](const Dict& d, const std::string& key) { return d.contains(key); })
      .def("__len__", &Dict::size)
      .def("__iter__", [](const Dict& d) { return py::iter(Keys(d)); })
      .def("keys", &Keys)
      .def("items", [](const Dict& d) {
        py::list items;
        for (const auto& [key, v] : d) items.append(py::make_tuple(py::str(key), v));
        return items;
      })
      .def("get", [](const Dict& d, const std::string& key, const Value& fallback) {
        auto it = d.find(key);
        return it == d.end() ? fallback : it->second;
      }, py::arg("key"), py::arg("default") = Value())
      .def("__eq__", [](const DictRef& d, const Value& other) { return Value(d) == other; })
      .def("__repr__", [](const DictRef& d) { return "Dict(" + SyncData::objToJSON(d) + ")"; });
  py::implicitly_convertible<py::dict, Dict>();

  py::class_<Array, ArrayRef>(m, "Array", "A list of the platform, held by reference.")
      .def(py::init([] { return mac::NewArray(); }))
      .def(py::init([](const py::list& l) { return py::cast<Value>(l).AsArray(); }))
      .def("__getitem__", [](const Array& a, py::ssize_t i) { return a[Index(a, i)]; })
      .def("__setitem__", [](Array& a, py::ssize_t i, const Value& v) { a[Index(a, i)] = v; })
      .def("__delitem__", [](Array& a, py::ssize_t i) {
        a.erase(a.begin() + static_cast<std::ptrdiff_t>(Index(a, i)));
      })
      .def("__len__", &Array::size)
      .def("__iter__", [](const ArrayRef& a) { return py::iter(py::cast(Value(mac::MutableCopy(a)))); })
      .def("__contains__", [](const Array& a, const Value& v) {
        return std::find(a.begin(), a.end(), v) != a.end();
      })
      .def("append", [](Array& a, const Value& v) { a.push_back(v); })
      .def("__eq__", [](const ArrayRef& a, const Value& other) { return Value(a) == other; })
      .def("__repr__", [](const ArrayRef& a) { return "Array(" + SyncData::objToJSON(a) + ")"; });
  py::implicitly_convertible<py::list, Array>();

  py::class_<mac::Url>(m, "NSURL", "A web address.")
      .def_static("URLWithString_", [](const std::string& text) -> py::object {
        std::optional<mac::Url> url = mac::Url::FromString(text);
        return url ? py::cast(*url) : py::none();
      }, py::arg("text"))
      .def("absoluteString", &mac::Url::absoluteString)
      .def("scheme", &mac::Url::scheme)
      .def("host", &mac::Url::host)
      .def("__eq__", [](const mac::Url& a, const mac::Url& b) { return a == b; })
      .def("__repr__", [](const mac::Url& u) { return "NSURL(" + u.absoluteString() + ")"; });

  // toPython also copies the platform's values; everything else goes to
  // the module's own conversion.
  py::object plainCopy = m.attr("toPython");
  m.attr("toPython") = py::cpp_function(
      [plainCopy](py::handle obj) -> py::object {
        if (py::isinstance<Dict>(obj) || py::isinstance<Array>(obj) || py::isinstance<mac::Url>(obj))
          return Plain(obj.cast<Value>());
        return plainCopy(obj);
      },
      py::arg("obj"), "A plain copy of obj (lists, dicts, text, numbers, None) for json.dumps.");
}

const char* TypeName(SyncChange::Type type) {
  switch (type) {
    case SyncChange::Type::Add: return "add";
    case SyncChange::Type::Modify: return "modify";
    case SyncChange::Type::Delete: return "delete";
  }
  return "";
}

void BindRecords(py::module_& m) {
  py::class_<SyncChange>(m, "SyncChange", "A change of the sync service: record and record identifier.")
      .def(py::init([](const std::string& identifier, const Value& record, const std::string& type) {
             for (auto t : {SyncChange::Type::Add, SyncChange::Type::Modify, SyncChange::Type::Delete})
               if (type == TypeName(t)) return SyncChange(identifier, record.AsDict(), t);
             throw py::value_error("SyncChange: no change type \"" + type + "\" (add, modify, delete)");
           }),
           py::arg("identifier"), py::arg("record"), py::arg("type") = "add")
      .def("recordIdentifier", &SyncChange::recordIdentifier)
      .def("record", [](const SyncChange& c) { return Value(c.record()); })
      .def("type", [](const SyncChange& c) { return TypeName(c.type()); });

  // Failures of the store's file raise RuntimeError with the store's message.
  const auto check = [](const std::string& error) {
    if (!error.empty()) throw std::runtime_error(error);
  };
  py::class_<mac::RecordStore>(m, "RecordStore", "Sync records in a JSON file of their own.")
      .def(py::init<std::string>(), py::arg("path"))
      .def("load", [check](mac::RecordStore& s) { check(s.Load()); })
      .def("push", [check](mac::RecordStore& s, const std::string& identifier, const Value& record) {
        check(s.Push(identifier, record.AsDict()));
      }, py::arg("identifier"), py::arg("record"))
      .def("delete", [check](mac::RecordStore& s, const std::string& identifier) {
        check(s.Delete(identifier));
      }, py::arg("identifier"))
      .def("record", [](const mac::RecordStore& s, const std::string& identifier) {
        return Value(s.Record(identifier));
      }, py::arg("identifier"))
      .def("identifiers", [](const mac::RecordStore& s) {
        py::list out;
        for (const auto& entry : s.Records()) out.append(py::str(entry.first));
        return out;
      })
      .def("snapshot", [check](const mac::RecordStore& s, const std::string& path) { check(s.Snapshot(path)); },
           py::arg("path"))
      .def("changesSince", [](const mac::RecordStore& s, const std::string& path) {
        std::string error;
        auto changes = s.ChangesSince(path, &error);
        if (!changes) throw std::runtime_error(error);
        py::list out;
        for (SyncChange& change : *changes) out.append(py::cast(std::move(change)));
        return out;
      }, py::arg("path"))
      .def("path", &mac::RecordStore::path);
  m.attr("RecordEntityNameKey") = mac::kRecordEntityNameKey;
  m.attr("BookmarkEntity") = mac::kBookmarkEntity;
  m.attr("FolderEntity") = mac::kFolderEntity;
}

}  // namespace

void BindSyncData(py::module_& m) {
  BindContainers(m);
  BindRecords(m);
  using S = SyncData;
  const auto log = []() -> KestroveLogger& { return KestroveLogger::instance(); };
  py::class_<S, std::shared_ptr<S>>(m, "SyncData", "The scripts' store of Safari's bookmark records.")
      .def(py::init([] { return std::make_shared<S>(); }))
      .def_static("alloc", [] { return std::make_shared<S>(); })
      .def("init", [](S& s) -> S& { return s.init(); }, py::return_value_policy::reference_internal)
      .def("initWithSyncData_", &S::initWithSyncData, py::arg("other"),
           py::return_value_policy::reference_internal)
      .def_static("transformObjectFromSyncService_", [log](const SyncChange* change) {
        return Value(S::transformObjectFromSyncService(change, log()));
      }, py::arg("change").none(true))
      .def_static("transformObjectToSyncService_", [log](const Value& node) {
        return Value(S::transformObjectToSyncService(node.AsDict(), log()));
      }, py::arg("node").none(true))
      .def_static("pullAttrsJsonFromRecord_forObject_", [log](const Value& record, const Value& node) {
        S::pullAttrsJsonFromRecord(record.AsDict(), node.AsDict(), log());
      }, py::arg("record").none(true), py::arg("node").none(true))
      .def_static("pushAttrsJsonToRecord_forObject_", [](const Value& record, const Value& node) {
        S::pushAttrsJsonToRecord(record.AsDict(), node.AsDict());
      }, py::arg("record").none(true), py::arg("node").none(true))
      .def_static("generateAppleID", &S::generateAppleID)
      .def_static("generateMozillaNodeID", &S::generateMozillaNodeID)
      .def_static("objToJSON_", &S::objToJSON, py::arg("obj").none(true))
      .def("getNodes", [](const S& s) { return Value(s.getNodes()); })
      .def("getMetadata", [](const S& s) { return Value(s.getMetadata()); })
      .def("getQueueAppleIDtoNid", [](const S& s) { return Value(s.getQueueAppleIDtoNid()); })
      .def("getDeletedRecords", [](const S& s) { return Value(s.getDeletedRecords()); })
      .def("getNidToAppleIDMap", [](const S& s) { return Value(s.getNidToAppleIDMap()); })
      .def("getNodeWithID_", [](const S& s, const std::string& id) { return Value(s.getNodeWithID(id)); },
           py::arg("identifier"))
      .def("getNodeWithNID_", [](const S& s, const std::string& id) { return Value(s.getNodeWithNID(id)); },
           py::arg("identifier"))
      .def("isDirty", &S::isDirty)
      .def("markDirty", &S::markDirty)
      .def("addOrChangeRecord_withIdentifier_", [](S& s, const Value& record, const std::string& id) {
        s.addOrChangeRecord(record.AsDict(), id);
      }, py::arg("record").none(true), py::arg("identifier"))
      .def("addRecord_withIdentifier_", [](S& s, const Value& record, const std::string& id) {
        return s.addRecord(record.AsDict(), id);
      }, py::arg("record").none(true), py::arg("identifier"))
      .def("changeRecord_withIdentifier_", [](S& s, const Value& record, const std::string& id) {
        return s.changeRecord(record.AsDict(), id);
      }, py::arg("record").none(true), py::arg("identifier"))
      .def("removeRecordWithIdentifier_", &S::removeRecordWithIdentifier, py::arg("identifier"))
      .def("removeAllRecords", &S::removeAllRecords)
      .def("enqueueAddOrChange_", [](S& s, const Value& node) { return s.enqueueAddOrChange(node.AsDict()); },
           py::arg("node").none(true))
      .def("enqueueAddOrChanges_", [](S& s, const Value& nodes) { return s.enqueueAddOrChanges(nodes.AsArray()); },
           py::arg("nodes").none(true))
      .def("enqueueDeleteNid_", &S::enqueueDeleteNid, py::arg("identifier"))
      .def("applySyncChange_", [](S& s, const Value& node) { return s.applySyncChange(node.AsDict()); },
           py::arg("node").none(true))
      .def("applySyncDelete_", &S::applySyncDelete, py::arg("identifier"))
      .def("applySyncDeleteAllForEntityName_", &S::applySyncDeleteAllForEntityName, py::arg("entity"))
      .def("objectsForEntityName_", [](const S& s, const std::string& e) { return Value(s.objectsForEntityName(e)); },
           py::arg("entity"))
      .def("objectsInArray_forEntityName_", [](const S&, const Value& nodes, const std::string& e) {
        return Value(S::objectsInArray(nodes.AsArray(), e));
      }, py::arg("nodes").none(true), py::arg("entity"))
      .def("changedObjectsForEntityName_", [](const S& s, const std::string& e) {
        return Value(s.changedObjectsForEntityName(e));
      }, py::arg("entity"))
      .def("deletedObjectsForEntityName_", [](const S& s, const std::string& e) {
        return Value(s.deletedObjectsForEntityName(e));
      }, py::arg("entity"))
      .def("setMetadataValue_forKey_", &S::setMetadataValue, py::arg("value").none(true), py::arg("key"))
      .def("setMetadata_", [](S& s, const Value& metadata) { s.setMetadata(metadata.AsDict()); },
           py::arg("metadata").none(true))
      .def("clearQueuedChanges", &S::clearQueuedChanges)
      .def("reset", &S::reset)
      .def("sortAndCleanChildren", &S::sortAndCleanChildren);
}

}  // namespace tarvex::launcher
