// Shows the program's message box through the presenter the environment
// names (TARVEX_PRESENTER; the web page by default), for the browser test
// and for a person who wants to see the page:
//
//   dialogbox_demo [--title TITLE] [--tray] TEXT
//
// The box holds TEXT, the buttons "Download" (default, right), "Learn more"
// and "Ignore", and the check box "Automatically check for updates",
// checked. With --title, a modeless window titled TITLE (with TITLE as an
// entry of its list, too, and two texts of one id) stands behind the box. With --tray, a tray icon
// with a balloon is shown, and each click on it is printed as
// "tray=<mouse message>". Once the box is answered it prints
// "result=<code> checked=<0|1>" and ends.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "ie/foundation/core/UserInteraction.h"
#include "ie/shell/dialogbox/CUIDialogBox.h"
#include "platform/win/Presenter.h"

using namespace tarvex;

namespace {

constexpr uint32_t kTrayMessage = WM_APP + 1;
constexpr int kTrayIcon = 1;
constexpr int kStatic = 0xFFFF;

int Usage() {
  std::fprintf(stderr, "usage: dialogbox_demo [--title TITLE] [--tray] TEXT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string title, text;
  bool hasTitle = false, hasText = false, tray = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--title") == 0 && i + 1 < argc) {
      title = argv[++i];
      hasTitle = true;
    } else if (std::strcmp(argv[i], "--tray") == 0) {
      tray = true;
    } else if (!hasText) {
      text = argv[i];
      hasText = true;
    } else {
      return Usage();
    }
  }
  if (!hasText) return Usage();

  HWND trayOwner;
  if (tray) {
    SetIconResources({{kTrayIcon, "Tarvex", "#2f8f5b"}});
    trayOwner = CreateLocalWindow("tray", [](const HWND&, uint32_t m, uint64_t, int64_t mouse) {
      if (m == kTrayMessage) {
        std::printf("tray=%lld\n", static_cast<long long>(mouse));
        std::fflush(stdout);
      }
      return int64_t{0};
    });
    NOTIFYICONDATA icon;
    icon.owner = trayOwner;
    icon.id = 1;
    icon.flags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    icon.callbackMessage = kTrayMessage;
    icon.icon = LoadIcon(kTrayIcon);
    icon.tip = "Tarvex: bookmarks in step";
    icon.infoTitle = "A newer Tarvex is out";
    icon.info = "Download it to keep your bookmarks in step.";
    icon.infoFlags = NIIF_INFO;
    Shell_NotifyIcon(NIM_ADD, icon);
  }

  std::unique_ptr<Dialog> behind;
  if (hasTitle) {
    DialogTemplate t{901, title, 220, 90, "MS Shell Dlg 8", {}};
    // Two texts of one id, as templates have them.
    t.controls = {
        {kStatic, ControlKind::Static,
         "This window's title and the first entry below came from "
         "the command line.",
         7, 7, 206, 20, 0},
        {1002, ControlKind::ListBox, "", 7, 30, 206, 40, 0},
        {kStatic, ControlKind::Static, "Its two texts share one id.", 7, 74, 206, 10, 0},
    };
    behind = std::make_unique<Dialog>(t);
    behind->Create();
    behind->ListAdd(1002, title);
    behind->ListAdd(1002, "An entry of our own");
    behind->ShowWindow();
  }

  bool checked = true;
  CUIDialogBox box(text, kButtonDownload, kButtonLearnMore, kButtonIgnore,
                   "Automatically check for updates", &checked);
  const int code = box.DoModal();
  if (behind) behind->DestroyWindow();
  if (tray) {
    NOTIFYICONDATA icon;
    icon.owner = trayOwner;
    icon.id = 1;
    Shell_NotifyIcon(NIM_DELETE, icon);
    DestroyWindow(trayOwner);
  }
  std::printf("result=%d checked=%d\n", code, checked ? 1 : 0);
  std::fflush(stdout);
  // The presenter (and the web page's server) ends before the process does.
  SetPresenter(std::make_shared<NullPresenter>());
  return 0;
}
