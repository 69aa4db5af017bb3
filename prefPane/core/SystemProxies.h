// What the pane asks of the system besides scripts: its proxies, the
// computer's name and the agent's login item.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/mac/LoginItems.h"
#include "platform/mac/Value.h"

namespace tarvex::pane {

// Reads an environment variable: its value, or nothing when it is unset.
using EnvironmentReader = std::function<std::optional<std::string>(const std::string&)>;
// The process's own environment.
std::optional<std::string> ProcessEnvironment(const std::string& name);

// The system's current proxies as the Mac's dynamic store gives them:
// "HTTPEnable" (1), "HTTPProxy" (the host) and "HTTPPort" (a number), and
// the same with "HTTPS", from http_proxy (else HTTP_PROXY) and https_proxy
// (else HTTPS_PROXY). The scheme, any "user:password@" and any path are
// dropped; a proxy without a valid port (1..65535) has no port entry; an
// unset or empty variable, or one without a host, gives no entries.
mac::DictRef SystemProxies(const EnvironmentReader& environment = ProcessEnvironment);

// The computer's name: PRETTY_HOSTNAME from `machineInfo` (quotes and
// backslash escapes as the file allows), else the host name, else
// "Unknown".
std::string ComputerName(const std::string& machineInfo = "/etc/machine-info",
                         const std::function<std::string()>& hostName = {});

// The login-items file, "~" standing for the home folder.
inline constexpr char kLoginWindowFile[] = "~/Library/Preferences/loginwindow.plist";

// The agent's login item made to follow `launchAtLogin`, in the
// login-items file at `path`: {"Path": "/Applications/Tarvex for
// Safari.app", "Hide": false} added when wanted and missing, every entry of
// it removed when not. A file that exists but cannot be read is left alone
// (Unreadable), never rewritten as empty.
mac::LoginItemUpdate UpdateLaunchAtLogin(const std::string& path, bool launchAtLogin);

}  // namespace tarvex::pane
