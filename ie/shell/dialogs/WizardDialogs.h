// The dialogs that show a web page: the setup wizard (template 107) and the
// open tabs of the user's other computers (template 296). Their entry points
// are the scheduler's (RunSetupWizard, ShowRemoteTabs); what is here is what
// tests and the program's wiring reach.
#pragma once

#include <functional>
#include <string>

#include <json/json.h>

namespace tarvex {

class SyncScheduler;

inline constexpr int kWizardTemplate = 107;
inline constexpr int kWizardBrowser = 241;
inline constexpr int kRemoteTabsTemplate = 296;
inline constexpr int kRemoteTabsBrowser = 1022;
inline constexpr int kRemoteTabsClose = 1023;

// The folder the client's own pages ship in: the running program's, "" when
// it cannot be found. `folder` replaces it (tests; null: the program's
// again).
std::string ProgramFolder();
void SetProgramFolder(std::function<std::string()> folder);

// What the wizard asks once the account it signed in is accepted: the
// scheduler's ShowReadyToSync(action, showWarning), unless `ask` replaces it
// (tests; null: the scheduler's again).
void SetReadyToSyncQuestion(std::function<int(SyncScheduler&, int action, bool showWarning)> ask);

// The address of the setup wizard's first page: the setting `authserver`,
// "/wizard", and the client's user agent, language, machine id, version and
// (when one is stored) user name, each percent-encoded as a query value.
std::string WizardAddress(const std::string& authserver, const std::string& userAgent,
                          const std::string& machineId, const std::string& version,
                          const std::string& userName);

// The script that hands the open tabs to their page:
// "UpdateRemoteTabDisplay(0, <data as JSON>);", the JSON with U+2028 and
// U+2029 (which end a line in older script parsers) and "<" escaped.
std::string RemoteTabsScript(const Json::Value& tabs);

}  // namespace tarvex
