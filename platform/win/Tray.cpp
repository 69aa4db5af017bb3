#include "platform/win/Tray.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/Win32Error.h"
#include "platform/win/Presenter.h"

namespace tarvex {
namespace {

std::mutex& Lock() {
  static auto* m = new std::mutex;
  return *m;
}
std::vector<IconResource>& Icons() {
  static auto* icons = new std::vector<IconResource>;
  return *icons;
}
std::vector<TrayIcon>& Tray() {
  static auto* tray = new std::vector<TrayIcon>;
  return *tray;
}

constexpr uint32_t kChooseMessage = WM_LAYER_FIRST + 3;
constexpr uint32_t kDismissMessage = WM_LAYER_FIRST + 4;

}  // namespace

void SetIconResources(std::vector<IconResource> icons) {
  std::lock_guard<std::mutex> guard(Lock());
  Icons() = std::move(icons);
}

std::optional<IconResource> FindIconResource(int id) {
  std::lock_guard<std::mutex> guard(Lock());
  for (const IconResource& icon : Icons())
    if (icon.id == id) return icon;
  return std::nullopt;
}

HICON LoadIcon(int id, uint32_t* error) {
  if (id != 0 && FindIconResource(id)) {
    if (error) *error = win32::ERROR_SUCCESS;
    return HICON{id};
  }
  if (error) *error = win32::ERROR_RESOURCE_TYPE_NOT_FOUND;
  return HICON{};
}

bool Shell_NotifyIcon(uint32_t action, const NOTIFYICONDATA& data) {
  std::vector<TrayIcon> now;
  {
    std::lock_guard<std::mutex> guard(Lock());
    auto& tray = Tray();
    auto it = std::find_if(tray.begin(), tray.end(), [&](const TrayIcon& i) {
      return i.owner == data.owner && i.id == data.id;
    });
    switch (action) {
      case NIM_ADD:
        if (it != tray.end()) return false;
        tray.push_back(TrayIcon{data.owner, data.id, 0, 0, {}});
        it = tray.end() - 1;
        break;
      case NIM_MODIFY:
        if (it == tray.end()) return false;
        break;
      case NIM_DELETE:
        if (it == tray.end()) return false;
        tray.erase(it);
        it = tray.end();
        break;
      default:
        return false;
    }
    if (it != tray.end()) {
      if (data.flags & NIF_MESSAGE) it->callbackMessage = data.callbackMessage;
      if (data.flags & NIF_ICON) it->icon = data.icon.resource;
      if (data.flags & NIF_TIP) it->tip = data.tip;
    }
    now = tray;
  }
  std::shared_ptr<Presenter> presenter = CurrentPresenter();
  presenter->TrayChanged(now);
  if (action != NIM_DELETE && (data.flags & NIF_INFO) && !data.infoTitle.empty())
    presenter->Balloon(BalloonRecord{data.owner, data.id, data.infoTitle, data.info, data.infoFlags});
  return true;
}

std::vector<TrayIcon> TrayIcons() {
  std::lock_guard<std::mutex> guard(Lock());
  return Tray();
}

uint32_t ClickTrayIcon(const TrayIcon& icon, int64_t mouse) {
  return PostMessage(icon.owner, icon.callbackMessage, icon.id, mouse);
}

HMENU CreatePopupMenu() {
  return new Menu;
}

bool AppendMenu(HMENU menu, uint32_t flags, uint64_t id, const std::string& text) {
  if (!menu) return false;
  if (flags & MF_SEPARATOR)
    menu->items.push_back(MenuItem{0, {}, true});
  else
    menu->items.push_back(MenuItem{id, text, false});
  return true;
}

bool DestroyMenu(HMENU menu) {
  if (!menu) return false;
  delete menu;
  return true;
}

uint64_t TrackPopupMenu(HMENU menu, uint32_t flags, int, int, const HWND& owner) {
  if (!menu) return 0;
  bool done = false;
  uint64_t chosen = 0;
  const HWND window =
      CreateLocalWindow("menu", [&](const HWND&, uint32_t m, uint64_t wParam, int64_t) {
        if (m == kDismissMessage) done = true;
        if (m == kChooseMessage) {
          for (const MenuItem& item : menu->items) {
            if (!item.separator && item.id == wParam) {
              chosen = wParam;
              done = true;
            }
          }
        }
        return int64_t{0};
      });
  std::shared_ptr<Presenter> presenter = CurrentPresenter();
  presenter->MenuShown(MenuSnapshot{window, menu->items});
  RunNestedLoop([&] { return done; });
  presenter->MenuClosed(window);
  DestroyWindow(window);
  if (chosen && !(flags & TPM_RETURNCMD)) PostMessage(owner, WM_COMMAND, chosen, 0);
  return chosen;
}

uint32_t ChooseMenuItem(const HWND& menuWindow, uint64_t id) {
  return PostMessage(menuWindow, kChooseMessage, id, 0);
}

uint32_t DismissMenu(const HWND& menuWindow) {
  return PostMessage(menuWindow, kDismissMessage, 0, 0);
}

}  // namespace tarvex
