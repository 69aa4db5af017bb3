# The agent's settings, log, keychain and open tabs as its scripts use
# them, in a home folder of the test's own, with Safari standing in as the
# fixture of $TARVEX_SAFARI_FIXTURE. sys.argv[1] is the summary this writes
# (JSON).
import json
import sys

import objc

KestroveSettings = objc.lookUpClass("KestroveSettings")
KestroveLogger = objc.lookUpClass("KestroveLogger")
KestroveKeychain = objc.lookUpClass("KestroveKeychain")
OpenTabSync = objc.lookUpClass("OpenTabSync")
NSTextFieldWithPaste = objc.lookUpClass("NSTextFieldWithPaste")

settings = KestroveSettings.instance()
logger = KestroveLogger.instance()
logger.updateFromSettings()
logger.info_("agent smoke: started")

summary = {}
settings.setKey_forValue_("username", "zoe")
settings.setBooleanKey_forValue_("useTabSync", True)
settings.setKey_forValue_("tabComputerName", "Zoë's Mac")
summary["saved"] = settings.writeToFile()

# The password the user asked to remember, and a second add that keeps it.
add = KestroveKeychain.addGenericPassword_onService_forAccount_replaceExisting_
summary["added"] = add("s3cret-Zoë", "Tarvex", "zoe", False)
summary["kept"] = add("another", "Tarvex", "zoe", False)
summary["password"] = KestroveKeychain.passwordForGenericService_forAccount_("Tarvex", "zoe")
summary["no_password"] = KestroveKeychain.passwordForGenericService_forAccount_("Tarvex", "nobody")

# This computer's tabs for the service, then the service's document with
# another computer's tabs, one of them opened from the window.
tabs = OpenTabSync.instance()
summary["open_tabs"] = tabs.getOpenTabs()
document = json.loads(tabs.syncTabsWrite_("mac-1"))
summary["tab_document"] = document
download = {"mids": {
    "mac-1": document["data"],
    "pc-2": {"clientName": "Office", "browserName": "ie", "windows": [{"tabs": [
        {"url": "http://office.example/", "title": "Office"},
        {"url": 'http://x/" & (do shell script "id") & "', "title": "sly"},
        {"url": "javascript:alert(1)", "title": "script"}]}]}}}
window = tabs.syncTabsRead_mymid_(download, "mac-1")
summary["rows"] = [[window.tableView_objectValueForTableColumn_row_(None, column, row) for column in "123"]
                   for row in range(window.numberOfRowsInTableView_())]
window.dclick_(0)
summary["command_v"] = NSTextFieldWithPaste.performKeyEquivalent_(1 << 20, "v")

logger.info_("agent smoke: done")
with open(sys.argv[1], "w", encoding="utf-8") as f:
    json.dump(summary, f)
