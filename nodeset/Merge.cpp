// Matching nodes of two trees, the merge of one tree into another, and the
// repair of a tree from the server's description of its differences.
#include <deque>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "nodeset/Command.h"
#include "nodeset/Engine.h"
#include "nodeset/HashIndex.h"
#include "nodeset/Json.h"
#include "nodeset/NodeSet.h"
#include "nodeset/Utilities.h"

namespace tarvex {
namespace {

// Asks the processor for the lines of a node, then of its attributes, then
// of their longer texts, some steps before they are read: the nodes of a
// large tree are far apart in memory, and each one read on demand would
// stall the work on it. Each stage reads what the one before asked for
// `kAhead` steps earlier.
constexpr size_t kAhead = 4;
void PrefetchNode(const Node* node) {
  __builtin_prefetch(node);
  // The attributes' pointers may lie on the node's next line.
  __builtin_prefetch(reinterpret_cast<const char*>(&node->Attrs()) + sizeof(Attributes) - 1);
}
void PrefetchAttributes(const Node* node) {
  const Attributes& attributes = node->Attrs();
  if (attributes.empty()) return;
  const char* p = reinterpret_cast<const char*>(&*attributes.begin());
  const char* end = p + attributes.size() * sizeof(Attributes::value_type);
  for (; p < end; p += 64) __builtin_prefetch(p);
}
void PrefetchTexts(const Node* node) {
  for (const auto& [key, value] : node->Attrs()) {
    // A text too long for the string itself lies elsewhere.
    const char* data = value.data();
    const char* self = reinterpret_cast<const char*>(&value);
    if (data < self || data >= self + sizeof(value)) __builtin_prefetch(data);
  }
}
// For the work on the node at `i` of `nodes` (null entries are skipped).
template <class NodePointer>
void PrefetchAhead(const std::vector<NodePointer>& nodes, size_t i, size_t end) {
  if (i + 3 * kAhead < end && nodes[i + 3 * kAhead]) PrefetchNode(nodes[i + 3 * kAhead]);
  if (i + 2 * kAhead < end && nodes[i + 2 * kAhead]) PrefetchAttributes(nodes[i + 2 * kAhead]);
  if (i + kAhead < end && nodes[i + kAhead]) PrefetchTexts(nodes[i + kAhead]);
}

// The keys the Windows rule compares: the address trimmed of white space and
// the filler (a "__N" suffix is part of an address), and the safe file name.
struct MatchKeys {
  std::string type;
  std::string url;
  std::string name;
  bool folder;
};

MatchKeys KeysOf(const Node& node, char32_t filler) {
  const std::string& type = node.GetAttr(keys::kNtype);
  return {type, TrimCodePoint(Trim(node.GetAttr(keys::kUrl)), filler),
          MakeSafeFileName(node.GetAttr(keys::kName), type, filler), node.IsFolder()};
}

// The Windows client's rule: 0 for another type, 100 for the same id, 66 for
// the same address, 33 for the same name when at least one of the two has no
// address (so two bookmarks of different addresses never pair), else 0.
int ScoreKeys(std::string_view id, const MatchKeys& a, std::string_view otherId,
              const MatchKeys& b) {
  if (a.type != b.type) return 0;
  if (id == otherId) return 100;
  if (!a.url.empty() && a.url == b.url) return 66;
  if (a.name == b.name && (a.folder || a.url.empty() || b.url.empty())) return 33;
  return 0;
}

int WindowsScore(const NodeSet& set, const Node& node, const Node& other) {
  (void)set;
  char32_t filler = Engine::Current().Platform().FillerChar();
  return ScoreKeys(node.GetID(), KeysOf(node, filler), other.GetID(), KeysOf(other, filler));
}

bool UsesWindowsRule() {
  MatchScoreFn score = Engine::Current().Flavor().score;
  return score == nullptr || score == &WindowsScore;
}

// The candidates of one folder indexed by the keys of the Windows rule, so
// that the best match of each child of the other folder is found at once:
// the first candidate of the best tier (same id, then same address, then
// same name), exactly as scoring every candidate in order would find it.
//
// A key is a type with an id, an address or a name. The keys of the
// candidates are kept in one block of text, and each tier has a flat index
// from the 64-bit hash of a key: for ids (each a candidate's own, but for a
// damaged tree) to the candidates, for addresses and names to the group of
// candidates holding the key, which chains them in order. So the index takes
// a few compact arrays however many candidates there are.
class CandidateIndex {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  CandidateIndex(NodeSet& set, const std::vector<std::string>& candidates, char32_t filler)
      : filler_(filler), candidates_(candidates), taken_(candidates.size(), false) {
    const size_t count = candidates.size();
    keys_.reserve(count);
    nodes_.reserve(count);
    for (Tier tier : {kId, kUrl, kName}) index_[tier].reserve(count, Rehash{this, tier});
    for (Tier tier : {kUrl, kName}) next_[tier].assign(count, kNone);
    nextWithoutUrl_.assign(count, kNone);
    groups_.reserve(count);
    // The nodes first, in a loop of lookups alone, so that the processor
    // overlaps them.
    for (size_t i = 0; i < count; ++i)
      nodes_.push_back(set.GetNode(candidates[i], false, false, true, "nodes22"));
    for (size_t i = 0; i < count; ++i) {
      PrefetchAhead(nodes_, i, count);
      const Node& node = *nodes_[i];
      MatchKeys k = KeysOf(node, filler);
      Stored stored{Append(k.type), Append(k.url), Append(k.name)};
      keys_.push_back(stored);
      const uint64_t typeHash = HashKey(k.type);
      const uint32_t at = static_cast<uint32_t>(i);
      index_[kId].Insert(CombineHashes(typeHash, HashKey(candidates[i])), at, Rehash{this, kId});
      if (!k.url.empty()) Add(kUrl, CombineHashes(typeHash, HashKey(k.url)), at, false);
      Add(kName, CombineHashes(typeHash, HashKey(k.name)), at, k.folder || k.url.empty());
    }
    // Only the building appends to the groups.
    std::vector<uint32_t>().swap(tails_);
    std::vector<uint32_t>().swap(withoutUrlTails_);
  }

  // The position of the best match of `node` not taken yet, or npos.
  size_t Find(const Node& node) {
    MatchKeys k = KeysOf(node, filler_);
    const uint64_t typeHash = HashKey(k.type);
    if (size_t p = FirstById(typeHash, k.type, node.GetID()); p != npos) return p;
    if (!k.url.empty())
      if (size_t p = First(kUrl, typeHash, k.type, k.url); p != npos) return p;
    // By name only where one of the two has no address.
    return First(kName, typeHash, k.type, k.name, !(k.folder || k.url.empty()));
  }

  void Take(size_t position) { taken_[position] = true; }

  // The node of the candidate at `position`, as found when the index was
  // built (a merge adds and copies nodes but never removes one).
  const Node* NodeAt(size_t position) const { return nodes_[position]; }

 private:
  enum Tier { kId, kUrl, kName, kTiers };
  static constexpr uint32_t kNone = HashIndex::npos;

  // A piece of text_.
  struct Piece {
    uint32_t offset, length;
  };
  // The keys of a candidate (its id is the candidate itself).
  struct Stored {
    Piece type, url, name;
  };
  // The candidates holding one key, chained in order from the first; those
  // before `head` are taken. Names also chain the candidates without an
  // address. (The ends of the chains are kept apart, while building.)
  struct Group {
    uint32_t first;
    uint32_t head;
    uint32_t withoutUrlHead = kNone;
  };

  Piece Append(std::string_view text) {
    Piece piece{static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(text.size())};
    text_.append(text);
    return piece;
  }
  std::string_view View(Piece piece) const {
    return std::string_view(text_).substr(piece.offset, piece.length);
  }
  // The value a candidate has for a tier.
  std::string_view Value(Tier tier, uint32_t at) const {
    switch (tier) {
      case kId:
        return candidates_[at];
      case kUrl:
        return View(keys_[at].url);
      default:
        return View(keys_[at].name);
    }
  }
  uint64_t HashOf(Tier tier, uint32_t at) const {
    return CombineHashes(HashKey(View(keys_[at].type)), HashKey(Value(tier, at)));
  }
  // The hash of a key the index holds (a candidate's id, a group's key).
  struct Rehash {
    const CandidateIndex* index;
    Tier tier;
    uint64_t operator()(uint32_t at) const {
      return index->HashOf(tier, tier == kId ? at : index->groups_[at].first);
    }
  };
  bool Holds(Tier tier, const Group& group, std::string_view type, std::string_view value) const {
    return View(keys_[group.first].type) == type && Value(tier, group.first) == value;
  }

  void Add(Tier tier, uint64_t hash, uint32_t at, bool withoutUrl) {
    std::string_view type = View(keys_[at].type), value = Value(tier, at);
    uint32_t g =
        index_[tier].Find(hash, [&](uint32_t g) { return Holds(tier, groups_[g], type, value); });
    if (g == kNone) {
      g = static_cast<uint32_t>(groups_.size());
      groups_.push_back(Group{at, at});
      tails_.push_back(at);
      withoutUrlTails_.push_back(kNone);
      index_[tier].Insert(hash, g, Rehash{this, tier});
    } else {
      next_[tier][tails_[g]] = at;
      tails_[g] = at;
    }
    if (!withoutUrl) return;
    if (groups_[g].withoutUrlHead == kNone)
      groups_[g].withoutUrlHead = at;
    else
      nextWithoutUrl_[withoutUrlTails_[g]] = at;
    withoutUrlTails_[g] = at;
  }

  // The first candidate not taken with the type and id, or npos.
  size_t FirstById(uint64_t typeHash, std::string_view type, std::string_view id) const {
    size_t first = npos;
    index_[kId].ForEach(CombineHashes(typeHash, HashKey(id)), [&](uint32_t at) {
      if (at < first && !taken_[at] && candidates_[at] == id && View(keys_[at].type) == type)
        first = at;
    });
    return first;
  }

  size_t First(Tier tier, uint64_t typeHash, std::string_view type, std::string_view value,
               bool withoutUrl = false) {
    const uint64_t hash = CombineHashes(typeHash, HashKey(value));
    uint32_t g =
        index_[tier].Find(hash, [&](uint32_t g) { return Holds(tier, groups_[g], type, value); });
    if (g == kNone) return npos;
    Group& group = groups_[g];
    uint32_t& head = withoutUrl ? group.withoutUrlHead : group.head;
    const std::vector<uint32_t>& next = withoutUrl ? nextWithoutUrl_ : next_[tier];
    while (head != kNone && taken_[head]) head = next[head];
    return head == kNone ? npos : head;
  }

  char32_t filler_;
  const std::vector<std::string>& candidates_;
  std::vector<bool> taken_;
  std::string text_;
  std::vector<Stored> keys_;
  std::vector<const Node*> nodes_;
  std::vector<Group> groups_;
  std::vector<uint32_t> tails_, withoutUrlTails_;
  HashIndex index_[kTiers];
  std::vector<uint32_t> next_[kTiers];
  std::vector<uint32_t> nextWithoutUrl_;
};

}  // namespace

// ---- Matching -----------------------------------------------------------------

int NodeSet::CompareNodes(const Node& node, const Node& other) const {
  MatchScoreFn score = Engine::Current().Flavor().score;
  return score ? score(*this, node, other) : WindowsScore(*this, node, other);
}

size_t NodeSet::FindMatch(const Node& node, const std::vector<std::string>& candidates) {
  size_t best = candidates.size();
  int bestScore = 0;
  for (size_t i = 0; i < candidates.size(); ++i) {
    int score = CompareNodes(node, *GetNode(candidates[i], false, false, true, "nodes22"));
    if (score > bestScore) best = i, bestScore = score;
  }
  return best;
}

std::string NodeSet::FindNextChild(std::string_view id) {
  Node* node = GetNode(id, false, false, true, "nodes16");
  Node* parent = GetNode(node->GetAttr(keys::kPnid), false, false, true, "nodes17");
  return parent->ChildAfter(id);
}

// ---- Merge -------------------------------------------------------------------

std::string NodeSet::ReplicateLeaf(const Node& source, std::string_view newParent) {
  // The copy keeps its own id where this tree never used it, so a merge that
  // brings the service's nodes into a new computer's tree sends none of them
  // back under other ids. A tombstone counts as a use: a deleted node does
  // not come back by the merge.
  auto used = [this](const std::string& id) {
    for (const NodeSet* s = this; s; s = s->base_)
      if (s->table_.find(id) != s->table_.end()) return true;
    return false;
  };
  std::string newId = source.GetID();
  while (used(newId)) newId = KVPort::GenerateNodeID();
  // Do_insert of a free id.
  if (Engine::Current().Flavor().logHandlerStarts && InfoOn())
    LogInfo(Format("Staring Do_insert for: %s", newId));
  // The source's attributes with the new parent as pnid (and its own bnid,
  // when it holds one).
  InsertNewNode(newId, source.Attrs(), newParent, source.GetAttr(keys::kBnid));
  return newId;
}

Node* NodeSet::CopyOnWrite(std::string_view id, const Node& seen, std::string_view label) {
  auto it = table_.find(id);
  if (it != table_.end() || !base_) return GetNode(id, true, false, true, label);
  // Not in this set: `seen` came through the base, which has not changed.
  return AddNode(seen.Clone(true));
}

std::string NodeSet::ReplicateNode(NodeSet& other, std::string_view nid,
                                   std::string_view newParent) {
  std::string first;
  std::vector<std::pair<std::string, std::string>> stack{
      {std::string(nid), std::string(newParent)}};
  std::unordered_set<std::string> copied;
  while (!stack.empty()) {
    auto [id, parent] = std::move(stack.back());
    stack.pop_back();
    if (!copied.insert(id).second) continue;  // each node once, even in a cycle
    Node* source = other.GetNode(id, false, false, true, "nodes23");
    std::string newId = ReplicateLeaf(*source, parent);
    if (first.empty()) first = newId;
    if (source->IsFolder()) {
      const std::vector<std::string>& children = source->RawChildren();
      for (auto it = children.rbegin(); it != children.rend(); ++it) stack.emplace_back(*it, newId);
    }
  }
  return first;
}

bool NodeSet::Independent(const NodeSet& other) const {
  for (const NodeSet* s = &other; s; s = s->base_)
    if (s == this) return false;
  return true;
}

void NodeSet::MergeChildren(NodeSet& other, const std::string& a,
                            const std::vector<std::string>& candidates,
                            const std::vector<std::string>& children,
                            const std::unordered_set<std::string>& pairedOther, char32_t filler,
                            std::deque<std::pair<std::string, std::string>>& work) {
  // First every child's match, in order (what the merge changes in this
  // tree never changes a match: the candidates and their keys are fixed,
  // and the other tree does not read this one); then the changes, in the
  // same order, with the nodes to copy asked for ahead.
  CandidateIndex index(*this, candidates, filler);
  constexpr size_t kSkip = CandidateIndex::npos - 1;
  const size_t n = children.size();
  std::vector<size_t> positions(n, kSkip);
  std::vector<Node*> nodes(n, nullptr);
  size_t decided = 0;
  // The children's nodes first, in a loop of lookups alone; up to the first
  // one missing, which fails below, after the children before it.
  for (; decided < n; ++decided) {
    const std::string& c = children[decided];
    if (pairedOther.count(c)) continue;
    nodes[decided] = other.GetNode(c, false, true, true);
    if (!nodes[decided]) break;
  }
  for (size_t i = 0; i < decided; ++i) {
    PrefetchAhead(nodes, i, decided);
    if (!nodes[i]) continue;
    size_t position = index.Find(*nodes[i]);
    if (position != CandidateIndex::npos) index.Take(position);
    positions[i] = position;
  }
  auto candidateAt = [&](size_t i) -> const Node* {
    return i < decided && positions[i] < kSkip ? index.NodeAt(positions[i]) : nullptr;
  };
  for (size_t i = 0; i < n; ++i) {
    PrefetchAhead(nodes, i, decided);
    if (const Node* ahead = candidateAt(i + 3 * kAhead)) PrefetchNode(ahead);
    if (const Node* ahead = candidateAt(i + 2 * kAhead)) PrefetchAttributes(ahead);
    if (const Node* ahead = candidateAt(i + kAhead)) PrefetchTexts(ahead);
    const std::string& c = children[i];
    if (i == decided) other.GetNode(c, false, false, true, "nodes20");  // throws
    if (positions[i] == kSkip) continue;
    if (positions[i] == CandidateIndex::npos) {
      if (nodes[i]->IsFolder())
        ReplicateNode(other, c, a);
      else
        ReplicateLeaf(*nodes[i], a);
      continue;
    }
    const std::string& m = candidates[positions[i]];
    // Copy on write: a merge over a clone never changes its base.
    Node* nodeM = CopyOnWrite(m, *index.NodeAt(positions[i]), "nodes21");
    if (nodeM->IsFolder()) work.emplace_back(m, c);
    nodeM->Merge(*nodes[i]);
  }
}

void NodeSet::Merge(NodeSet& other) {
  std::deque<std::pair<std::string, std::string>> work{
      {std::string(keys::kRoot), std::string(keys::kRoot)}};
  std::unordered_set<std::string> pairedOther, pairedHere;
  Node* root = GetNode(keys::kRoot, false, true, true);
  Node* otherRoot = other.GetNode(keys::kRoot, false, true, true);
  for (std::string_view key : {keys::kTnid, keys::kUnid}) {
    if (!root || !otherRoot || !root->HasAttr(key) || !otherRoot->HasAttr(key)) continue;
    std::string here = root->GetAttr(key), there = otherRoot->GetAttr(key);
    if (!GetNode(here, false, true, true) || !other.GetNode(there, false, true, true)) continue;
    work.emplace_back(here, there);
    pairedOther.insert(there);
    pairedHere.insert(here);
  }

  // Room for every node of the other tree, so the table does not grow step
  // by step while nodes are copied in.
  table_.reserve(table_.size() + other.table_.size() +
                 (other.base_ ? other.base_->table_.size() : 0));
  char32_t filler = Engine::Current().Platform().FillerChar();
  bool indexed = UsesWindowsRule();
  // Each pair once. A folder of this tree may be paired with two folders of
  // the other (the toolbar folder with the other's toolbar folder and, where
  // it is not a child of the root, with a folder matched at its own level;
  // or one folder named as both toolbar and unfiled folder): each of them is
  // merged into it, or the second one's nodes would be lost.
  std::unordered_set<std::string> merged;
  while (!work.empty()) {
    auto [a, b] = std::move(work.front());
    work.pop_front();
    std::string pair = a;
    pair.push_back('\0');
    pair.append(b);
    if (!merged.insert(std::move(pair)).second) continue;
    Node* nodeA = GetNode(a, false, false, true, "nodes18");
    Node* nodeB = other.GetNode(b, false, false, true, "nodes19");
    std::vector<std::string> candidates;
    for (const std::string& id : nodeA->RawChildren())
      // The paired toolbar and unfiled folders are merged with their
      // counterparts only.
      if (a != keys::kRoot || !pairedHere.count(id)) candidates.push_back(id);
    const std::vector<std::string> children = nodeB->RawChildren();

    if (indexed && Independent(other)) {
      MergeChildren(other, a, candidates, children, pairedOther, filler, work);
      continue;
    }
    std::unique_ptr<CandidateIndex> index;
    if (indexed) index = std::make_unique<CandidateIndex>(*this, candidates, filler);
    std::vector<bool> taken(candidates.size(), false);
    for (const std::string& c : children) {
      if (pairedOther.count(c)) continue;
      Node* nodeC = other.GetNode(c, false, false, true, "nodes20");
      size_t position;
      if (indexed) {
        position = index->Find(*nodeC);
      } else {
        std::vector<std::string> open;
        std::vector<size_t> where;
        for (size_t i = 0; i < candidates.size(); ++i)
          if (!taken[i]) open.push_back(candidates[i]), where.push_back(i);
        size_t found = FindMatch(*nodeC, open);
        position = found < open.size() ? where[found] : CandidateIndex::npos;
      }
      if (position == CandidateIndex::npos) {
        ReplicateNode(other, c, a);
        continue;
      }
      const std::string& m = candidates[position];
      // Copy on write: a merge over a clone never changes its base.
      Node* nodeM = GetNode(m, true, false, true, "nodes21");
      if (nodeM->IsFolder()) work.emplace_back(m, c);
      nodeM->Merge(*nodeC);
      taken[position] = true;
      if (index) index->Take(position);
    }
  }
}

// ---- Repair ------------------------------------------------------------------

void NodeSet::AddInsertCommands(std::string_view id, CommandSet& commands,
                                const std::map<std::string, std::string, Utf16Less>& marks) {
  std::vector<std::string> stack{std::string(id)};
  std::unordered_set<std::string> listed;
  while (!stack.empty()) {
    std::string current = std::move(stack.back());
    stack.pop_back();
    if (!listed.insert(current).second) continue;
    Node* node = GetNode(current, false, false, true);
    commands.Append(MakeCommand(actions::kInsert, current, node->GetSafeAttrs()));
    const std::vector<std::string>& children = node->RawChildren();
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      auto mark = marks.find(*it);
      // The server lists that node: it stays, with everything below it.
      if (mark != marks.end() && mark->second == "0") continue;
      stack.push_back(*it);
    }
  }
}

void NodeSet::RepairChildOrder(std::string_view pnid, const std::vector<std::string>& current,
                               const std::vector<std::string>& wanted, CommandSet& commands) {
  std::string next;
  for (size_t i = wanted.size(); i-- > 0;) {
    const std::string& id = wanted[i];
    Node* node = GetNode(id, false, false, true);
    if (node->GetAttr(keys::kPnid) != pnid) {
      if (InfoOn()) LogInfo("moving " + id + " to " + std::string(pnid));
      commands.Append(MakeCommand(
          actions::kMove, id,
          {{std::string(keys::kPnid), std::string(pnid)}, {std::string(keys::kBnid), next}}));
    } else if (!(i < current.size() && current[i] == id)) {
      if (InfoOn()) LogInfo("Repair reorder " + id);
      commands.Append(MakeCommand(actions::kReorder, id, {{std::string(keys::kBnid), next}}));
    }
    next = id;
  }
}

namespace {

bool AttributeDiffers(const Json::Value& record, const Node& node, std::string_view key) {
  std::string name(key);
  std::string theirs = record.isMember(name) ? JsonText(record[name]) : "-1";
  std::string ours = node.HasAttr(key) ? node.GetAttr(key) : "-1";
  return theirs != ours;
}

std::vector<std::string> ChildIds(const Json::Value& element) {
  std::vector<std::string> ids;
  const Json::Value& children = element["children"];
  if (children.isNull()) return ids;
  if (!children.isArray()) Fail(ErrorKind::General, "Invalid repair reply: children is not a list");
  for (const Json::Value& child : children) {
    std::string id = JsonText(child);
    if (!IsValidNodeId(id))
      Fail(ErrorKind::General, Format("Invalid node id in repair reply: [%s]", id));
    ids.push_back(std::move(id));
  }
  return ids;
}

}  // namespace

void NodeSet::BuildRepairCommands(const Json::Value& reply, CommandSet& repairSet,
                                  CommandSet& rebaseSet) {
  // "0": the server lists the node; "1": a local child the server does not
  // list (so far).
  const std::string listed = "0", unlisted = "1";
  std::map<std::string, std::string, Utf16Less> marks;
  const Json::Value& updates = reply.isObject() ? reply["updates"] : Json::Value::nullSingleton();
  if (updates.isNull() || updates.empty()) return;
  if (!updates.isArray()) Fail(ErrorKind::General, "Invalid repair reply: updates is not a list");

  for (const Json::Value& element : updates) {
    if (!element.isObject())
      Fail(ErrorKind::General, "Invalid repair reply: an update is not an object");
    std::string nid = JsonText(element["nid"]);
    if (!IsValidNodeId(nid))
      Fail(ErrorKind::General, Format("Invalid node id in repair reply: [%s]", nid));
    marks[nid] = listed;
    std::vector<std::string> wanted = ChildIds(element);
    Node* node = WalkLookup(nid);
    if (!node) {
      Attributes args;
      for (const std::string& member : element.getMemberNames()) {
        // Ids, structure and hashes are never attributes of the node.
        if (member == keys::kChildren || member == keys::kNid || member == keys::kBnid ||
            member == "hash")
          continue;
        args[SanitizeUtf8(member)] = JsonText(element[member]);
      }
      // A reply that does not say what the node is still tells a folder
      // from a bookmark: only bookmarks have an address. Without this a
      // folder would come back as a bookmark and lose its children.
      if (!args.count(std::string(keys::kNtype)))
        args[std::string(keys::kNtype)] =
            args.count(std::string(keys::kUrl)) ? "bookmark" : "folder";
      args[std::string(keys::kPnid)] = std::string(keys::kRoot);
      auto insert = MakeCommand(actions::kInsert, nid, std::move(args));
      Execute(*insert);
      repairSet.Append(std::move(insert));
      if (InfoOn()) LogInfo("Repair inserted nid: " + nid);
      RepairChildOrder(nid, {}, wanted, repairSet);
      for (const std::string& child : wanted) marks[child] = listed;
      continue;
    }
    std::vector<std::string> current = node->RawChildren();
    for (const std::string& child : current) marks.emplace(child, unlisted);
    for (const std::string& child : wanted) marks[child] = listed;
    RepairChildOrder(nid, current, wanted, repairSet);
    node = WalkLookup(nid);
    Attributes changes;
    for (std::string_view key : {keys::kName, keys::kUrl}) {
      if (!AttributeDiffers(element, *node, key)) continue;
      if (InfoOn()) LogInfo(Format("Repair changed nid: %s attr %s", nid, key));
      std::string name(key);
      changes[name] = element.isMember(name) ? JsonText(element[name]) : "";
    }
    if (!changes.empty()) repairSet.Append(MakeCommand(actions::kUpdate, nid, std::move(changes)));
  }

  std::vector<std::string> doomed;
  for (const auto& [id, mark] : marks)
    if (mark == unlisted) doomed.push_back(id);
  if (doomed.empty()) return;

  // A delete below another delete would find only a tombstone: leave it (and
  // its rebase, which the ancestor's lists) out. Ancestry is judged in the
  // tree as the repair leaves it when the deletes run.
  std::unordered_set<std::string> doomedSet(doomed.begin(), doomed.end());
  NodeSet repaired(this);
  try {
    repaired.Execute(repairSet);
  } catch (...) {
    // The repair will fail the same way when it runs; judge in the tree as
    // it is.
  }
  auto covered = [&](const std::string& id) {
    std::unordered_set<std::string> up;
    Node* node = repaired.GetNode(id, false, true, true);
    while (node) {
      std::string parent = node->GetAttr(keys::kPnid);
      if (parent.empty() || !up.insert(parent).second) return false;
      if (doomedSet.count(parent)) return true;
      node = repaired.GetNode(parent, false, true, true);
    }
    return false;
  };
  for (const std::string& id : doomed) {
    if (covered(id)) continue;
    repairSet.Append(MakeCommand(actions::kDelete, id));
    if (InfoOn()) LogInfo("Repair delete: " + id);
    AddInsertCommands(id, rebaseSet, marks);
  }
}

}  // namespace tarvex
