# The bridge end to end as the agent's scripts use it, in a home folder of
# the test's own: the settings and the log start, two computers' trees are
# written, uploaded, downloaded again, compared, merged and hashed; a
# truncated download is refused. sys.argv[1] is the folder for the trees,
# sys.argv[2] the summary this writes (JSON).
import json
import os
import sys

import objc

KestroveBridge = objc.lookUpClass("KestroveBridge")
KestroveLogger = objc.lookUpClass("KestroveLogger")
KestroveSettings = objc.lookUpClass("KestroveSettings")
import tarvex_agent

folder, summary_path = sys.argv[1], sys.argv[2]
settings = KestroveSettings.instance()
logger = KestroveLogger.instance()
logger.updateFromSettings()
logger.info_("smoke: started")


def tree(nodes):
    return {"_nodes": nodes, "currentRevision": "7", "userHash": "", "version": ""}


def node(nid, pnid, name, url=None, children=None):
    n = {"nid": nid, "name": name, "ntype": "folder" if url is None else "bookmark"}
    if pnid:
        n["pnid"] = pnid
    if url is not None:
        n["url"] = url
    if children is not None:
        n["children"] = children
    return n


def write(name, value):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(value, f)
    return path


def names(path):
    with open(path, encoding="utf-8") as f:
        return sorted(n.get("name", "") for n in json.load(f)["_nodes"])


# This computer: a bar with a news site and a search placeholder; the other
# computer has the same bar under another id, the news site and a shop.
here = write("here.json", tree([
    node("ROOT", None, "", children=["bar1"]),
    node("bar1", "ROOT", "Bar", children=["news1", "find1"]),
    node("news1", "bar1", "News", url="http://news.example/"),
    node("find1", "bar1", "Find %s", url="http://find.example/?q=%s"),
]))
there = write("there.json", tree([
    node("ROOT", None, "", children=["bar2"]),
    node("bar2", "ROOT", "Bar", children=["news2", "shop2"]),
    node("news2", "bar2", "News", url="http://news.example/"),
    node("shop2", "bar2", "Shöp", url="http://shop.example/"),
]))

summary = {}
upload = KestroveBridge.GetUploadNodesetFromFile_(here)
with open(here, encoding="utf-8") as f:
    summary["upload_same_from_json"] = upload == KestroveBridge.GetUploadNodesetFromJson_(f.read())
summary["upload"] = json.loads(upload)

copy = os.path.join(folder, "copy.json")
summary["saved"] = KestroveBridge.SaveDownloadCommandsetToFile_CommandsetJson_(copy, upload)
summary["copy_differences"] = json.loads(KestroveBridge.CompareNodesetsFileBefore_after_(here, copy))
summary["differences"] = json.loads(KestroveBridge.CompareNodesetsFileBefore_after_(here, there))

merged = os.path.join(folder, "merged.json")
summary["merged"] = KestroveBridge.MergeNodesetsToFile_basePath_otherSetPath_(merged, here, there)
summary["merged_names"] = names(merged)
summary["hashes"] = json.loads(KestroveBridge.GetNodesetHashesFromFile_(merged))

with open(merged, "rb") as f:
    before = f.read()
try:
    KestroveBridge.SaveDownloadCommandsetToFile_CommandsetJson_(merged, upload[: len(upload) // 2])
    summary["truncated"] = "saved"
except tarvex_agent.KestroveException as e:
    summary["truncated"] = e.id
with open(merged, "rb") as f:
    summary["merged_kept"] = f.read() == before

logger.info_("smoke: done")
with open(summary_path, "w", encoding="utf-8") as f:
    json.dump(summary, f)
