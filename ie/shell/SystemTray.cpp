#include "ie/shell/SystemTray.h"

#include "ie/foundation/core/VelkException.h"
#include "ie/shell/Resources.h"
#include "platform/win/Tray.h"
#include "text/Text.h"

namespace tarvex {
namespace {

HICON Load(int icon, const char* source) {
  uint32_t error = 0;
  HICON loaded = LoadIcon(icon, &error);
  if (!loaded) throw VelkException(source, static_cast<int32_t>(error), "Error loading systray icon");
  return loaded;
}

}  // namespace

void SystemTray::ShowTrayIcon(int icon, const std::string& tip, const std::string& balloonTitle,
                              const std::string& balloonText, uint32_t balloonFlags) {
  if (icon == current_) return;
  NOTIFYICONDATA data;
  data.owner = window_;
  data.id = kTrayIconId;
  data.callbackMessage = kTrayCallbackMessage;
  data.icon = Load(icon, "windows_shell");
  data.flags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.tip = CutUtf16(tip, 127);
  if (!balloonTitle.empty()) {
    data.flags |= NIF_INFO;
    data.infoFlags = balloonFlags;
    data.info = CutUtf16(balloonText, 255);
    data.infoTitle = CutUtf16(balloonTitle, 63);
  }
  if (!Shell_NotifyIcon(NIM_MODIFY, data)) Shell_NotifyIcon(NIM_ADD, data);
  current_ = icon;
  DestroyIcon(data.icon);
}

void SystemTray::SetTrayIcon(int icon) {
  NOTIFYICONDATA data;
  data.owner = window_;
  data.id = kTrayIconId;
  data.icon = Load(icon, "windows");
  data.flags = NIF_ICON;
  Shell_NotifyIcon(NIM_MODIFY, data);
  DestroyIcon(data.icon);
}

void SystemTray::RemoveTrayIcon() {
  NOTIFYICONDATA data;
  data.owner = window_;
  data.id = kTrayIconId;
  Shell_NotifyIcon(NIM_DELETE, data);
  current_ = 0;
}

}  // namespace tarvex
