// How the Mac agent pairs the nodes of two trees when it merges them: its
// own score, installed as the engine's scoring hook by the Mac flavour, and
// the normalised forms of titles and addresses the score compares.
// Comparisons are byte-exact on UTF-8: case matters, nothing is normalised
// beyond what these functions do.
#pragma once

#include <string>

#include "nodeset/Engine.h"

namespace tarvex {
class Node;
class NodeSet;
}  // namespace tarvex

namespace tarvex::mac {

// How well `candidate` (a node of `set`) matches `sought` (a node of the
// other tree): 0 when their types differ (two missing types are equal) or
// their addresses differ; otherwise, with titles and addresses normalised
// (MatchName, MatchUrl, then spaces trimmed from both ends):
//   same title:                         100 for the same id, else 80
//   another title, the same address:     50 for the same id, else 10
//   another title, both addresses empty:  0
// So a folder that was renamed on one side never pairs. Never throws.
int CompareNodes(const NodeSet& set, const Node& sought, const Node& candidate);

// The title with every "%s" removed (until none is left, so "%%ss" gives
// ""), then every "%25s" the same way ("%%25ss" gives "%s"). Not trimmed.
std::string MatchName(std::string title);

// A feed address as the page it stands for: "feed:https..." becomes
// "https...", otherwise "feed..." becomes "http..."; case-sensitive; any
// other address is returned as it is.
std::string MatchUrl(std::string url);

// "title(id)" for the node `id` of `set` (looked up through its base set),
// or the bare id when the node is missing or has no title. For messages.
std::string NodeName(const NodeSet& set, std::string id);

// The engine's Mac flavour with the agent's score as its scoring hook.
EngineFlavor MacFlavor();

}  // namespace tarvex::mac
