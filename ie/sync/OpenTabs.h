// The tabs open in the browser: read from the browser's windows through
// their accessibility objects, published for this computer on the cloud
// host ("/cloud/tabs/write"), and the lists the other computers published
// read back ("/cloud/tabs/read").
//
// A tab list as sent is the `windows` array: one {"tabs": [{"url", "title"}]}
// per page tab list of a browser frame that shows at least one http or https
// page.
#pragma once

#include <json/json.h>

#include <mutex>
#include <optional>

#include "ie/sync/SyncContext.h"
#include "platform/tabs/WindowModel.h"

namespace tarvex {

class Logger;

// Handles one top-level window: when it is a browser frame ("IEFrame"),
// appends its tab lists to `windows`. Every failure is logged and ends the
// work on that frame only. Always true: the enumeration goes on.
bool GetIEOpenTabs(const WindowNode& window, Json::Value& windows, Logger& logger);

// The tab lists of every browser frame into `windows` (an array); false when
// the windows could not be enumerated.
bool ReadIEOpenTabs(const WindowModel& model, Json::Value& windows, Logger& logger);

// The tab requests of the sync. Settings: `tabsync` (default true),
// `machineid` (default "0"), `computername` (default "Unknown"),
// `cloudserver`; `lasttabsync` is kept for this run only. The list last sent
// is kept in memory for the life of the object (the process-wide one lives
// as long as the process).
class OpenTabs {
 public:
  OpenTabs(SyncContext& context, const WindowModel& windows);
  OpenTabs(const OpenTabs&) = delete;
  OpenTabs& operator=(const OpenTabs&) = delete;

  // The one installed with SetProcess (the program's), else one over
  // SyncContext::Process() and the platform's windows, never destroyed.
  static OpenTabs& Process();
  // Makes `tabs` the one Process() answers with (null: its own again) and
  // returns the one it replaces; `tabs` outlives its place.
  static OpenTabs* SetProcess(OpenTabs* tabs);

  // Publishes this computer's tabs. Unless `force`, nothing is sent when the
  // list equals the one last sent, nor when it is empty and the last list
  // sent (if any) was empty too: an empty list goes out once after tabs
  // were published, so other computers stop showing tabs closed here. A
  // reply without `status` counts as success. `manual` is the request's
  // manual flag. Every failure is logged; never throws.
  void WriteTabs(bool manual, bool force);

  // The other computers' lists, one member per client name N:
  //   N.mids.M   the entry machine M uploaded, unchanged;
  //   N.M        {"length": the number of M's tabs};
  //   N.length   the number of tabs of all machines of N.
  // This computer's own entry is left out, and so are entries of the wrong
  // shape and machine ids that would clash with "mids" or "length" (each
  // logged). Null when the reply is not a status "0" with `mids`, or on any
  // failure (logged); never throws.
  Json::Value ReadTabs(bool manual);

  // The list last sent successfully; null before the first.
  Json::Value LastSent() const;

 private:
  SyncContext& context_;
  const WindowModel& windows_;
  mutable std::mutex lock_;
  std::optional<Json::Value> lastSent_;
};

}  // namespace tarvex
