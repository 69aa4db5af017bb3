// The requests to the service that stand alone (profile names, service
// status), and the bookkeeping helpers of the sync's conflict pass.
#pragma once

#include <json/json.h>

#include <string>
#include <string_view>

#include "ie/sync/SyncContext.h"

namespace tarvex {

class CommandSet;
class NodeSet;

// The user's profiles ({name: view}) from `authserver` +
// "/user/profiles/getnames"; throws ("internal", -10) unless the reply's
// status reads "0".
Json::Value GetProfileNames(SyncContext& context = SyncContext::Process());

// The reply of "/sync/bookmarks/status" on `server`.
Json::Value GetServiceStatus(SyncContext& context, bool manual);

// Clears the deleted-node list of every "delete" and every command's flag.
void ResetBookkeeping(CommandSet& commands);

// For every "delete" of `commands`: records the node and every node below
// it in `first` (which must hold them) that `other` does not hold. Every
// other command's list is cleared.
void RecordDeletedSubtrees(CommandSet& commands, NodeSet& first, NodeSet& other);

// The address of the web site's sync-error page that the sync opens after a
// failure: the setting `syncerrurl` (for tests), else "https://" and the
// setting `webserver` (kept as it is when it already holds a scheme), then
// "/syncerr.php?msg=", the message, "&username=", the user and "&client=ie"
// with the client version. Message and user are percent-encoded byte by byte
// outside the unreserved characters, so server text cannot break the URL.
std::string SyncErrorUrl(Settings& settings, std::string_view message, std::string_view user);
// Every byte other than A-Z a-z 0-9 - . _ ~ as "%XX".
std::string EncodeQueryComponent(std::string_view text);

// True for "created", "visited", "modified" and "icon".
bool IsUnimportantAttribute(std::string_view name);

}  // namespace tarvex
