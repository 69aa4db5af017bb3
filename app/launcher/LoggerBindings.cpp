// KestroveLogger for the scripts: the shared logger and its methods under
// their selector names.
#include <pybind11/pybind11.h>

#include "app/core/KestroveLogger.h"
#include "app/launcher/AgentModule.h"

namespace py = pybind11;

namespace tarvex::launcher {

void BindLogger(py::module_& m) {
  using L = KestroveLogger;
  BindShared<L>(m, "KestroveLogger", "The agent's log, ~/Library/Tarvex/tarvex.log.txt.")
      .def("error_", &L::error, py::arg("text"))
      .def("warn_", &L::warn, py::arg("text"))
      .def("debug_", &L::debug, py::arg("text"))
      .def("info_", &L::info, py::arg("text"))
      .def("assert_withMessage_", &L::assertWithMessage, py::arg("flag"), py::arg("text"))
      .def("inErrorMode", &L::inErrorMode)
      .def("inWarnMode", &L::inWarnMode)
      .def("inDebugMode", &L::inDebugMode)
      .def("matchLogLevel_", &L::matchLogLevel, py::arg("level"))
      .def("setLogLevel_", &L::setLogLevel, py::arg("level"))
      .def("setEnabled_", &L::setEnabled, py::arg("enabled"))
      .def("updateFromSettings", py::overload_cast<>(&L::updateFromSettings))
      .def("log_withPrefix_", &L::logWithPrefix, py::arg("text"), py::arg("prefix"))
      .def("clearLogIfTooLarge", &L::clearLogIfTooLarge)
      .def("path", &L::path)
      .def("logLevel", &L::logLevel)
      .def("isEnabled", &L::isEnabled);
}

}  // namespace tarvex::launcher
