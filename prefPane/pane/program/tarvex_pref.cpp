// tarvex-pref: the preference pane in its host, for a person. The view is
// shown through the presenter TARVEX_PRESENTER names (the web page by
// default); the program ends when the view is closed.
#include <cstdio>

#include "platform/clock/Clock.h"
#include "platform/mac/Notifications.h"
#include "platform/mac/System.h"
#include "prefPane/core/KestroveSettings.h"
#include "prefPane/core/PaneScripts.h"
#include "prefPane/core/SystemProxies.h"
#include "prefPane/pane/Alerts.h"
#include "prefPane/pane/KestrovePref.h"
#include "prefPane/pane/PaneHost.h"

int main() {
  using namespace tarvex;
  using namespace tarvex::pane;
  DialogAlerts alerts;
  PaneScriptEnvironment environment = PaneScriptEnvironment::ForCurrentUser();
  environment.displayDialog = [&alerts](const std::string& text) {
    alerts.Alert("", text, {"OK"});
  };
  PaneScriptRunner scripts(environment);
  mac::SocketNotificationCenter center;
  RunLoop loop(Clock::System());
  PaneHost::ServeWindowMessages(loop);
  KestrovePref pref(PaneServices{KestroveSettings::prefSettings(), scripts, center, alerts, loop,
                                 [] { return SystemProxies(); }, mac::ExpandTilde(kLoginWindowFile),
                                 mac::UserName()});
  ControlModel model;
  BuildPaneView(model);
  PaneHost host(pref, model, loop);
  if (!host.Open()) {
    std::fprintf(stderr, "tarvex-pref: the pane's view could not be shown\n");
    return 1;
  }
  loop.Run();
  return 0;
}
