// The embedded module tarvex_agent: the agent's classes for its scripts,
// under the names of their selectors (each ":" written "_"). Each part of
// the module binds its classes in a file of its own.
#pragma once

#include <pybind11/pybind11.h>

namespace tarvex::launcher {

// tarvex_agent.toPython(obj): a plain copy of obj (lists, dicts, text,
// numbers, None) for json.dumps.
void BindConversions(pybind11::module_& m);

}  // namespace tarvex::launcher
