// What the requests and the account work with: the settings, the log, the
// HTTP transport, the clock and the user. Tests build their own; Process()
// is the program's (ClientServices::InstallAsProcess), else one wired to
// the process-wide singletons.
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
  // Makes `context` the one Process() answers with (null: the singletons'
  // again) and returns the one it replaces; `context` outlives its place.
  static SyncContext* SetProcess(SyncContext* context);
};

}  // namespace tarvex
