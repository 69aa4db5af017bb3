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
