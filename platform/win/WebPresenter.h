// A presenter for a person: one page served on the loopback address that
// shows the tray icon (its picture, tool tip and menu), the balloons and
// every open dialog, the modal one on top, and sends back what the person
// does. The page is a door into the user's session, so:
//  - it listens on 127.0.0.1 only, on a port the system chooses;
//  - every address holds a random secret of 128 bits or more, compared in
//    constant time; a request without it is refused;
//  - the Host header must be 127.0.0.1 and the port;
//  - what changes anything is a POST whose Origin is the page's own;
//  - no CORS headers; a strict Content-Security-Policy (no inline script);
//  - every text shown (from a dialog, a bookmark title, the service) is
//    escaped for HTML;
//  - a refused request changes nothing and is logged.
// The server ends with the presenter.
//
// The page (platform/win/web/) is static: it reads the state as JSON from
// "state?since=VERSION", which waits (at most `pollSeconds`) until the state
// differs from that version, and posts what the person does to "act" as a
// form: kind=click|type|select|key|close (window, control, text, index,
// key=enter|escape) for dialogs, kind=tray (window, icon,
// mouse=left|double|right|context) for the tray, kind=choose (window, item)
// and kind=dismiss (window) for menus.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/win/Presenter.h"

namespace tarvex {

struct WebPresenterOptions {
  // Opens the page in the person's browser (the desktop's opener).
  bool openBrowser = true;
  // Told the page's address (standard error when empty).
  std::function<void(const std::string& url)> announce;
  // Told every refused request (WindowsLog when empty).
  std::function<void(const std::string& line)> log;
  // How long a request for the state waits for a change before it answers
  // with the state as it is.
  int pollSeconds = 20;
  // Told each time a request for the state begins to wait (tests).
  std::function<void()> onWait;

  // The defaults, with TARVEX_WEB_OPEN=0 keeping the browser closed (tests,
  // a person who opens the address by hand).
  static WebPresenterOptions FromEnvironment();
};

class WebPresenter : public Presenter {
 public:
  // The running presenter, or null and `*error`.
  static std::shared_ptr<WebPresenter> Start(WebPresenterOptions options, std::string* error);
  ~WebPresenter() override;

  // "http://127.0.0.1:PORT/SECRET/"
  std::string Url() const;

  void DialogShown(const DialogSnapshot& dialog) override;
  void DialogChanged(const DialogSnapshot& dialog) override;
  void DialogClosed(const HWND& dialog) override;
  void TrayChanged(const std::vector<TrayIcon>& icons) override;
  void Balloon(const BalloonRecord& balloon) override;
  void MenuShown(const MenuSnapshot& menu) override;
  void MenuClosed(const HWND& menu) override;

  struct State;

 private:
  WebPresenter() = default;
  std::unique_ptr<State> state_;
};

}  // namespace tarvex
