#include "platform/win/WebPresenter.h"

namespace tarvex {

struct WebPresenter::State {};

std::shared_ptr<WebPresenter> WebPresenter::Start(WebPresenterOptions, std::string* error) {
  *error = "the web presenter is not built yet";
  return nullptr;
}

WebPresenter::~WebPresenter() = default;
std::string WebPresenter::Url() const {
  return {};
}
void WebPresenter::DialogShown(const DialogSnapshot&) {}
void WebPresenter::DialogChanged(const DialogSnapshot&) {}
void WebPresenter::DialogClosed(const HWND&) {}
void WebPresenter::TrayChanged(const std::vector<TrayIcon>&) {}
void WebPresenter::Balloon(const BalloonRecord&) {}
void WebPresenter::MenuShown(const MenuSnapshot&) {}
void WebPresenter::MenuClosed(const HWND&) {}

}  // namespace tarvex
