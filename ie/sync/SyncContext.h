// What the requests and the account work with: the settings, the log, the
// HTTP transport, the clock and the user. Tests build their own; Process()
// wires the process-wide ones.
#pragma once

namespace tarvex {

class Settings;
class Logger;
class HttpTransport;
class Clock;
class Account;
class UserPrompt;

struct SyncContext {
  Settings& settings;
  Logger& logger;
  HttpTransport& transport;
  Clock& clock;
  Account& account;
  UserPrompt& prompt;

  static SyncContext& Process();
};

}  // namespace tarvex
