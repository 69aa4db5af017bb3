// KestroveKeychain, OpenTabSync, OpenTabsController and NSTextFieldWithPaste
// for the scripts, under their selector names. Documents pass as Python's
// plain values (what json.loads gives and json.dumps takes).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "app/launcher/AgentModule.h"
#include "app/tabs/KestroveKeychain.h"
#include "app/tabs/OpenTabSync.h"
#include "app/tabs/TextFieldWithPaste.h"
#include "platform/mac/Json.h"

namespace py = pybind11;

namespace tarvex::launcher {

namespace {

// A plain Python value as the agent's value, through its JSON text.
mac::Value FromPython(py::handle value) {
  py::object plain = py::module_::import("tarvex_agent").attr("toPython")(value);
  const auto text = py::module_::import("json").attr("dumps")(plain).cast<std::string>();
  return mac::FromJSONText(text).value_or(mac::Value());
}

py::object ToPython(const mac::Value& value) {
  return py::module_::import("json").attr("loads")(mac::ToJSONText(value));
}

}  // namespace

void BindTabs(py::module_& m) {
  py::class_<KestroveKeychain, std::unique_ptr<KestroveKeychain, py::nodelete>>(
      m, "KestroveKeychain", "The agent's passwords in the user's keychain.")
      .def_static(
          "passwordForGenericService_forAccount_",
          [](const std::string& service, const std::string& account) {
            return KestroveKeychain::instance().passwordForGenericService(service, account);
          },
          py::arg("service"), py::arg("account"))
      .def_static(
          "addGenericPassword_onService_forAccount_replaceExisting_",
          [](const std::string& password, const std::string& service, const std::string& account, bool replace) {
            return KestroveKeychain::instance().addGenericPassword(password, service, account, replace);
          },
          py::arg("password"), py::arg("service"), py::arg("account"), py::arg("replaceExisting"));

  using C = OpenTabsController;
  py::class_<C, std::unique_ptr<C, py::nodelete>>(m, "OpenTabsController",
                                                  "The window of the other computers' open tabs.")
      .def(
          "numberOfRowsInTableView_", [](C& c, py::object) { return c.numberOfRowsInTableView(); },
          py::arg("tableView") = py::none())
      .def(
          "tableView_objectValueForTableColumn_row_",
          [](C& c, py::object, const std::string& column, int row) { return c.tableViewObjectValue(column, row); },
          py::arg("tableView"), py::arg("column"), py::arg("row"))
      .def("dclick_", &C::dclick, py::arg("selectedRow"))
      .def("launchURLInSafari_", &C::launchURLInSafari, py::arg("url"))
      .def(
          "showWindow_", [](C& c, py::object) { c.showWindow(); }, py::arg("sender") = py::none())
      .def("window", &C::window);

  BindShared<OpenTabSync>(m, "OpenTabSync", "Safari's open tabs shared with the user's other computers.")
      .def("getOpenTabs",
           [](OpenTabSync& sync) -> py::object {
             mac::ArrayRef tabs = sync.getOpenTabs();
             return tabs ? ToPython(tabs) : py::none();
           })
      .def("syncTabsWrite_", &OpenTabSync::syncTabsWrite, py::arg("mid"))
      .def(
          "syncTabsRead_mymid_",
          [](OpenTabSync& sync, py::handle document, const std::string& mymid) -> C& {
            return sync.syncTabsRead(FromPython(document), mymid);
          },
          py::arg("document"), py::arg("mymid"), py::return_value_policy::reference);

  py::class_<NSTextFieldWithPaste>(m, "NSTextFieldWithPaste", "Text fields that take the Command editing keys.")
      .def_static(
          "performKeyEquivalent_",
          [](uint64_t modifierFlags, const std::string& characters) -> std::optional<std::string> {
            const auto action = NSTextFieldWithPaste::performKeyEquivalent({modifierFlags, characters});
            if (action == NSTextFieldWithPaste::Action::PassToBase) return std::nullopt;
            return NSTextFieldWithPaste::Selector(action);
          },
          py::arg("modifierFlags"), py::arg("charactersIgnoringModifiers"));
}

}  // namespace tarvex::launcher
