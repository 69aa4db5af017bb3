// The tray (notification area) icon, its balloons, icon resources and
// pop-up menus, as the Windows programs use them. What a person sees of
// them is the presenter's (Presenter.h); what a person does comes back the
// Windows way: a click on the icon posts the icon's callback message to its
// owner window (lParam WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN or
// WM_CONTEXTMENU), a menu choice posts WM_COMMAND with the item's id.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/Window.h"

namespace tarvex {

inline constexpr uint32_t NIM_ADD = 0;
inline constexpr uint32_t NIM_MODIFY = 1;
inline constexpr uint32_t NIM_DELETE = 2;

inline constexpr uint32_t NIF_MESSAGE = 0x01;
inline constexpr uint32_t NIF_ICON = 0x02;
inline constexpr uint32_t NIF_TIP = 0x04;
inline constexpr uint32_t NIF_INFO = 0x10;

inline constexpr uint32_t NIIF_NONE = 0;
inline constexpr uint32_t NIIF_INFO = 1;
inline constexpr uint32_t NIIF_WARNING = 2;
inline constexpr uint32_t NIIF_ERROR = 3;

inline constexpr int64_t WM_CONTEXTMENU = 0x007B;
inline constexpr int64_t WM_LBUTTONDOWN = 0x0201;
inline constexpr int64_t WM_LBUTTONDBLCLK = 0x0203;
inline constexpr int64_t WM_RBUTTONDOWN = 0x0204;

// ---- Icons ----

// An icon of the program's resources, as a person would see it described.
struct IconResource {
  int id = 0;
  std::string description;  // "Tarvex", "Changes to synchronize", ...
  std::string color;        // a CSS colour a presenter may draw it with
};
// The program's icon resources (replacing any set before).
void SetIconResources(std::vector<IconResource> icons);
// Nothing when `id` is not among them.
std::optional<IconResource> FindIconResource(int id);

struct HICON {
  int resource = 0;
  explicit operator bool() const { return resource != 0; }
};
// The icon, or an empty one with ERROR_RESOURCE_TYPE_NOT_FOUND in `*error`
// when the resources hold none of that id.
HICON LoadIcon(int id, uint32_t* error = nullptr);
inline bool DestroyIcon(HICON) {
  return true;
}

// ---- The tray ----

struct NOTIFYICONDATA {
  HWND owner;
  uint32_t id = 0;
  uint32_t flags = 0;
  uint32_t callbackMessage = 0;
  HICON icon;
  std::string tip;        // cut to 127 characters by the caller
  std::string info;       // balloon text
  std::string infoTitle;  // balloon title
  uint32_t infoFlags = NIIF_NONE;
};

struct TrayIcon {
  HWND owner;
  uint32_t id = 0;
  uint32_t callbackMessage = 0;
  int icon = 0;
  std::string tip;
};

struct BalloonRecord {
  HWND owner;
  uint32_t id = 0;
  std::string title;
  std::string text;
  uint32_t flags = NIIF_NONE;
};

// NIM_ADD fails when the icon (owner, id) is there already, NIM_MODIFY and
// NIM_DELETE when it is not.
bool Shell_NotifyIcon(uint32_t action, const NOTIFYICONDATA& data);
// The icons now in the tray, in the order added.
std::vector<TrayIcon> TrayIcons();
// What a person's click on an icon does: posts its callback message to the
// owner with `mouse` (WM_LBUTTONDOWN ...) as lParam and the icon's id as
// wParam.
uint32_t ClickTrayIcon(const TrayIcon& icon, int64_t mouse);

// ---- Pop-up menus ----

inline constexpr uint32_t MF_STRING = 0x0000;
inline constexpr uint32_t MF_SEPARATOR = 0x0800;
inline constexpr uint32_t TPM_BOTTOMALIGN = 0x0020;
inline constexpr uint32_t TPM_RETURNCMD = 0x0100;

struct MenuItem {
  uint64_t id = 0;
  std::string text;
  bool separator = false;
};
struct Menu {
  std::vector<MenuItem> items;
};
using HMENU = Menu*;

HMENU CreatePopupMenu();
bool AppendMenu(HMENU menu, uint32_t flags, uint64_t id, const std::string& text);
bool DestroyMenu(HMENU menu);

// What a presenter sees of a menu being tracked.
struct MenuSnapshot {
  HWND window;  // where the choice is sent
  std::vector<MenuItem> items;
};

// Shows the menu and runs a nested loop until a person chose an item or
// dismissed it. The choice is posted to `owner` as WM_COMMAND, or returned
// with TPM_RETURNCMD; 0 when dismissed (or the loop was asked to quit).
uint64_t TrackPopupMenu(HMENU menu, uint32_t flags, int x, int y, const HWND& owner);
// What a person does to a menu being tracked (from any thread).
uint32_t ChooseMenuItem(const HWND& menuWindow, uint64_t id);
uint32_t DismissMenu(const HWND& menuWindow);

}  // namespace tarvex
