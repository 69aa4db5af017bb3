# The agent's side of the preference pane's notifications, as the two-process
# test needs it: run by "Tarvex for Safari" in place of the agent's scripts.
# It observes "TarvexSafari" on the user's bus (a datagram socket in
# <runtime>/notify, JSON {"name", "userInfo"}), notes every action it gets
# for its user in ~/agent-received.txt, reloads the settings on
# "updatePrefs", answers "sync" by saving a successful sync (the settings'
# save tells the pane), says "startSyncAppAlert" once it listens and quits on
# SIGTERM.
import json
import os
import pwd
import signal
import socket
import sys

import objc

settings = objc.lookUpClass("KestroveSettings").instance()
user = pwd.getpwuid(os.geteuid()).pw_name
folder = os.path.join(os.environ["TARVEX_RUNTIME_DIR"], "notify")
os.makedirs(folder, mode=0o700, exist_ok=True)
path = os.path.join(folder, "%d-agent.sock" % os.getpid())
bus = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
bus.bind(path)
received = os.path.join(os.environ["HOME"], "agent-received.txt")


def note(line):
    with open(received, "a") as f:
        f.write(line + "\n")


def post(action):
    message = json.dumps({"name": "TarvexPref",
                          "userInfo": {"action": action, "data": "", "username": user}}).encode()
    for name in os.listdir(folder):
        other = os.path.join(folder, name)
        if name.endswith(".sock") and other != path:
            try:
                bus.sendto(message, other)
            except OSError:
                pass


def quit(*_):
    os.unlink(path)
    note("quit")
    sys.exit(0)


signal.signal(signal.SIGTERM, quit)
note("started")
post("startSyncAppAlert")
while True:
    message = json.loads(bus.recv(65536))
    info = message.get("userInfo", {})
    if message.get("name") != "TarvexSafari" or info.get("username") != user:
        continue
    action = info.get("action")
    note(action)
    if action == "updatePrefs":
        settings.load()
        note("autoSync=%s" % settings.getString_("autoSync"))
    elif action == "sync":
        settings.setKey_forValue_("lastSyncResult", "success")
        settings.writeToFile()
