// The scripts' store of Safari's bookmarks on either side of a sync session
// with the system's sync service: it turns a change of the service into a
// client node and a client node back into a record, keeps the client nodes
// by record identifier, queues added, changed and deleted nodes, tidies the
// folders' children and keeps the session's metadata.
//
// A client node is a dictionary of text and lists: the entity key, "nid",
// "name" (" " when untitled), "position" (decimal text), "parent" (one
// record identifier; none for a root such as "BookmarksMenu"), "ntype"
// ("folder" or "bookmark"), "url", a folder's "children" (identifiers) and
// "is tab group" ("YES"/"NO"), and the extra attributes "unid",
// "originaltype", "originalurl", "description" and "shortcuturl". A record
// carries those extras as the JSON text of its "attrs"; only these five
// keys, with text values, ever come back out of it, so a record written by
// another client cannot replace a node's parent, type, children, address
// or id through its attributes.
//
// Nodes are stored by record identifier: getNodeWithID and getNodeWithNID
// both look up that identifier (a node's "nid" can differ from it when the
// node was stored without one). The containers the get* methods answer are
// the store's own, so changes made through them are the store's changes.
//
// Nothing missing crashes: a nil node or record, a node without "nid",
// "position", "url" or "name", an empty parent list are logged (as
// assertions where a value must be there) and answered with nil or false,
// leaving the store as it was. Errors and assertions go to the agent's log.
#pragma once

#include <functional>
#include <string>

#include "platform/mac/RecordStore.h"
#include "platform/mac/Value.h"

namespace tarvex {

class KestroveLogger;

class SyncData {
 public:
  using NodeIdSource = std::function<std::string()>;

  // An empty store logging to `log` (the shared logger when null) and
  // giving nodes stored without an id one of `newNodeId`
  // (generateMozillaNodeID when empty).
  explicit SyncData(KestroveLogger* log = nullptr, NodeIdSource newNodeId = {});

  // ---- Class methods ----
  // The client node of a change of the sync service: the record's entries
  // with the position as text, a folder's "is tab group" as "YES"/"NO" and
  // "children" ([] when absent), a bookmark's address as text with every
  // "%25s" as "%s" and "originaltype" "feed" for a "feed:" address, the one
  // parent, the extra attributes, and "nid" the record identifier. Nil for a
  // nil change or an entity other than a bookmark or folder (logged).
  static mac::DictRef transformObjectFromSyncService(const mac::SyncChange* change, KestroveLogger& log);
  // The record of a client node: entity, name, position as a number, a
  // folder's children and tab-group flag, a bookmark's address (escaped
  // once when it is no address as it stands), the parent as a one-element
  // list (none for a root), "nid" and "attrs". Nil for a nil node or a type
  // other than "folder" or "bookmark" (logged).
  static mac::DictRef transformObjectToSyncService(const mac::DictRef& node, KestroveLogger& log);
  // Adds the extra attributes of the record's "attrs" JSON to the node
  // (only the five extra keys, with text values; anything else is logged
  // and left out) and removes "attrs" from the node.
  static void pullAttrsJsonFromRecord(const mac::DictRef& record, const mac::DictRef& node,
                                      KestroveLogger& log);
  // Stores the node's extra attributes in the record's "attrs" as JSON text
  // ("{}" when it has none).
  static void pushAttrsJsonToRecord(const mac::DictRef& record, const mac::DictRef& node);
  // A new record identifier (a UUID's text).
  static std::string generateAppleID();
  // A new node id of the engine.
  static std::string generateMozillaNodeID();
  // The compact JSON text of `value` (no line end).
  static std::string objToJSON(const mac::Value& value);

  // ---- Construction ----
  // Empties everything; not dirty.
  SyncData& init();
  // Deep copies of the other's nodes, metadata and queue map; empty
  // queues; not dirty.
  SyncData& initWithSyncData(const SyncData& other);

  // ---- The live containers ----
  mac::DictRef getNodes() const { return nodes_; }
  mac::DictRef getMetadata() const { return metadata_; }
  mac::DictRef getQueueAppleIDtoNid() const { return queueAppleIDtoNid_; }
  mac::ArrayRef getDeletedRecords() const { return queueDeletedRecords_; }
  // Never made: always nil.
  mac::DictRef getNidToAppleIDMap() const { return nullptr; }

  // The node stored under the record identifier, or nil.
  mac::DictRef getNodeWithID(const std::string& identifier) const;
  // The same lookup: by record identifier, not by the node's "nid".
  mac::DictRef getNodeWithNID(const std::string& identifier) const { return getNodeWithID(identifier); }

  bool isDirty() const { return dirty_; }
  void markDirty() { dirty_ = true; }

  // Merges the record's entries over the node stored under `identifier`
  // (or a new one), gives it a "nid" when it has none (the queue map's,
  // "ROOT" for a parentless "BookmarksMenu", else a new one) and a name,
  // stores it and marks the store dirty. False (nothing stored) for a nil
  // record.
  bool addOrChangeRecord(const mac::DictRef& record, const std::string& identifier);
  // Stores a node under an identifier not yet used; false (logged, store
  // unchanged) when one is stored there.
  bool addRecord(const mac::DictRef& record, const std::string& identifier);
  // Changes the node stored under the identifier; false (logged) when none
  // is or the record is nil.
  bool changeRecord(const mac::DictRef& record, const std::string& identifier);
  // False, silently, when nothing is stored under the identifier.
  bool removeRecordWithIdentifier(const std::string& identifier);
  bool removeAllRecords();

  // Queues a copy of the node and stores it under its "nid"; false
  // (logged, nothing queued or stored) when it has no "nid".
  bool enqueueAddOrChange(const mac::DictRef& node);
  // Each node in order; true when every one was queued.
  bool enqueueAddOrChanges(const mac::ArrayRef& nodes);
  // Moves the node stored under the identifier to the deleted queue; false
  // (logged) when none is.
  bool enqueueDeleteNid(const std::string& identifier);

  // A node of the sync service: stored under its "nid" when new (a known
  // one is logged as existing), then queued. False when it has no "nid".
  bool applySyncChange(const mac::DictRef& node);
  bool applySyncDelete(const std::string& identifier);
  // Removes every stored node of the entity, each under the identifier it
  // is stored under.
  bool applySyncDeleteAllForEntityName(const std::string& entity);

  // New lists of the nodes of an entity: stored, in `nodes`, queued as
  // added or changed, queued as deleted.
  mac::ArrayRef objectsForEntityName(const std::string& entity) const;
  static mac::ArrayRef objectsInArray(const mac::ArrayRef& nodes, const std::string& entity);
  mac::ArrayRef changedObjectsForEntityName(const std::string& entity) const;
  mac::ArrayRef deletedObjectsForEntityName(const std::string& entity) const;

  // Sets one entry (nil removes it); replaces every entry.
  void setMetadataValue(const mac::Value& value, const std::string& key);
  void setMetadata(const mac::DictRef& metadata);

  // Empties both queues and the queue map; not dirty.
  void clearQueuedChanges();
  // Empties the store, the metadata and both queues (the queue map stays);
  // not dirty.
  bool reset();
  // In every folder: drops children that name no stored node (each logged)
  // and sorts the rest by their position (0 when they have none), keeping
  // the order of equal positions.
  void sortAndCleanChildren();

 private:
  KestroveLogger& log_;
  NodeIdSource newNodeId_;
  mac::DictRef nodes_ = mac::NewDict();
  mac::DictRef queueAppleIDtoNid_ = mac::NewDict();
  mac::DictRef metadata_ = mac::NewDict();
  mac::ArrayRef queueDeletedRecords_ = mac::NewArray();
  mac::ArrayRef queueAddedOrChangedRecords_ = mac::NewArray();
  bool dirty_ = false;
};

}  // namespace tarvex
