# Safari's bookmarks through SyncData as the agent's scripts use it: records
# of a RecordStore become client nodes, are stored and tidied, go back out as
# records; later changes (a rename, a deletion) are applied, and the store's
# containers are live in Python. sys.argv[1] is the folder for the store,
# sys.argv[2] the summary this writes (JSON).
import json
import os
import sys

import objc
import tarvex_agent as ta

SyncData = objc.lookUpClass("SyncData")
RecordStore = objc.lookUpClass("RecordStore")
NSURL = objc.lookUpClass("NSURL")
ENTITY = ta.RecordEntityNameKey

folder, summary_path = sys.argv[1], sys.argv[2]
store = RecordStore(os.path.join(folder, "records.json"))
store.load()
snapshot = os.path.join(folder, "snapshot.json")
store.snapshot(snapshot)


def folder_record(name, children, parent=None, position=0, tab_group=False):
    r = {ENTITY: ta.FolderEntity, "name": name, "position": position,
         "is tab group": tab_group, "children": children}
    if parent:
        r["parent"] = [parent]
    return r


def bookmark_record(name, url, parent, position, attrs=None):
    r = {ENTITY: ta.BookmarkEntity, "name": name, "position": position,
         "url": NSURL.URLWithString_(url), "parent": [parent]}
    if attrs is not None:
        r["attrs"] = attrs
    return r


# Safari's records: the menu (no parent), a bar, a search, a feed, a tab
# group, and a child the menu names but nobody has.
store.push("MENU", folder_record("BookmarksMenu", ["S", "F", "BAR", "LOST", "T"]))
store.push("BAR", folder_record("Bar", ["N"], "MENU", 0))
store.push("N", bookmark_record("News", "http://news.example/", "BAR", 0))
store.push("S", bookmark_record("Find", "http://s.example/?q=%25s", "MENU", 3,
                                '{"unid": "u-1", "parent": "EVIL", "ntype": "folder"}'))
store.push("F", bookmark_record("Feed", "feed://f.example/rss", "MENU", 1))
store.push("T", folder_record("Tabs", [], "MENU", 3, True))

data = SyncData.alloc().init()
changes = store.changesSince(snapshot)
for change in changes:
    node = SyncData.transformObjectFromSyncService_(change)
    data.applySyncChange_(node)
data.sortAndCleanChildren()

nodes = data.getNodes()
summary = {
    "change_types": [c.type() for c in changes],
    "nodes": ta.toPython(nodes),
    "dirty": data.isDirty(),
    "changed": len(data.changedObjectsForEntityName_(ta.BookmarkEntity)),
    "records": {i: ta.toPython(SyncData.transformObjectToSyncService_(nodes[i]))
                for i in ("MENU", "S", "T")},
    "search_record_url_is_address": isinstance(
        SyncData.transformObjectToSyncService_(nodes["S"])["url"], NSURL),
}

fresh = SyncData()
fresh.addOrChangeRecord_withIdentifier_({"name": "BookmarksMenu"}, "M2")
summary["root_nid"] = fresh.getNodeWithID_("M2")["nid"]

# The containers are the store's own: a change through them is seen by
# the store, and a copy made with initWithSyncData_ shares none of it.
copy = SyncData.alloc().initWithSyncData_(data)
nodes["N"]["name"] = "Renamed in Python"
data.getMetadata()["lastSync"] = 7
summary["live_name"] = data.getNodeWithID_("N")["name"]
summary["copy_name"] = copy.getNodeWithID_("N")["name"]
summary["live_metadata"] = ta.toPython(data.getMetadata())

# Later on Safari's side: the bar renamed, the feed deleted.
data.clearQueuedChanges()
store.snapshot(snapshot)
bar = store.record("BAR")
bar["name"] = "Bookmarks Bar"
store.push("BAR", bar)
store.delete("F")
later = []
for change in store.changesSince(snapshot):
    later.append([change.type(), change.recordIdentifier()])
    if change.type() == "delete":
        later[-1].append(data.applySyncDelete_(change.recordIdentifier()))
    else:
        node = SyncData.transformObjectFromSyncService_(change)
        later[-1].append(data.changeRecord_withIdentifier_(node, change.recordIdentifier()))
summary["later"] = later
summary["bar_name"] = data.getNodeWithID_("BAR")["name"]
summary["feed_left"] = data.getNodeWithID_("F")

# What the scripts must never be able to do: a node without nid, nil.
summary["refused"] = [data.applySyncChange_({"name": "no nid"}),
                      data.enqueueAddOrChange_(None),
                      SyncData.transformObjectToSyncService_({"ntype": "separator"}),
                      SyncData.transformObjectFromSyncService_(None)]
summary["delete_all"] = data.applySyncDeleteAllForEntityName_(ta.BookmarkEntity)
summary["left"] = sorted(data.getNodes().keys())
reread = RecordStore(store.path())
reread.load()
summary["store_on_disk"] = reread.identifiers()
try:
    store.push("X", {"name": "bad", "position": "first"})
    summary["bad_push"] = "accepted"
except RuntimeError as e:
    summary["bad_push"] = str(e)

with open(summary_path, "w", encoding="utf-8") as f:
    json.dump(summary, f)
