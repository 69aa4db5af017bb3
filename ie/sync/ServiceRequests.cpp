#include "ie/sync/ServiceRequests.h"

#include <string>
#include <vector>

#include "ie/foundation/Settings.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/sync/SynchronousRequest.h"
#include "nodeset/Command.h"
#include "nodeset/Json.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"
#include "text/Text.h"

namespace tarvex {

Json::Value GetProfileNames(SyncContext& context) {
  SynchronousRequest request(
      "POST", context.settings.GetValue("authserver", "") + "/user/profiles/getnames", false,
      nullptr, nullptr, false, context);
  const Json::Value& reply = request.GetResponse();
  if (reply.isObject()) {
    const Json::Value& status = reply["status"];
    if (IsJsonText(status) && JsonText(status) == "0") return reply["profiles"];
  }
  throw VelkException("internal", kErrGeneral, "Unable to get profiles from result");
}

Json::Value GetServiceStatus(SyncContext& context, bool manual) {
  SynchronousRequest request("POST", "/sync/bookmarks/status", manual, nullptr, nullptr, false,
                             context);
  return request.GetResponse();
}

void ResetBookkeeping(CommandSet& commands) {
  for (const auto& command : commands.Commands()) {
    if (command->GetAction() == actions::kDelete) command->ResetDeletedNodes();
    command->flagged = false;
  }
}

void RecordDeletedSubtrees(CommandSet& commands, NodeSet& first, NodeSet& other) {
  for (const auto& command : commands.Commands()) {
    command->ResetDeletedNodes();
    if (command->GetAction() != actions::kDelete) continue;
    // The node first, then each subtree in child order.
    std::vector<std::string> pending{command->GetID()};
    while (!pending.empty()) {
      std::string id = std::move(pending.back());
      pending.pop_back();
      Node* node = first.GetNode(id, false, false, true, "server1");
      for (size_t i = node->GetChildLength(); i-- > 0;) pending.push_back(node->GetChildAt(i));
      if (!other.GetNode(id, false, true, true)) command->AddDeletedNode(std::move(id));
    }
  }
}

std::string EncodeQueryComponent(std::string_view text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
        b == '.' || b == '_' || b == '~') {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
    }
  }
  return out;
}

std::string SyncErrorUrl(Settings& settings, std::string_view message, std::string_view user) {
  std::string base = settings.GetValue("syncerrurl", "");
  if (base.empty()) {
    std::string host = settings.GetValue("webserver", "");
    base = (IsWebAddress(host, false) ? "" : "https://") + host + "/syncerr.php";
  }
  return base + "?msg=" + EncodeQueryComponent(message) +
         "&username=" + EncodeQueryComponent(user) + "&client=ie" +
         EncodeQueryComponent(settings.GetValue("kestroveversion", "-1"));
}

bool IsUnimportantAttribute(std::string_view name) {
  return !IsImportantAttribute(name);
}

}  // namespace tarvex
