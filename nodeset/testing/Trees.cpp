#include "nodeset/testing/Trees.h"

#include <deque>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "nodeset/Command.h"
#include "nodeset/Utilities.h"

namespace tarvex::testing {

void BuildExample(NodeSet& set) {
  set.AddNode(std::make_unique<Node>(
      "ROOT", Attributes{{"name", "Favorites"}, {"ntype", "folder"}, {"tnid", "f2"}}));
  set.AddNode(std::make_unique<Node>("a1", Attributes{{"name", "Example"},
                                                      {"url", "http://example.com/"},
                                                      {"created", "1262304000"},
                                                      {"modified", "0"}}));
  set.InsertInParent("a1", "ROOT", "");
  set.AddNode(std::make_unique<Node>("f2", Attributes{{"name", "Links"}, {"ntype", "folder"}}));
  set.InsertInParent("f2", "ROOT", "");
  set.AddNode(std::make_unique<Node>(
      "b3",
      Attributes{{"name", "News"}, {"url", "http://news.example/"}, {"tags", "daily,world"}}));
  set.InsertInParent("b3", "f2", "");
  set.SetRevision("1042");
  set.SetUserHash("alice@example.com");
}

void BuildTree(NodeSet& set, std::string_view notation) {
  set.Do_insert("ROOT", {{"ntype", "folder"}, {"name", "Favorites"}});
  std::vector<std::string> parents{"ROOT"};
  std::string last;
  size_t i = 0;
  auto flush = [&](std::string id) {
    if (id.empty()) return;
    set.Do_insert(id, {{"pnid", parents.back()}, {"name", id}, {"url", "http://" + id + "/"}});
    last = id;
  };
  std::string token;
  while (i < notation.size()) {
    char c = notation[i++];
    if (c == ' ' || c == '{' || c == '}') {
      flush(token);
      token.clear();
      if (c == '{') {
        if (last.empty()) throw std::invalid_argument("'{' without a folder id");
        set.Do_update(last, {{"ntype", "folder"}, {"url", ""}});
        parents.push_back(last);
        last.clear();
      } else if (c == '}') {
        if (parents.size() < 2) throw std::invalid_argument("unbalanced '}'");
        parents.pop_back();
        last.clear();
      }
    } else {
      token.push_back(c);
    }
  }
  flush(token);
}

std::string Describe(NodeSet& set, std::string_view root) {
  std::string out;
  // (id, depth marker) walked depth first.
  struct Item {
    std::string id;
    bool close;
  };
  std::vector<Item> stack;
  const auto& children = set.GetNode(root, false, false, true)->RawChildren();
  for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back({*it, false});
  bool first = true;
  while (!stack.empty()) {
    Item item = stack.back();
    stack.pop_back();
    if (item.close) {
      out += "}";
      continue;
    }
    if (!first && out.back() != '{') out += " ";
    first = false;
    out += item.id;
    Node* node = set.GetNode(item.id, false, false, true);
    if (node->IsFolder()) {
      out += "{";
      stack.push_back({"", true});
      const auto& kids = node->RawChildren();
      for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back({*it, false});
    }
  }
  return out;
}

std::vector<std::string> Reachable(NodeSet& set) {
  std::vector<std::string> ids;
  std::deque<std::string> queue{"ROOT"};
  while (!queue.empty()) {
    ids.push_back(queue.front());
    queue.pop_front();
    for (const std::string& child : set.GetNode(ids.back(), false, false, true)->RawChildren())
      queue.push_back(child);
  }
  return ids;
}

std::string Snapshot(NodeSet& set, bool all) {
  std::ostringstream out;
  std::deque<std::string> queue{"ROOT"};
  if (!set.GetNode("ROOT", false, true, true)) return "<no root>";
  while (!queue.empty()) {
    std::string id = queue.front();
    queue.pop_front();
    Node* node = set.GetNode(id, false, false, true);
    out << id << " {";
    for (const auto& [key, value] : node->Attrs())
      if (all || IsImportantAttribute(key)) out << key << "=" << value << ";";
    out << "} [";
    for (const std::string& child : node->RawChildren()) {
      out << child << " ";
      queue.push_back(child);
    }
    out << "]\n";
  }
  return out.str();
}

namespace {

const char* const kNames[] = {"News", "Mail", "Work", "Docs", "Shop", "Maps", "Blog", "Wiki"};

std::string PickName(std::mt19937& rng) {
  std::string name = kNames[rng() % std::size(kNames)];
  if (rng() % 4 == 0) name += Format(" %u", rng() % 3);
  return name;
}

std::string PickUrl(std::mt19937& rng) {
  return "http://site" + std::to_string(rng() % 40) + "/";
}

// Every node reachable from ROOT, folders separately.
void Collect(NodeSet& set, std::vector<std::string>& all, std::vector<std::string>& folders) {
  std::deque<std::string> queue{"ROOT"};
  while (!queue.empty()) {
    std::string id = queue.front();
    queue.pop_front();
    Node* node = set.GetNode(id, false, false, true);
    all.push_back(id);
    if (node->IsFolder()) folders.push_back(id);
    for (const std::string& child : node->RawChildren()) queue.push_back(child);
  }
}

bool IsBelow(NodeSet& set, const std::string& id, const std::string& ancestor) {
  for (std::string at = id; !at.empty(); at = set.GetNode(at, false, false, true)->GetAttr("pnid"))
    if (at == ancestor) return true;
  return false;
}

}  // namespace

void RandomTree(NodeSet& set, std::mt19937& rng, int nodes, std::string_view prefix) {
  set.Do_insert("ROOT", {{"ntype", "folder"}, {"name", "Favorites"}});
  std::vector<std::string> folders{"ROOT"};
  for (int i = 1; i <= nodes; ++i) {
    std::string id = std::string(prefix) + std::to_string(i);
    std::string parent = folders[rng() % folders.size()];
    Node* p = set.GetNode(parent, false, false, true);
    std::string bnid;
    if (p->GetChildLength() > 0 && rng() % 3 == 0)
      bnid = p->GetChildAt(rng() % p->GetChildLength());
    if (rng() % 5 == 0) {
      set.Do_insert(
          id, {{"pnid", parent}, {"bnid", bnid}, {"ntype", "folder"}, {"name", PickName(rng)}});
      folders.push_back(id);
    } else {
      set.Do_insert(id, {{"pnid", parent},
                         {"bnid", bnid},
                         {"name", PickName(rng)},
                         {"url", PickUrl(rng)},
                         {"created", std::to_string(1262304000 + rng() % 1000)}});
    }
  }
}

void MutateTree(NodeSet& set, std::mt19937& rng, int changes, std::string_view prefix) {
  for (int n = 0; n < changes; ++n) {
    std::vector<std::string> all, folders;
    Collect(set, all, folders);
    std::string target = all[rng() % all.size()];
    std::string folder = folders[rng() % folders.size()];
    Node* f = set.GetNode(folder, false, false, true);
    std::string bnid;
    if (f->GetChildLength() > 0 && rng() % 2 == 0)
      bnid = f->GetChildAt(rng() % f->GetChildLength());
    switch (rng() % 7) {
      case 0: {  // insert
        // New ids come from the same seeded generator, so a run repeats.
        std::string id;
        do {
          id = std::string(prefix) + std::to_string(rng() % 1000000);
        } while (set.GetNode(id, false, true, true));
        if (rng() % 4 == 0)
          set.Do_insert(
              id, {{"pnid", folder}, {"bnid", bnid}, {"ntype", "folder"}, {"name", PickName(rng)}});
        else
          set.Do_insert(
              id,
              {{"pnid", folder}, {"bnid", bnid}, {"name", PickName(rng)}, {"url", PickUrl(rng)}});
        break;
      }
      case 1:  // delete
        if (target != "ROOT") set.Do_delete(target);
        break;
      case 2:  // move (never into itself or below itself)
        if (target != "ROOT" && !IsBelow(set, folder, target) && bnid != target)
          set.Do_move(target, {{"pnid", folder}, {"bnid", bnid}});
        break;
      case 3: {  // reorder within its folder
        if (target == "ROOT") break;
        Node* parent = set.GetNode(set.GetNode(target, false, false, true)->GetAttr("pnid"), false,
                                   false, true);
        std::string before = parent->GetChildAt(rng() % parent->GetChildLength());
        if (before != target) set.Do_reorder(target, {{"bnid", before}});
        break;
      }
      case 4:  // rename
        set.Do_update(target,
                      {{"name", PickName(rng)}, {"modified", std::to_string(rng() % 1000)}});
        break;
      case 5:  // new address
        if (!set.GetNode(target, false, false, true)->IsFolder())
          set.Do_update(target, {{"url", PickUrl(rng)}});
        break;
      case 6: {  // an empty bookmark becomes a folder
        Node* node = set.GetNode(target, false, false, true);
        if (target != "ROOT" && !node->IsFolder() && node->GetChildLength() == 0)
          set.Do_update(target, {{"ntype", "folder"}, {"url", ""}});
        break;
      }
    }
  }
}

}  // namespace tarvex::testing
