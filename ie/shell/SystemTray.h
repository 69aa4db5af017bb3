// The client's icon in the tray: shown for the hidden window with id 1337
// and the callback message 1065, with its tool tip and balloons. It keeps
// one thing of its own, the icon now shown: showing that icon again changes
// nothing (neither the tip nor the balloon).
#pragma once

#include <string>

#include "platform/win/Window.h"

namespace tarvex {

inline constexpr uint32_t kTrayIconId = 1337;

class SystemTray {
 public:
  explicit SystemTray(HWND window = {}) : window_(std::move(window)) {}

  void SetWindow(const HWND& window) { window_ = window; }
  const HWND& window() const { return window_; }

  // Shows `icon` with its tip (cut to 127 characters) and, when `balloonTitle`
  // is not empty, a balloon (title cut to 63, text to 255 characters; flags
  // 0 none, 1 information, 3 error): modifies the entry, else adds it.
  // Throws VelkException ("windows_shell", the error, "Error loading systray
  // icon") for an icon the resources do not hold.
  void ShowTrayIcon(int icon, const std::string& tip, const std::string& balloonTitle = {},
                    const std::string& balloonText = {}, uint32_t balloonFlags = 0);
  // Changes only the icon. Throws ("windows", ...) as above.
  void SetTrayIcon(int icon);
  void RemoveTrayIcon();
  int CurrentIcon() const { return current_; }

 private:
  HWND window_;
  int current_ = 0;
};

}  // namespace tarvex
