// KestroveSettings for the scripts: the shared settings and their methods
// under their selector names (None for a missing value and, given, for the
// removal of a key); the keys and paths as module attributes.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "app/core/KestroveSettings.h"
#include "app/launcher/AgentModule.h"

namespace py = pybind11;

namespace tarvex::launcher {

void BindSettings(py::module_& m) {
  using S = KestroveSettings;
  BindShared<S>(m, "KestroveSettings", "The agent's settings, ~/Library/Tarvex/prefs.plist.")
      .def_static("defaults", &S::defaults)
      .def("load", &S::load)
      .def("writeToFile", &S::writeToFile)
      .def("getString_", &S::getString, py::arg("key"))
      .def("hasValue_", &S::hasValue, py::arg("key"))
      .def("getBoolean_", &S::getBoolean, py::arg("key"))
      .def("setKey_forValue_", &S::setKeyForValue, py::arg("key"), py::arg("value").none(true))
      .def("setBooleanKey_forValue_", &S::setBooleanKeyForValue, py::arg("key"), py::arg("value"))
      .def("updateLaunchAtLogin", &S::updateLaunchAtLogin)
      .def("data", &S::data);

  const std::pair<const char*, const char*> constants[] = {
      {"settingLaunchAtLogin", settingLaunchAtLogin},
      {"settingAutoSync", settingAutoSync},
      {"settingShowStatusMenu", settingShowStatusMenu},
      {"settingUseGrowl", settingUseGrowl},
      {"settingCheckForUpdates", settingCheckForUpdates},
      {"settingEnableLogging", settingEnableLogging},
      {"settingLogLevel", settingLogLevel},
      {"settingEncryptionType", settingEncryptionType},
      {"settingUsername", settingUsername},
      {"settingAuthtoken", settingAuthtoken},
      {"settingLastSyncTime", settingLastSyncTime},
      {"settingTopRevision", settingTopRevision},
      {"settingProfile", settingProfile},
      {"settingRememberPassword", settingRememberPassword},
      {"settingEnableSyncNotification", settingEnableSyncNotification},
      {"settingVersion", settingVersion},
      {"settingNetworkConnectionFailed", settingNetworkConnectionFailed},
      {"settingUseTabSync", settingUseTabSync},
      {"settingTabComputerName", settingTabComputerName},
      {"kestroveSettingsPath", kestroveSettingsPath},
      {"loginWindowFile", loginWindowFile},
      {"kestroveLogPath", kestroveLogPath},
  };
  for (const auto& [name, value] : constants) m.attr(name) = value;
}

}  // namespace tarvex::launcher
