// A plain implementation of the comparison of two trees, written for
// clarity rather than speed, to check NodeSet::Compare against.
//
// It runs the three passes (reorders, inserts and moves; deletes; modifies)
// over a breadth-first walk from ROOT that steps each node once, looks
// children up by searching lists, and executes each command on `set` as soon
// as it is made.
#pragma once

#include "nodeset/Command.h"
#include "nodeset/NodeSet.h"

namespace tarvex::testing {

// The commands that turn `set` into `other`; `set` becomes `other` on the way.
CommandSet ReferenceCompare(NodeSet& set, NodeSet& other);

}  // namespace tarvex::testing
