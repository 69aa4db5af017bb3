#include "app/nodeset/MatchRules.h"

#include <string_view>

#include "app/core/KVPort.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"

namespace tarvex::mac {
namespace {

// Removes `pattern` until the text holds it no more. Neither pattern this
// file removes overlaps itself (no proper prefix is also a suffix), so one
// pass that drops the pattern whenever the kept text ends with it leaves
// exactly what removing the first occurrence again and again would leave.
void RemoveRepeatedly(std::string& text, std::string_view pattern) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    kept.push_back(c);
    if (kept.size() >= pattern.size() &&
        std::string_view(kept).substr(kept.size() - pattern.size()) == pattern)
      kept.resize(kept.size() - pattern.size());
  }
  text.swap(kept);
}

std::string Normalised(std::string text) {
  KVPort::Trim(text, " ");
  return text;
}

}  // namespace

int CompareNodes(const NodeSet& set, const Node& sought, const Node& candidate) {
  (void)set;
  if (sought.GetAttr(keys::kNtype) != candidate.GetAttr(keys::kNtype)) return 0;
  const std::string url = Normalised(MatchUrl(sought.GetAttr(keys::kUrl)));
  if (url != Normalised(MatchUrl(candidate.GetAttr(keys::kUrl)))) return 0;
  const bool sameId = sought.GetID() == candidate.GetID();
  if (Normalised(MatchName(sought.GetAttr(keys::kName))) ==
      Normalised(MatchName(candidate.GetAttr(keys::kName))))
    return sameId ? 100 : 80;
  if (url.empty()) return 0;
  return sameId ? 50 : 10;
}

std::string MatchName(std::string title) {
  RemoveRepeatedly(title, "%s");
  RemoveRepeatedly(title, "%25s");
  return title;
}

std::string MatchUrl(std::string url) {
  if (url.starts_with("feed:https")) return url.replace(0, 10, "https");
  if (url.starts_with("feed")) return url.replace(0, 4, "http");
  return url;
}

std::string NodeName(const NodeSet& set, std::string id) {
  // A plain lookup changes nothing; GetNode is not const only because a
  // lookup that clones would.
  const Node* node = const_cast<NodeSet&>(set).GetNode(id, false, true, true);
  const std::string title = node ? node->GetAttr(keys::kName) : std::string();
  if (title.empty()) return id;
  return title + "(" + id + ")";
}

EngineFlavor MacFlavor() {
  EngineFlavor flavor = EngineFlavor::Mac();
  flavor.score = &CompareNodes;
  return flavor;
}

}  // namespace tarvex::mac
