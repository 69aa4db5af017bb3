// The embedded module tarvex_agent: the agent's classes for its scripts,
// under the names of their selectors (each ":" written "_"). Each part of
// the module binds its classes in a file of its own.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

namespace tarvex::launcher {

// tarvex_agent.toPython(obj): a plain copy of obj (lists, dicts, text,
// numbers, None) for json.dumps.
void BindConversions(pybind11::module_& m);

// tarvex_agent.KestroveException (a RuntimeError with .id and .message) and
// tarvex_agent.JSONError (a ValueError): what the agent's C++ errors become.
void BindErrors(pybind11::module_& m);
// A class of the agent that scripts reach through its shared instance()
// only: they never make or destroy one.
template <typename T>
pybind11::class_<T, std::unique_ptr<T, pybind11::nodelete>> BindShared(pybind11::module_& m,
                                                                       const char* name,
                                                                       const char* doc) {
  pybind11::class_<T, std::unique_ptr<T, pybind11::nodelete>> cls(m, name, doc);
  cls.def_static("instance", &T::instance, pybind11::return_value_policy::reference);
  return cls;
}

// The agent's classes, each in a file of its own.
void BindBridge(pybind11::module_& m);
void BindLogger(pybind11::module_& m);
void BindSettings(pybind11::module_& m);
void BindTabs(pybind11::module_& m);
void BindSyncData(pybind11::module_& m);

// Raises tarvex_agent.KestroveException in the interpreter.
void SetKestroveError(int id, const std::string& message);

}  // namespace tarvex::launcher
