#include "nodeset/testing/ReferenceCompare.h"

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "text/Text.h"
#include "nodeset/Engine.h"
#include "nodeset/Utilities.h"

namespace tarvex::testing {
namespace {

using Ids = std::vector<std::string>;

bool Contains(const Ids& list, const std::string& id) {
  return std::find(list.begin(), list.end(), id) != list.end();
}

// The ids of `a` that occur in `b`, in the order of `a`.
Ids Intersect(const Ids& a, const Ids& b) {
  Ids out;
  for (const std::string& x : a)
    for (const std::string& y : b)
      if (x == y) {
        out.push_back(x);
        break;
      }
  return out;
}

// The first child of `node` at `index` or later that `present` holds.
std::string FirstPresent(size_t index, const Node& node, const Ids& present) {
  for (size_t i = index; i < node.GetChildLength(); ++i)
    if (Contains(present, node.GetChildAt(i))) return node.GetChildAt(i);
  return "";
}

class Comparison {
 public:
  Comparison(NodeSet& set, NodeSet& other) : set_(set), other_(other) {}

  CommandSet Run() {
    for (int pass = 0; pass < 3; ++pass) Walk(pass);
    return std::move(out_);
  }

 private:
  void Emit(const std::string& action, const std::string& id, Attributes args = {}) {
    auto command = std::make_unique<Command>(action, id, std::move(args));
    set_.Execute(*command);
    out_.Append(std::move(command));
  }

  // Breadth first from ROOT; a node met again is skipped (neither stepped
  // nor its children taken), so every walk ends.
  void Walk(int pass) {
    Ids work{"ROOT"};
    std::set<std::string> done;
    for (size_t next = 0; next < work.size(); ++next) {
      const std::string id = work[next];
      if (!done.insert(id).second) continue;
      if (pass == 0) ReordersInsertsMoves(id);
      if (pass == 1) Deletes(id);
      if (pass == 2) Modifies(id);
      // After the step: what it added is walked, what it removed is not.
      if (Node* node = set_.GetNode(id, false, true, true))
        for (const std::string& child : node->RawChildren()) work.push_back(child);
    }
  }

  void ReordersInsertsMoves(const std::string& id) {
    Node* node = set_.GetNode(id, false, false, true);
    Node* theirs = other_.GetNode(id, false, true, true);
    if (!theirs) return;
    // A bookmark that is a folder in the other tree is filled as well.
    if (!node->IsFolder() && !theirs->IsFolder()) return;

    Ids a = Intersect(node->RawChildren(), theirs->RawChildren());
    Ids b = Intersect(theirs->RawChildren(), node->RawChildren());
    for (size_t k = 0; k < a.size() && k < b.size(); ++k) {
      if (a[k] == b[k]) continue;
      Emit("reorder", b[k], {{"bnid", a[k]}});
      auto at = std::find(a.begin() + static_cast<std::ptrdiff_t>(k), a.end(), b[k]);
      if (at != a.end()) a.erase(at);
      a.insert(a.begin() + static_cast<std::ptrdiff_t>(k), b[k]);
    }

    size_t counter = 1;
    for (const std::string& child : theirs->RawChildren()) {
      const Ids present = set_.GetNode(id, false, false, true)->RawChildren();
      if (!Contains(present, child)) {
        std::string bnid = FirstPresent(counter, *theirs, present);
        if (set_.GetNode(child, false, true, true)) {
          Emit("move", child, {{"pnid", id}, {"bnid", bnid}});
        } else {
          Attributes args = other_.GetNode(child, false, false, true)->GetSafeAttrs();
          args["bnid"] = bnid;
          Emit("insert", child, args);
        }
      }
      ++counter;
    }
  }

  void Deletes(const std::string& id) {
    if (!other_.GetNode(id, false, true, true)) Emit("delete", id);
  }

  // White space and the filler are trimmed from every value; the "__N"
  // suffix of a unique file name from the name only.
  static std::string Clean(const std::string& key, const std::string& value) {
    std::string text = TrimCodePoint(Trim(value), Engine::Current().Platform().FillerChar());
    return key == "name" ? StripUniqueSuffix(text) : text;
  }

  void Modifies(const std::string& id) {
    Node* node = set_.GetNode(id, false, false, true);
    Node* theirs = other_.GetNode(id, false, false, true);
    Attributes args;
    int important = 0;
    for (const auto& [key, value] : theirs->GetSafeAttrs()) {
      if (Clean(key, node->GetAttr(key)) == Clean(key, value)) continue;
      args[key] = value;
      if (IsImportantAttribute(key)) ++important;
    }
    for (const auto& [key, value] : node->GetSafeAttrs()) {
      if (!theirs->GetAttr(key).empty() || Clean(key, value).empty()) continue;
      args[key] = "";
      if (IsImportantAttribute(key)) ++important;
    }
    if (important > 0) Emit("update", id, args);
  }

  NodeSet& set_;
  NodeSet& other_;
  CommandSet out_;
};

}  // namespace

CommandSet ReferenceCompare(NodeSet& set, NodeSet& other) {
  return Comparison(set, other).Run();
}

}  // namespace tarvex::testing
