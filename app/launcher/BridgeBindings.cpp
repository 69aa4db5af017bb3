// KestroveBridge for the scripts: its class methods under their selector
// names, text in and out as str.
#include <pybind11/pybind11.h>

#include "app/launcher/AgentModule.h"
#include "app/nodeset/KestroveBridge.h"

namespace py = pybind11;

namespace tarvex::launcher {

void BindBridge(py::module_& m) {
  py::class_<KestroveBridge>(
      m, "KestroveBridge",
      "The bookmark engine for the scripts: class methods on trees in files and "
      "JSON text.")
      .def_static("GenerateNodeID", &KestroveBridge::GenerateNodeID)
      .def_static("CompareVersions_other_", &KestroveBridge::CompareVersions, py::arg("a"),
                  py::arg("b"))
      .def_static("MergeNodesetsToFile_basePath_otherSetPath_",
                  &KestroveBridge::MergeNodesetsToFile, py::arg("outPath"), py::arg("basePath"),
                  py::arg("otherSetPath"))
      .def_static("GetNodesetHashesFromFile_", &KestroveBridge::GetNodesetHashesFromFile,
                  py::arg("path"))
      .def_static("SaveDownloadCommandsetToFile_CommandsetJson_",
                  &KestroveBridge::SaveDownloadCommandsetToFile, py::arg("outPath"),
                  py::arg("commandsetJson"))
      .def_static("GetUploadNodesetFromFile_", &KestroveBridge::GetUploadNodesetFromFile,
                  py::arg("path"))
      .def_static("GetUploadNodesetFromJson_", &KestroveBridge::GetUploadNodesetFromJson,
                  py::arg("treeJson"))
      .def_static("CompareNodesetsFileBefore_after_", &KestroveBridge::CompareNodesetsFileBefore,
                  py::arg("beforePath"), py::arg("afterPath"))
      .def_static("CompareNodesetsJsonBefore_after_", &KestroveBridge::CompareNodesetsJsonBefore,
                  py::arg("beforeJson"), py::arg("afterJson"));
}

}  // namespace tarvex::launcher
