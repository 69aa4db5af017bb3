// The modules the launcher registers before its interpreter starts:
// tarvex_agent with the agent's classes, and objc, whose lookUpClass finds
// those classes by name for scripts written against the Objective-C bridge.
#include "app/launcher/AgentModule.h"

#include <json/value.h>
#include <pybind11/embed.h>

#include "app/core/KestroveException.h"
#include "text/Text.h"

namespace py = pybind11;

namespace tarvex::launcher {

void BindConversions(py::module_& m) {
  m.def(
      "toPython",
      [](py::handle obj) -> py::object {
        const auto convert = [](const auto& self, py::handle value) -> py::object {
          if (py::isinstance<py::dict>(value)) {
            py::dict out;
            for (auto item : py::reinterpret_borrow<py::dict>(value))
              out[self(self, item.first)] = self(self, item.second);
            return out;
          }
          if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
            py::list out;
            for (auto item : value) out.append(self(self, item));
            return out;
          }
          return py::reinterpret_borrow<py::object>(value);
        };
        return convert(convert, obj);
      },
      "A plain copy of obj (lists, dicts, text, numbers, None) for json.dumps.");
}

void BindErrors(py::module_& m) {
  m.attr("KestroveException") = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
      "tarvex_agent.KestroveException",
      "An error of the agent: .id (500, or 501 for a missing node) and .message.",
      PyExc_RuntimeError, nullptr));
  m.attr("JSONError") = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
      "tarvex_agent.JSONError", "JSON text the agent could not take.", PyExc_ValueError, nullptr));
  // No C++ error crosses into the interpreter untranslated; those not named
  // here become RuntimeError with their what().
  py::register_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const KestroveException& e) {
      SetKestroveError(e.id, e.message);
    } catch (const Json::Exception& e) {
      py::object type = py::module_::import("tarvex_agent").attr("JSONError");
      PyErr_SetString(type.ptr(), e.what());
    }
  });
}

void SetKestroveError(int id, const std::string& message) {
  py::object type = py::module_::import("tarvex_agent").attr("KestroveException");
  py::object error = type(message);
  error.attr("id") = id;
  error.attr("message") = message;
  PyErr_SetObject(type.ptr(), error.ptr());
}

}  // namespace tarvex::launcher

PYBIND11_EMBEDDED_MODULE(tarvex_agent, m) {
  m.doc() = "The classes of Tarvex for Safari.";
  tarvex::launcher::BindErrors(m);
  tarvex::launcher::BindConversions(m);
  tarvex::launcher::BindLogger(m);
  tarvex::launcher::BindSettings(m);
  tarvex::launcher::BindBridge(m);
  tarvex::launcher::BindTabs(m);
  tarvex::launcher::BindSyncData(m);
}

PYBIND11_EMBEDDED_MODULE(objc, m) {
  m.doc() = "Finds the agent's classes by name.";
  m.def(
      "lookUpClass",
      [](const std::string& name) -> py::object {
        py::module_ agent = py::module_::import("tarvex_agent");
        if (!name.empty() && name[0] != '_' && py::hasattr(agent, name.c_str())) {
          py::object found = agent.attr(name.c_str());
          if (py::isinstance<py::type>(found)) return found;
        }
        throw py::value_error(tarvex::Format("objc.lookUpClass: no class named \"%s\"", name));
      },
      py::arg("name"));
}
