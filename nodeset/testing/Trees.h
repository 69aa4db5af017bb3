// Small trees for tests: a notation to build and describe them, random trees
// and random changes to them.
//
// Notation: ids separated by spaces; "{...}" after an id makes it a folder
// holding what is inside. "a f{b c}" is ROOT holding bookmark a and folder f,
// which holds bookmarks b and c. Bookmarks are named after their id with the
// address "http://<id>/"; folders are named after their id.
#pragma once

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "nodeset/NodeSet.h"

namespace tarvex::testing {

// The example tree of the file format: ROOT{a1, f2{b3}} (f2 the toolbar
// folder), revision 1042, Alice's.
void BuildExample(NodeSet& set);

// Executes the inserts that build the tree (ROOT included) on `set`.
void BuildTree(NodeSet& set, std::string_view notation);
// The tree below `root` in the notation (children in order).
std::string Describe(NodeSet& set, std::string_view root = "ROOT");
// The whole tree reachable from ROOT with every attribute, in a canonical
// text: equal texts mean equal trees. Unimportant attributes (created,
// modified, visited, icon) are left out unless `all`.
std::string Snapshot(NodeSet& set, bool all = false);
// Every node reachable from ROOT, level by level.
std::vector<std::string> Reachable(NodeSet& set);

// A random tree of about `nodes` nodes below ROOT, with ids "n1", "n2", ...
// (prefix `prefix`), folders about one in five, names drawn from a small
// pool so that names and addresses repeat.
void RandomTree(NodeSet& set, std::mt19937& rng, int nodes, std::string_view prefix = "n");
// Applies `changes` random valid changes (insert, delete, move, reorder,
// rename, new address, type change of an empty bookmark into a folder)
// through commands, with new ids drawn from `prefix`.
void MutateTree(NodeSet& set, std::mt19937& rng, int changes, std::string_view prefix = "m");

}  // namespace tarvex::testing
