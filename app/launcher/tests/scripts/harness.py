# Calls the agent's classes from a table: sys.argv[1] is a JSON list of
# cases {"class", "method", "singleton", "args"}, sys.argv[2] the file that
# receives one result per case: {"ok": value}, or the exception raised
# ({"exc": "KestroveException", "id", "message"}, or its type and text).
# A class is found through objc.lookUpClass, as the agent's scripts find it;
# the classes "objc" and "tarvex_agent" call those modules' own functions.
import json
import sys

import objc
import tarvex_agent as ta


def target(case):
    if case["class"] in ("objc", "tarvex_agent"):
        return sys.modules[case["class"]]
    cls = objc.lookUpClass(case["class"])
    return cls.instance() if case.get("singleton") else cls


def run(case):
    try:
        method = getattr(target(case), case["method"])
        return {"ok": ta.toPython(method(*case.get("args", [])))}
    except ta.KestroveException as e:
        return {"exc": "KestroveException", "id": e.id, "message": e.message}
    except Exception as e:
        return {"exc": type(e).__name__, "message": str(e)}


with open(sys.argv[1], encoding="utf-8") as f:
    cases = json.load(f)
with open(sys.argv[2], "w", encoding="utf-8") as f:
    json.dump([run(c) for c in cases], f)
